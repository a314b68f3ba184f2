// Byte-exact checks of the three "MELD    " records and of their decoder. The expected bytes are
// written here from literal offsets, independent of the constants the encoder uses.
#include "qm7/messenger/records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace meld = qm7::meld;

namespace {

// A fixed clock reading: 2026-03-09 08:07:06 UTC, dt_time 0x11223344.
DATUM_BUFF FixedClock() {
  DATUM_BUFF dt;
  memset(&dt, 0, sizeof(dt));
  dt.dt_time = 0x11223344;
  dt.utc_jahr = 2026;
  dt.utc_mon = 3;
  dt.utc_tag = 9;
  dt.utc_std = 8;
  dt.utc_min = 7;
  dt.utc_sek = 6;
  // Local fields differ on purpose: the records carry UTC only.
  dt.dt_jahr = 1999;
  dt.dt_std = 23;
  return dt;
}

meld::process_ids FixedIds() {
  meld::process_ids ids;
  ids.pid = 0x01020304;
  ids.ppid = 0x05060708;
  ids.pgrp = 0x0A0B0C0D;
  ids.sid = 0x11121314;
  return ids;
}

void PutLe32(std::vector<unsigned char>& r, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) r[at + i] = static_cast<unsigned char>(v >> (8 * i));
}
void PutLe16(std::vector<unsigned char>& r, size_t at, uint16_t v) {
  r[at] = static_cast<unsigned char>(v);
  r[at + 1] = static_cast<unsigned char>(v >> 8);
}
void PutHost16(std::vector<unsigned char>& r, size_t at, uint16_t v) { memcpy(&r[at], &v, 2); }
void PutHost32(std::vector<unsigned char>& r, size_t at, uint32_t v) { memcpy(&r[at], &v, 4); }
void PutText(std::vector<unsigned char>& r, size_t at, const std::string& text) {
  memcpy(&r[at], text.data(), text.size());
}

// Header, version block at `version_at` and timestamp at `time_at`, as every record has them.
std::vector<unsigned char> Skeleton(size_t len, uint16_t client, size_t version_at,
                                    size_t time_at) {
  std::vector<unsigned char> r(len, 0);
  PutText(r, 0, "MELD    03");
  PutHost16(r, 10, client);
  PutText(r, version_at, "12.2.0+build.2108               ");
  PutHost16(r, version_at + 33, 12);
  PutHost16(r, version_at + 35, 2);
  PutHost16(r, version_at + 37, 0);
  PutText(r, version_at + 39, "  ");
  const uint16_t stamp[] = {2026, 3, 9, 8, 7, 6};
  for (int i = 0; i < 6; ++i) PutLe16(r, time_at + 2 * i, stamp[i]);
  PutLe32(r, time_at + 16, 0x11223344);
  return r;
}

// A buffer full of stale bytes, as a reused pooled message would be.
std::vector<unsigned char> StaleBuffer(size_t size = 4096) {
  return std::vector<unsigned char>(size, 0xA5);
}

void ExpectBytes(const std::vector<unsigned char>& want, const std::vector<unsigned char>& got,
                 size_t len) {
  ASSERT_GE(got.size(), len);
  for (size_t i = 0; i < len; ++i) {
    ASSERT_EQ(static_cast<int>(want[i]), static_cast<int>(got[i])) << "byte " << i;
  }
}

