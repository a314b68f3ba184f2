// The context record's set-up: initialize_messenger over stale bytes and its SIGUSR1 handling,
// the program name, and the version switch.
#include <gtest/gtest.h>
#include <pthread.h>

#include <csignal>
#include <cstring>
#include <string>

#include "messenger/harness.h"
#include "qm7/messenger.h"

namespace {

TEST(MessengerContext, InitializeOverStaleBytes) {
  static PCX record;
  std::memset(static_cast<void*>(&record), 0x5A, sizeof(record));
  EXPECT_EQ(initialize_messenger(&record), 0);
  EXPECT_EQ(record.running_mode, 3);
  EXPECT_EQ(record.ccm, nullptr);
  EXPECT_EQ(std::string(record.eyec, 8), std::string(8, '\0'));
  EXPECT_EQ(record.output_login, 'N');
  EXPECT_EQ(std::string(record.var_value, 1024), std::string(1024, '\0'));
  EXPECT_EQ(record.filler2, 0);
  EXPECT_EQ(record.pCmdBuffer[8191], 0);
}

TEST(MessengerContext, SigusrOneInterruptsButDoesNotEndTheProcess) {
  static PCX record;
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, nullptr), 0);
  ASSERT_EQ(initialize_messenger(&record), 0);
  sigset_t now;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &now), 0);
  EXPECT_EQ(sigismember(&now, SIGUSR1), 0) << "SIGUSR1 stays blocked";
  struct sigaction installed;
  ASSERT_EQ(sigaction(SIGUSR1, nullptr, &installed), 0);
  EXPECT_EQ(installed.sa_handler, &signal_handler_common);
  EXPECT_EQ(installed.sa_flags & SA_RESTART, 0) << "blocking calls must return with EINTR";
  EXPECT_EQ(raise(SIGUSR1), 0);
}

TEST(MessengerContext, ProgramNameAndVersionSwitch) {
  static PCX record;
  initialize_messenger(&record);
  const std::string long_name = "/x/" + std::string(300, 'n');
  const struct {
    const char* path;
    std::string name;
  } names[] = {{"/opt/qm7/bin/qm_jpmd", "qm_jpmd"},
               {"dir/", ""},
               {nullptr, "qm_jpmd"},  // started without any argument
               {long_name.c_str(), std::string(255, 'n')}};
  for (const auto& n : names) {
    set_program_name(&record, n.path);
    EXPECT_EQ(n.name, record.program_name);
  }
  // "-V" only as the single argument, exactly.
  const std::vector<std::string> requests[] = {{"-V"},          {"-v"}, {"-V", "TYP=S"},
                                               {"TYP=S", "-V"}, {},     {"-VV"}};
  for (const auto& args : requests) {
    qm7_test::Argv argv(args);
    EXPECT_EQ(args.size() == 1 && args[0] == "-V", is_version_request(argv.argc(), argv.argv()))
        << testing::PrintToString(args);
  }
}

}  // namespace
