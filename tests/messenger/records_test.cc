// The three "MELD    " records byte for byte, with expected bytes written from literal offsets
// (not the encoder's constants), their text bounds and the decoder's rejections.
#include "qm7/messenger/records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace meld = qm7::meld;

namespace {

using bytes = std::vector<unsigned char>;
using area = std::span<unsigned char>;

// 2026-03-09 08:07:06 UTC (0x69AE7FAA); the local fields differ, records carry UTC.
DATUM_BUFF FixedClock() {
  time_t t = 0x69AE7FAA;
  DATUM_BUFF dt;
  GetDatumZeit2(&t, &dt);
  dt.dt_jahr = 1999;
  dt.dt_std = 23;
  return dt;
}

const meld::process_ids kIds = {0x01020304, 0x05060708, 0x0A0B0C0D, 0x11121314};

void PutLe(bytes& r, size_t at, uint32_t v, int width = 4) {
  for (int i = 0; i < width; ++i) r[at + i] = static_cast<unsigned char>(v >> (8 * i));
}
void PutHost16(bytes& r, size_t at, uint16_t v) { memcpy(&r[at], &v, 2); }
void PutText(bytes& r, size_t at, const std::string& text) {
  memcpy(&r[at], text.data(), text.size());
}
std::string TextAt(const bytes& r, size_t at, size_t n) {
  return std::string(reinterpret_cast<const char*>(&r[at]), n);
}

// Header, job number, status, version block and time stamp, as every record has them.
bytes Skeleton(size_t len, uint16_t client, int32_t job, char status, size_t version_at,
               size_t time_at) {
  bytes r(len, 0);
  PutText(r, 0, "MELD    03");
  PutHost16(r, 10, client);
  PutLe(r, 20, static_cast<uint32_t>(job));
  r[24] = static_cast<unsigned char>(status);
  PutText(r, version_at, "12.2.0+build.2108               ");
  PutHost16(r, version_at + 33, 12);
  PutHost16(r, version_at + 35, 2);
  PutText(r, version_at + 39, "  ");
  const uint16_t stamp[] = {2026, 3, 9, 8, 7, 6};
  for (int i = 0; i < 6; ++i) PutLe(r, time_at + 2 * i, stamp[i], 2);
  PutLe(r, time_at + 16, 0x69AE7FAA);
  return r;
}

// The record `build` writes into exactly `len` bytes of a buffer of stale bytes (0xA5); the
// byte behind them must still be stale, and one byte less must be refused untouched.
template <typename Build>
bytes Built(size_t len, Build build) {
  bytes buf(len + 1, 0xA5);
  EXPECT_EQ(0u, build(area(buf.data(), len - 1)));
  EXPECT_EQ(bytes(len + 1, 0xA5), buf);
  EXPECT_EQ(len, build(area(buf.data(), len)));
  EXPECT_EQ(0xA5, buf[len]) << "written beyond the record";
  buf.pop_back();
  return buf;
}

bool Decodes(const bytes& record, meld::decoded_record* d = nullptr) {
  meld::decoded_record scratch;
  std::string why;
  return meld::decode_record(record, d != nullptr ? d : &scratch, &why);
}

TEST(QmHeadm, TypeAndClientAreCut) {
  // The header's bytes are checked with every record below; here its bounds.
  QM_HEADM head;
  memset(&head, 0x5A, sizeof(head));
  EXPECT_EQ(0, CreateQmHeadm(&head, "ABCDEFGHIJ", -1, 7));
  EXPECT_EQ(0, memcmp(head.msg_typ, "ABCDEFGH03", 10));
  EXPECT_EQ(0xFFFF, head.i2Mandant);
  EXPECT_EQ(7u, head.i4UsrIdNr);
  CreateQmHeadm(&head, "AB", 0, 0);
  EXPECT_EQ(0, memcmp(head.msg_typ, "AB\0\0\0\0\0\0", 8));
}

TEST(JobEventRecord, BytesTextBoundsAndDecoding) {
  meld::report_fields f;
  f.client = -2;
  f.jobnri = 42;
  f.status = 'E';
  f.info_text = "done";
  f.reti = 3;
  auto build = [&](area b) { return meld::build_job_event_record(b, f, FixedClock(), kIds); };
  bytes want = Skeleton(276, 0xFFFE, 42, 'E', 57, 108);
  PutText(want, 25, std::string("done") + '\0' + std::string(27, ' '));
  PutLe(want, 100, 3);
  PutLe(want, 128, 0x01020304);
  PutLe(want, 132, 0x05060708);
  PutLe(want, 136, 0x0A0B0C0D);
  PutLe(want, 144, 0x11121314);
  EXPECT_EQ(want, Built(276, build));
  meld::decoded_record d;
  ASSERT_TRUE(Decodes(want, &d));
  EXPECT_EQ(meld::record_kind::job_event, d.kind);
  EXPECT_EQ(0xFFFEu, d.client);
  EXPECT_EQ("done", d.info_text);
  EXPECT_EQ("12.2.0+build.2108", d.md_version);
  EXPECT_EQ(6, d.time.second);
  EXPECT_EQ(0x11121314, d.sid);
  // Too short for a header or a job event, an unknown status, a wrong type.
  for (size_t len : {0u, 24u, 275u}) EXPECT_FALSE(Decodes(bytes(want.begin(), want.begin() + len)));
  want[24] = 'Q';
  std::string why;
  EXPECT_FALSE(meld::decode_record(want, &d, &why));
  EXPECT_EQ("unknown status byte", why);
  want[24] = 'R';
  EXPECT_TRUE(Decodes(want));
  want[0] = 'X';
  EXPECT_FALSE(Decodes(want));

  // The text field: empty or null gives a NUL and 31 blanks; 31 characters fill it up to its
  // NUL; 63 are cut to 31. Negative numbers travel as two's complement.
  const std::string t31(31, 'x'), t63 = std::string(31, 'y') + std::string(32, 'z');
  const struct {
    const char* text;
    std::string field;
  } texts[] = {{"", '\0' + std::string(31, ' ')},
               {nullptr, '\0' + std::string(31, ' ')},
               {t31.c_str(), t31 + '\0'},
               {t63.c_str(), std::string(31, 'y') + '\0'}};
  f.reti = -2;
  for (const auto& t : texts) {
    f.info_text = t.text;
    bytes r = Built(276, build);
    EXPECT_EQ(t.field, TextAt(r, 25, 32));
    EXPECT_EQ('1', r[57]);  // the version text follows untouched
    EXPECT_EQ(TextAt(r, 100, 4), "\xFE\xFF\xFF\xFF");
  }
}

TEST(OutputFileRecord, BytesAndThe187CarriedPathBytes) {
  meld::report_fields f;
  f.client = 7;
  f.jobnri = 1234;
  f.output_login = 'Y';
  f.output_file = "/var/log/job.out";
  auto build = [&](area b) { return meld::build_output_file_record(b, f, FixedClock()); };
  bytes want = Skeleton(276, 7, 1234, 'O', 25, 68);
  want[88] = 'Y';
  PutText(want, 89, "/var/log/job.out");
  EXPECT_EQ(want, Built(276, build));
  EXPECT_FALSE(Decodes(bytes(want.begin(), want.begin() + 275)));

  // Of 300 characters the first 187 travel; 187 arrive whole and unterminated, 186 terminated.
  for (size_t n : {300u, 187u, 186u}) {
    std::string path;
    for (size_t i = 0; i < n; ++i) path += static_cast<char>('a' + i % 26);
    f.output_file = path.c_str();
    meld::decoded_record d;
    ASSERT_TRUE(Decodes(Built(276, build), &d));
    EXPECT_EQ(path.substr(0, 187), d.file_name);
    EXPECT_EQ(n == 186, d.file_name_terminated);
  }
}

TEST(VariableRecord, BytesWithAndWithoutVariable) {
  meld::report_fields f;
  f.client = 3;
  f.jobnri = 9;
  f.var_name = "COUNT";
  f.var_value = "17";
  f.var_type = 'N';
  auto build = [&](area b) { return meld::build_variable_record(b, f, FixedClock()); };
  bytes want = Skeleton(1521, 3, 9, 'V', 57, 100);
  PutText(want, 25, std::string(32, ' '));
  PutLe(want, 120, 108);
  PutLe(want, 124, 1225);
  PutText(want, 128, "COUNT");
  PutText(want, 328, "17");
  want[1352] = 'N';
  // Bytes 1353 to 1520 belong to no field and stay zero over stale pool bytes.
  EXPECT_EQ(want, Built(1521, build));
  meld::decoded_record d;
  ASSERT_TRUE(Decodes(want, &d));
  EXPECT_TRUE(d.has_variable);
  // Cut short, longer than variable_len says, a variable_len reaching past the message.
  EXPECT_FALSE(Decodes(bytes(want.begin(), want.begin() + 1520)));
  EXPECT_FALSE(Decodes(bytes(want.begin(), want.begin() + 296)));
  PutLe(want, 124, 0xFFFFFF00u);
  EXPECT_FALSE(Decodes(want));

  // No name: distance and length 0, a 296-byte message without the value.
  f.var_name = "";
  bytes want296 = Skeleton(296, 3, 9, 'V', 57, 100);
  PutText(want296, 25, std::string(32, ' '));
  EXPECT_EQ(want296, Built(296, build));

  // A 200-character name arrives with 199, a 1023-character value whole, each terminated.
  const std::string name(200, 'n'), value(1023, 'v');
  f.var_name = name.c_str();
  f.var_value = value.c_str();
  bytes r = Built(1521, build);
  EXPECT_EQ(std::string(199, 'n') + '\0', TextAt(r, 128, 200));
  EXPECT_EQ(value + '\0', TextAt(r, 328, 1024));
}

}  // namespace