TEST(QmHeadm, LayoutAndTruncation) {
  QM_HEADM head;
  memset(&head, 0x5A, sizeof(head));
  EXPECT_EQ(0, CreateQmHeadm(&head, "MELD    ", 100, 7));
  unsigned char bytes[16];
  memcpy(bytes, &head, 16);
  EXPECT_EQ(0, memcmp(bytes, "MELD    03", 10));
  uint16_t client;
  uint32_t user;
  memcpy(&client, bytes + 10, 2);
  memcpy(&user, bytes + 12, 4);
  EXPECT_EQ(100, client);
  EXPECT_EQ(7u, user);

  // A longer type keeps 8 characters, a shorter one leaves zeros; the client keeps 16 bits.
  CreateQmHeadm(&head, "ABCDEFGHIJ", -1, 0);
  EXPECT_EQ(0, memcmp(head.msg_typ, "ABCDEFGH", 8));
  EXPECT_EQ(0xFFFF, head.i2Mandant);
  CreateQmHeadm(&head, "AB", 0, 0);
  EXPECT_EQ(0, memcmp(head.msg_typ, "AB\0\0\0\0\0\0", 8));
}

TEST(JobEventRecord, JobEndExampleByteForByte) {
  meld::report_fields f;
  f.client = 100;
  f.jobnri = 42;
  f.status = 'E';
  f.info_text = "done";
  f.reti = 3;
  auto buf = StaleBuffer();
  ASSERT_EQ(276u, meld::build_job_event_record(buf, f, FixedClock(), FixedIds()));

  auto want = Skeleton(276, 100, 57, 108);
  PutLe32(want, 20, 42);
  want[24] = 'E';
  PutText(want, 25, std::string("done") + '\0' + std::string(27, ' '));
  PutLe32(want, 100, 3);
  PutLe32(want, 128, 0x01020304);
  PutLe32(want, 132, 0x05060708);
  PutLe32(want, 136, 0x0A0B0C0D);
  PutLe32(want, 144, 0x11121314);
  ExpectBytes(want, buf, 276);
  // Nothing behind the record is touched.
  EXPECT_EQ(0xA5, buf[276]);
}

TEST(JobEventRecord, TextBoundaries) {
  meld::report_fields f;
  auto buf = StaleBuffer();

  // Empty (and null) text: a zero byte and 31 blanks.
  for (const char* text : {"", static_cast<const char*>(nullptr)}) {
    f.info_text = text;
    meld::build_job_event_record(buf, f, FixedClock(), FixedIds());
    EXPECT_EQ(0, buf[25]);
    EXPECT_EQ(std::string(31, ' '), std::string(reinterpret_cast<char*>(&buf[26]), 31));
    EXPECT_EQ('R', buf[24]);
  }

  // 31 characters fill the field up to its terminator; 63 are cut to 31.
  const std::string t31(31, 'x');
  f.info_text = t31.c_str();
  meld::build_job_event_record(buf, f, FixedClock(), FixedIds());
  EXPECT_EQ(t31, std::string(reinterpret_cast<char*>(&buf[25]), 31));
  EXPECT_EQ(0, buf[56]);
  const std::string t63 = std::string(31, 'y') + std::string(32, 'z');
  f.info_text = t63.c_str();
  meld::build_job_event_record(buf, f, FixedClock(), FixedIds());
  EXPECT_EQ(std::string(31, 'y'), std::string(reinterpret_cast<char*>(&buf[25]), 31));
  EXPECT_EQ(0, buf[56]);
  EXPECT_EQ('1', buf[57]);  // the version text follows untouched

  // Negative return codes and job numbers travel as their two's complement, LE.
  f.reti = -2;
  f.jobnri = -1;
  meld::build_job_event_record(buf, f, FixedClock(), FixedIds());
  EXPECT_EQ(0xFE, buf[100]);
  EXPECT_EQ(0xFF, buf[103]);
  EXPECT_EQ(0xFF, buf[20]);

  // Too little room: nothing is written.
  std::vector<unsigned char> small(275, 0xA5);
  EXPECT_EQ(0u, meld::build_job_event_record(small, f, FixedClock(), FixedIds()));
  EXPECT_EQ(0xA5, small[0]);
}

