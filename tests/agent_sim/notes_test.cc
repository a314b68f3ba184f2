// The simulator's notes: dropped and counted on a full pipe instead of blocking, and the channel
// manager's log entries escaped, one line each, limited per interval with the number left out.
#include "notes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace {

TEST(Notes, AFullPipeDropsNotesAndLogEntriesAreEscapedAndLimited) {
  int p[2];
  ASSERT_EQ(0, pipe2(p, O_CLOEXEC));  // its writing end blocks, as standard error usually does
  fcntl(p[0], F_SETFL, O_NONBLOCK);
  fcntl(p[1], F_SETPIPE_SZ, 4096);
  const auto drain = [&] {
    std::string out(65536, '\0');
    out.resize(std::max<ssize_t>(0, read(p[0], out.data(), out.size())));
    return out;
  };
  agent_sim::note_writer notes(p[1]);
  int written = 0;
  for (int i = 0; i < 200; ++i) written += notes.write(std::string(100, 'n'));
  EXPECT_EQ(written * 116, static_cast<int>(drain().size()));
  notes.flush();
  EXPECT_EQ("qm7-agent-sim: " + std::to_string(200 - written) + " notes dropped\n", drain());
  EXPECT_TRUE(notes.write(std::string(5000, 'x')));
  EXPECT_EQ(agent_sim::kMaxNoteBytes, drain().size());

  fcntl(p[1], F_SETPIPE_SZ, 65536);  // a page takes one write only
  agent_sim::library_log log(&notes, false, 2, 1000);
  log.log(-1, "-1 - forged\nline\x1b[2J", 0);
  log.log(2002036, "numbered: only when asked for", 0);
  for (int i = 0; i < 5; ++i) log.log(-1, "invalid kz", 10);
  log.flush(999);
  EXPECT_EQ(
      "qm7-agent-sim: channel manager: -1 - forged\\x0Aline\\x1B[2J\n"
      "qm7-agent-sim: channel manager: invalid kz\n",
      drain());
  log.flush(1000);
  EXPECT_EQ("qm7-agent-sim: channel manager: 4 more log entries left out\n", drain());
  close(p[0]);
  close(p[1]);
}

}  // namespace
