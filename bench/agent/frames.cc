// Byte layouts of the benchmark's frames. Element keys: 0x01 a destination name (1-byte
// length), 0x04 a short data element (1-byte length), 0xFF the data element (4-byte length,
// least significant byte first).
#include "frames.h"

#include <cstring>
#include <span>

#include "qm7/messenger/records.h"

namespace agent_bench {
namespace {

constexpr char kEyeCatcher[] = "QM7:global";
constexpr char kGreeting[] = "QM7-AGENT-SIM";

bytes with_header(const bytes& body) {
  bytes frame(kHeaderSize, ' ');
  char head[32];
  snprintf(head, sizeof(head), "%08zuQM7:global001NAT", body.size() + kHeaderSize);
  memcpy(frame.data(), head, strlen(head));
  frame.insert(frame.end(), body.begin(), body.end());
  return frame;
}

void put_le32(unsigned char* at, std::size_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

std::size_t frame_length(const unsigned char* head) {
  if (memcmp(head + 8, kEyeCatcher, sizeof(kEyeCatcher) - 1) != 0) return 0;
  std::size_t length = 0;
  for (int i = 0; i < 8; ++i) {
    if (head[i] < '0' || head[i] > '9') return 0;
    length = length * 10 + (head[i] - '0');
  }
  return length < kHeaderSize || length > kMaxFrame ? 0 : length;
}

bytes greeting_frame() {
  bytes body = {0x04, static_cast<unsigned char>(sizeof(kGreeting) - 1)};
  body.insert(body.end(), kGreeting, kGreeting + sizeof(kGreeting) - 1);
  return with_header(body);
}

bytes answer_frame() {
  bytes body(5 + qm7::meld::kBodyOffset, 0);
  body[0] = 0xFF;
  put_le32(&body[1], qm7::meld::kBodyOffset);
  QM_HEADM head;
  CreateQmHeadm(&head, qm7::meld::kMsgTyp, 0, 0);
  memcpy(&body[5], &head, sizeof(head));
  return with_header(body);
}

report_frames::report_frames() {
  bytes elements = {0x01, 0x08, 'J', 'P', 'A', 'K', 'T', 'J', '_', 'R', 0xFF};
  elements.resize(elements.size() + 4);
  put_le32(&elements[elements.size() - 4], qm7::meld::job::kLength);
  elements.resize(elements.size() + qm7::meld::job::kLength);
  frame_ = with_header(elements);
}

void report_frames::build(int job, unsigned char* out) const {
  static const DATUM_BUFF now = [] {
    DATUM_BUFF d;
    GetDatumZeit2(nullptr, &d);
    return d;
  }();
  static const qm7::meld::process_ids ids = qm7::meld::current_process_ids();
  memcpy(out, frame_.data(), frame_.size());
  qm7::meld::report_fields fields;
  fields.jobnri = job;
  fields.status = 'E';
  fields.info_text = "bench";
  constexpr std::size_t kRecord = kReportFrameSize - qm7::meld::job::kLength;
  qm7::meld::build_job_event_record({out + kRecord, qm7::meld::job::kLength}, fields, now, ids);
}

}  // namespace agent_bench