TEST(OutputFileRecord, LayoutAndPathLengths) {
  meld::report_fields f;
  f.client = 7;
  f.jobnri = 1234;
  f.output_login = 'Y';
  f.output_file = "/var/log/job.out";
  auto buf = StaleBuffer();
  ASSERT_EQ(276u, meld::build_output_file_record(buf, f, FixedClock()));

  auto want = Skeleton(276, 7, 25, 68);
  PutLe32(want, 20, 1234);
  want[24] = 'O';
  want[88] = 'Y';
  PutText(want, 89, "/var/log/job.out");
  ExpectBytes(want, buf, 276);
  EXPECT_EQ(0xA5, buf[276]);

  // 300 characters: the first 187 are carried, without terminator, and nothing is written
  // beyond the 276 bytes of the message.
  std::string path;
  for (int i = 0; i < 300; ++i) path += static_cast<char>('a' + i % 26);
  f.output_file = path.c_str();
  buf = StaleBuffer();
  meld::build_output_file_record(buf, f, FixedClock());
  EXPECT_EQ(path.substr(0, 187), std::string(reinterpret_cast<char*>(&buf[89]), 187));
  EXPECT_EQ(0xA5, buf[276]);

  // 186 characters arrive terminated, 187 whole and unterminated.
  for (size_t n : {186u, 187u}) {
    std::string p(n, 'p');
    f.output_file = p.c_str();
    buf = StaleBuffer();
    meld::build_output_file_record(buf, f, FixedClock());
    meld::decoded_record d;
    std::string why;
    ASSERT_TRUE(meld::decode_record({buf.data(), 276}, &d, &why)) << why;
    EXPECT_EQ(p, d.file_name);
    EXPECT_EQ(n == 186, d.file_name_terminated);
    if (n == 186) {
      EXPECT_EQ(0, buf[275]);
    }
  }
}

TEST(VariableRecord, WithAndWithoutVariable) {
  meld::report_fields f;
  f.client = 3;
  f.jobnri = 9;
  f.var_name = "COUNT";
  f.var_value = "17";
  f.var_type = 'N';
  auto buf = StaleBuffer();
  ASSERT_EQ(1521u, meld::build_variable_record(buf, f, FixedClock()));

  auto want = Skeleton(1521, 3, 57, 100);
  PutLe32(want, 20, 9);
  want[24] = 'V';
  PutText(want, 25, std::string(32, ' '));
  PutHost32(want, 120, 108);
  PutHost32(want, 124, 1225);
  PutText(want, 128, "COUNT");
  PutText(want, 328, "17");
  want[1352] = 'N';
  // Bytes 1353 to 1520 are covered by no field and stay zero, stale pool bytes or not.
  ExpectBytes(want, buf, 1521);
  EXPECT_EQ(0xA5, buf[1521]);

  // No name: distance and length 0, a 296-byte message, the value is not carried.
  f.var_name = "";
  buf = StaleBuffer();
  ASSERT_EQ(296u, meld::build_variable_record(buf, f, FixedClock()));
  auto want296 = Skeleton(296, 3, 57, 100);
  PutLe32(want296, 20, 9);
  want296[24] = 'V';
  PutText(want296, 25, std::string(32, ' '));
  ExpectBytes(want296, buf, 296);
  EXPECT_EQ(0xA5, buf[296]);

  // A 200-character name arrives with 199, a 1023-character value whole, each terminated.
  const std::string name(200, 'n');
  const std::string value(1023, 'v');
  f.var_name = name.c_str();
  f.var_value = value.c_str();
  buf = StaleBuffer();
  meld::build_variable_record(buf, f, FixedClock());
  EXPECT_EQ(0, buf[128 + 199]);
  EXPECT_EQ(0, buf[328 + 1023]);
  meld::decoded_record d;
  std::string why;
  ASSERT_TRUE(meld::decode_record({buf.data(), 1521}, &d, &why)) << why;
  EXPECT_EQ(name.substr(0, 199), d.var_name);
  EXPECT_EQ(value, d.var_value);

  std::vector<unsigned char> small(1520);
  f.var_name = "X";
  EXPECT_EQ(0u, meld::build_variable_record(small, f, FixedClock()));
}

