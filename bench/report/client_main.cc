// qm7-bench-report-client: the reference of the report benchmark, the least a program can do to
// deliver one job report: connect to IPA:PNR (a numeric IPv4 address), read the agent's
// greeting frame, write the 339-byte NAT frame with the job record, read the answer frame, exit
// 0 (1 on any failure). It takes qm_jpmd's JNR, MNR, TXT, TYP, IPA and PNR and ignores the rest.
// It uses the C library only and builds the record by the offsets of the record header, so it
// sends what qm_jpmd sends, stamped with the same clock and process identities.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "qm7/messenger/context.h"
#include "qm7/messenger/records.h"

namespace {

namespace meld = qm7::meld;
namespace job = qm7::meld::job;

constexpr size_t kHeaderSize = 48;
constexpr size_t kElementsSize = 15;  // destination name element, body element
constexpr size_t kFrameSize = kHeaderSize + kElementsSize + job::kLength;
static_assert(kFrameSize == 339);

bool read_exact(int fd, unsigned char* at, size_t len) {
  while (len > 0) {
    const ssize_t n = read(fd, at, len);
    if (n <= 0) return false;
    at += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Reads one frame: the header, then the rest of the length its first 8 digits give.
bool read_frame(int fd) {
  unsigned char buffer[4096];
  if (!read_exact(fd, buffer, kHeaderSize)) return false;
  char digits[9];
  memcpy(digits, buffer, 8);
  digits[8] = '\0';
  const unsigned long length = strtoul(digits, nullptr, 10);
  if (length < kHeaderSize || length > sizeof(buffer)) return false;
  return read_exact(fd, buffer + kHeaderSize, length - kHeaderSize);
}

void put_le16(unsigned char* at, unsigned value) {
  at[0] = static_cast<unsigned char>(value);
  at[1] = static_cast<unsigned char>(value >> 8);
}

void put_le32(unsigned char* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

struct arguments {
  const char* ipa = "";
  int pnr = 0, jnr = 0, mnr = 0;
  const char* txt = "";
  char typ = 'U';
};

arguments parse(int argc, char** argv) {
  arguments a;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (strncmp(arg, "IPA=", 4) == 0) a.ipa = arg + 4;
    if (strncmp(arg, "PNR=", 4) == 0) a.pnr = atoi(arg + 4);
    if (strncmp(arg, "JNR=", 4) == 0) a.jnr = atoi(arg + 4);
    if (strncmp(arg, "MNR=", 4) == 0) a.mnr = atoi(arg + 4);
    if (strncmp(arg, "TXT=", 4) == 0) a.txt = arg + 4;
    if (strncmp(arg, "TYP=", 4) == 0) a.typ = arg[4];
  }
  return a;
}

// The frame qm_jpmd sends: NAT header, the element naming "JPAKTJ_R", the body element with the
// record length, and the job record.
void build_frame(unsigned char* f, const arguments& a) {
  memset(f, 0, kFrameSize);
  memset(f, ' ', kHeaderSize);
  memcpy(f, "00000339QM7:global001NAT", 24);
  const unsigned char elements[kElementsSize] = {0x01, 0x08, 'J',  'P',  'A',  'K',  'T', 'J',
                                                 '_',  'R',  0xFF, 0x14, 0x01, 0x00, 0x00};
  memcpy(f + kHeaderSize, elements, sizeof(elements));

  unsigned char* r = f + kHeaderSize + kElementsSize;
  memcpy(r, meld::kMsgTyp, 8);
  memcpy(r + 8, meld::kVersion, 2);
  const uint16_t client = static_cast<uint16_t>(a.mnr);
  memcpy(r + 10, &client, 2);  // host order
  put_le32(r + job::kJobNr, static_cast<uint32_t>(a.jnr));
  r[job::kStatus] = a.typ == 'E' ? 'E' : 'R';
  memset(r + job::kInfoText, ' ', job::kInfoTextWidth);
  const size_t text_len = strnlen(a.txt, job::kInfoTextWidth - 1);
  memcpy(r + job::kInfoText, a.txt, text_len);
  r[job::kInfoText + text_len] = '\0';
  unsigned char* v = r + job::kMdVersion;
  memset(v, ' ', meld::kMdVersionWidth);
  memcpy(v, QM7_MESSENGER_VERSION, sizeof(QM7_MESSENGER_VERSION) - 1);
  v[meld::kMdVersionWidth] = 0;
  const uint16_t version[3] = {kMessengerVersionMajor, kMessengerVersionMinor,
                               kMessengerVersionPatch};
  memcpy(v + meld::kMdMajorRel, version, sizeof(version));  // host order
  memset(v + meld::kFillerRel, ' ', 2);

  const time_t now = time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  const int parts[6] = {utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                        utc.tm_hour,        utc.tm_min,     utc.tm_sec};
  for (int i = 0; i < 6; ++i) put_le16(r + job::kSTime + 2 * i, static_cast<unsigned>(parts[i]));
  put_le32(r + job::kJtime, static_cast<uint32_t>(now));
  const pid_t pid = getpid();
  put_le32(r + job::kPid, static_cast<uint32_t>(pid));
  put_le32(r + job::kPpid, static_cast<uint32_t>(getppid()));
  put_le32(r + job::kPgrp, static_cast<uint32_t>(getpgrp()));
  put_le32(r + job::kSid, static_cast<uint32_t>(getsid(pid)));
}

}  // namespace

int main(int argc, char** argv) {
  const arguments a = parse(argc, argv);
  sockaddr_in agent{};
  agent.sin_family = AF_INET;
  agent.sin_port = htons(static_cast<uint16_t>(a.pnr));
  if (inet_pton(AF_INET, a.ipa, &agent.sin_addr) != 1) return 1;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&agent), sizeof(agent)) != 0) return 1;
  if (!read_frame(fd)) return 1;
  unsigned char frame[kFrameSize];
  build_frame(frame, a);
  if (write(fd, frame, sizeof(frame)) != static_cast<ssize_t>(sizeof(frame))) return 1;
  if (!read_frame(fd)) return 1;
  close(fd);
  return 0;
}
