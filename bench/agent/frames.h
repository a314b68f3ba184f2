// The frames of one report exchange as they cross the socket: the 48-byte text header that
// begins every frame, the agent's greeting and answer, and the 339-byte job-end frame qm_jpmd
// sends. The load generator and the minimal agent of the capacity benchmark both use them, so
// the reference server and qm7-agent-sim see and send the same bytes.
#ifndef QM7_BENCH_AGENT_FRAMES_H_
#define QM7_BENCH_AGENT_FRAMES_H_

#include <cstddef>
#include <vector>

namespace agent_bench {

constexpr std::size_t kHeaderSize = 48;
constexpr std::size_t kReportFrameSize = 339;  // header, 15 bytes of elements, 276-byte record
constexpr std::size_t kMaxFrame = 4096;        // no frame of this exchange comes near it

using bytes = std::vector<unsigned char>;

// The frame length a header announces (8 decimal digits at offset 0, "QM7:global" at 8), or 0
// when the 48 bytes are no header or announce less than a header or more than kMaxFrame.
std::size_t frame_length(const unsigned char* head);

// The greeting qm7-agent-sim sends: a native body with the data element of key 4.
bytes greeting_frame();

// The answer qm7-agent-sim sends: a NAT frame whose data element holds a bare record header.
bytes answer_frame();

// Builds job-end frames as qm_jpmd sends them (TYP=E TXT=bench RET=0), each with its own job
// number. The record comes from the messenger library's builder; the clock and the process
// identities are read once, so a frame costs no system call.
class report_frames {
 public:
  report_frames();
  // Writes the frame for `job` into `out` (kReportFrameSize bytes).
  void build(int job, unsigned char* out) const;

 private:
  bytes frame_;  // the frame without its record
};

}  // namespace agent_bench

#endif  // QM7_BENCH_AGENT_FRAMES_H_