TEST(DecodeRecord, RoundTripsEveryKind) {
  meld::report_fields f;
  f.client = -2;  // travels as 0xFFFE
  f.jobnri = 77;
  f.status = 'R';
  f.info_text = "started";
  f.reti = 0;
  auto buf = StaleBuffer();
  meld::build_job_event_record(buf, f, FixedClock(), FixedIds());
  meld::decoded_record d;
  std::string why;
  ASSERT_TRUE(meld::decode_record({buf.data(), 276}, &d, &why)) << why;
  EXPECT_EQ(meld::record_kind::job_event, d.kind);
  EXPECT_EQ("MELD    ", d.msg_typ);
  EXPECT_EQ("03", d.version);
  EXPECT_EQ(0xFFFEu, d.client);
  EXPECT_EQ(77, d.job_nr);
  EXPECT_EQ('R', d.status);
  EXPECT_EQ("started", d.info_text);
  EXPECT_EQ("12.2.0+build.2108", d.md_version);
  EXPECT_EQ(12, d.md_major);
  EXPECT_EQ(2, d.md_minor);
  EXPECT_EQ(2026, d.time.year);
  EXPECT_EQ(6, d.time.second);
  EXPECT_EQ(0x11223344, d.time_t_value);
  EXPECT_EQ(0x01020304, d.pid);
  EXPECT_EQ(0x11121314, d.sid);

  f.output_file = "/tmp/x";
  f.output_login = 'N';
  meld::build_output_file_record(buf, f, FixedClock());
  ASSERT_TRUE(meld::decode_record({buf.data(), 276}, &d, &why)) << why;
  EXPECT_EQ(meld::record_kind::output_file, d.kind);
  EXPECT_EQ("/tmp/x", d.file_name);
  EXPECT_EQ('N', d.login_check);
  EXPECT_EQ(3, d.time.month);

  f.var_name = "";
  meld::build_variable_record(buf, f, FixedClock());
  ASSERT_TRUE(meld::decode_record({buf.data(), 296}, &d, &why)) << why;
  EXPECT_EQ(meld::record_kind::variable, d.kind);
  EXPECT_FALSE(d.has_variable);
}

TEST(DecodeRecord, RejectsMalformedInput) {
  meld::report_fields f;
  f.var_name = "V";
  auto buf = StaleBuffer();
  meld::build_variable_record(buf, f, FixedClock());
  meld::decoded_record d;
  std::string why;

  EXPECT_FALSE(meld::decode_record({buf.data(), 0}, &d, &why));
  EXPECT_FALSE(meld::decode_record({buf.data(), 24}, &d, &why));
  // A variable record cut short, or longer than its variable_len says.
  EXPECT_FALSE(meld::decode_record({buf.data(), 1520}, &d, &why));
  EXPECT_FALSE(meld::decode_record({buf.data(), 296}, &d, &why));
  // A variable_len that would reach past the message.
  std::vector<unsigned char> forged(buf.begin(), buf.begin() + 1521);
  uint32_t huge = 0xFFFFFF00u;
  memcpy(&forged[124], &huge, 4);
  EXPECT_FALSE(meld::decode_record(forged, &d, &why));

  // Wrong type, unknown status, wrong length for a job event.
  std::vector<unsigned char> other(buf.begin(), buf.begin() + 1521);
  other[0] = 'X';
  EXPECT_FALSE(meld::decode_record(other, &d, &why));
  EXPECT_NE(std::string::npos, why.find("MELD"));
  f.status = 'E';
  meld::build_job_event_record(buf, f, FixedClock(), FixedIds());
  EXPECT_FALSE(meld::decode_record({buf.data(), 275}, &d, &why));
  buf[24] = 'Q';
  EXPECT_FALSE(meld::decode_record({buf.data(), 276}, &d, &why));
  EXPECT_EQ("unknown status byte", why);
}

}  // namespace
