// The simulator's notes on a pipe nobody reads: dropped and counted instead of blocking, and the
// channel manager's log entries escaped, one line each, limited per interval with the number
// left out.
#include "notes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace {

// A pipe of `size` bytes (0: the system's default), its reading end non-blocking.
struct Pipe {
  explicit Pipe(int size = 0) {
    EXPECT_EQ(0, pipe2(fds, O_CLOEXEC));
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    if (size > 0) fcntl(fds[1], F_SETPIPE_SZ, size);
  }
  ~Pipe() {
    close(fds[0]);
    close(fds[1]);
  }
  std::string Drain() {
    std::string out;
    char chunk[4096];
    for (ssize_t n; (n = read(fds[0], chunk, sizeof(chunk))) > 0;) out.append(chunk, n);
    return out;
  }
  int fds[2];
};

TEST(Notes, AFullPipeDropsNotesAndTheirCountFollowsOnceItTakesOne) {
  // Its writing end blocks, as a standard error usually does: a write that waited would hang.
  Pipe p(4096);
  agent_sim::note_writer notes(p.fds[1]);
  int written = 0;
  for (int i = 0; i < 200; ++i) written += notes.write(std::string(100, 'n'));
  EXPECT_GT(written, 0);
  EXPECT_LT(written, 200);
  EXPECT_EQ(written * 116, static_cast<int>(p.Drain().size()));
  notes.flush();
  EXPECT_EQ("qm7-agent-sim: " + std::to_string(200 - written) + " notes dropped\n", p.Drain());
  EXPECT_TRUE(notes.write(std::string(5000, 'x')));
  EXPECT_EQ(agent_sim::kMaxNoteBytes, p.Drain().size());
}

TEST(Notes, LogEntriesAreEscapedAndLimitedPerInterval) {
  Pipe p;
  agent_sim::note_writer notes(p.fds[1]);
  agent_sim::library_log log(&notes, false, 2, 1000);
  log.log(-1, "-1 - forged\nline\x1b[2J", 0);
  log.log(2002036, "numbered: only when asked for", 0);
  for (int i = 0; i < 5; ++i) log.log(-1, "invalid kz", 10);
  log.flush(999);
  EXPECT_EQ(
      "qm7-agent-sim: channel manager: -1 - forged\\x0Aline\\x1B[2J\n"
      "qm7-agent-sim: channel manager: invalid kz\n",
      p.Drain());
  log.flush(1000);
  EXPECT_EQ("qm7-agent-sim: channel manager: 4 more log entries left out\n", p.Drain());
  agent_sim::library_log numbered(&notes, true, 1, 1000);
  numbered.log(2002036, "x|idle", 0);
  numbered.log(-1, "left out", 0);
  numbered.finish();
  EXPECT_EQ(
      "qm7-agent-sim: channel manager: 2002036 x|idle\n"
      "qm7-agent-sim: channel manager: 1 more log entry left out\n",
      p.Drain());
}

}  // namespace
