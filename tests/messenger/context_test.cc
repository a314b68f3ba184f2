// Tests of the context record: its layout as the channel manager sees it, the defaults and
// SIGUSR1 set-up of initialize_messenger, the program name and the version switch.
#include <gtest/gtest.h>

#include <pthread.h>
#include <csignal>

#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>

#include "messenger/harness.h"
#include "qm7/messenger.h"

namespace {

TEST(MessengerContext, ChannelManagerReadsTheHostPartThroughABasePointer) {
  static_assert(std::is_base_of_v<ccm_host_context_t, PCX>);
  static_assert(std::is_trivially_copyable_v<PCX>);
  static PCX record;
  initialize_messenger(&record);
  ccm_host_context_t* host = &record;
  EXPECT_EQ(static_cast<void*>(host), static_cast<void*>(&record));
  EXPECT_EQ(host->running_mode, 3);
  EXPECT_EQ(host->ccm, nullptr);
}

TEST(MessengerContext, FieldsKeepTheirOrder) {
  // PCX derives from the host record, so offsetof is not available: measure on an instance.
  static PCX r;
  auto At = [](const void* field) {
    return static_cast<const char*>(field) - reinterpret_cast<const char*>(&r);
  };
  // The messenger's own fields follow the host part in the order the record is documented in.
  EXPECT_LT(At(&r.eyec), At(&r.agentID));
  EXPECT_LT(At(&r.agentID), At(&r.abnormal_end));
  EXPECT_LT(At(&r.abnormal_end), At(&r.program_name));
  EXPECT_LT(At(&r.program_name), At(&r.ipAddr));
  EXPECT_LT(At(&r.ipAddr), At(&r.melder_type));
  EXPECT_EQ(At(&r.status), At(&r.melder_type) + 1);
  EXPECT_EQ(At(&r.output_login), At(&r.status) + 1);
  EXPECT_LT(At(&r.output_login), At(&r.output_file));
  EXPECT_LT(At(&r.output_file), At(&r.connect_retry));
  EXPECT_LT(At(&r.connect_retry), At(&r.connect_wait));
  EXPECT_LT(At(&r.connect_wait), At(&r.IoTimeOut));
  EXPECT_LT(At(&r.IoTimeOut), At(&r.info_text));
  EXPECT_LT(At(&r.info_text), At(&r.var_name));
  // The terminator bytes sit right behind the texts they end.
  EXPECT_EQ(At(&r.filler1), At(&r.var_name) + 256);
  EXPECT_EQ(At(&r.var_value), At(&r.filler1) + 1);
  EXPECT_EQ(At(&r.filler2), At(&r.var_value) + 1024);
  EXPECT_EQ(At(&r.var_type), At(&r.filler2) + 1);
  EXPECT_LT(At(&r.var_type), At(&r.jobnri));
  EXPECT_LT(At(&r.jobnri), At(&r.portnri));
  EXPECT_LT(At(&r.portnri), At(&r.reti));
  EXPECT_LT(At(&r.reti), At(&r.client));
  EXPECT_LT(At(&r.client), At(&r.pCmdBuffer));
  EXPECT_EQ(sizeof(r.pCmdBuffer), 8192u);
}

TEST(MessengerContext, InitializeClearsEverythingAndSetsTheDefaults) {
  static PCX record;
  std::memset(static_cast<void*>(&record), 0x5A, sizeof(record));
  EXPECT_EQ(initialize_messenger(&record), 0);
  EXPECT_EQ(record.running_mode, 3);
  EXPECT_EQ(record.ccm, nullptr);
  EXPECT_EQ(std::string(record.eyec, 8), std::string(8, '\0'));
  EXPECT_EQ(record.agentID, 0);
  EXPECT_EQ(record.abnormal_end, 0);
  EXPECT_EQ(record.melder_type, 'U');
  EXPECT_EQ(record.status, 'R');
  EXPECT_EQ(record.output_login, 'N');
  EXPECT_EQ(record.connect_retry, 3);
  EXPECT_EQ(record.connect_wait, 120);
  EXPECT_EQ(record.IoTimeOut, 60);
  EXPECT_STREQ(record.ipAddr, "");
  EXPECT_STREQ(record.output_file, "");
  EXPECT_STREQ(record.info_text, "");
  EXPECT_STREQ(record.var_name, "");
  EXPECT_STREQ(record.var_value, "");
  EXPECT_EQ(record.filler1, 0);
  EXPECT_EQ(record.filler2, 0);
  EXPECT_EQ(record.var_type, 0);
  EXPECT_EQ(record.jobnri, 0);
  EXPECT_EQ(record.portnri, 0);
  EXPECT_EQ(record.reti, 0);
  EXPECT_EQ(record.client, 0);
  EXPECT_STREQ(record.pCmdBuffer, "");
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
  // The handler returns and the process goes on.
  EXPECT_EQ(raise(SIGUSR1), 0);
}

TEST(MessengerContext, ProgramNameIsTheLastPathPart) {
  static PCX record;
  initialize_messenger(&record);
  set_program_name(&record, "/opt/qm7/bin/qm_jpmd");
  EXPECT_STREQ(record.program_name, "qm_jpmd");
  set_program_name(&record, "qm_jpmd");
  EXPECT_STREQ(record.program_name, "qm_jpmd");
  set_program_name(&record, "dir/");
  EXPECT_STREQ(record.program_name, "");
  // A process may be started with no argument at all.
  set_program_name(&record, nullptr);
  EXPECT_STREQ(record.program_name, "qm_jpmd");
  // A name longer than the field is cut to 255 characters.
  std::string long_name = "/x/" + std::string(300, 'n');
  set_program_name(&record, long_name.c_str());
  EXPECT_EQ(std::strlen(record.program_name), 255u);
}

TEST(MessengerContext, VersionSwitchOnlyForASingleExactArgument) {
  qm7_test::Argv alone({"-V"});
  EXPECT_TRUE(is_version_request(alone.argc(), alone.argv()));
  qm7_test::Argv lower({"-v"});
  EXPECT_FALSE(is_version_request(lower.argc(), lower.argv()));
  qm7_test::Argv beside({"-V", "TYP=S"});
  EXPECT_FALSE(is_version_request(beside.argc(), beside.argv()));
  qm7_test::Argv after({"TYP=S", "-V"});
  EXPECT_FALSE(is_version_request(after.argc(), after.argv()));
  qm7_test::Argv none({});
  EXPECT_FALSE(is_version_request(none.argc(), none.argv()));
  qm7_test::Argv longer({"-VV"});
  EXPECT_FALSE(is_version_request(longer.argc(), longer.argv()));
}

TEST(MessengerContext, VersionLine) {
  static PCX record;
  initialize_messenger(&record);
  set_program_name(&record, "/usr/bin/qm_jpmd");
  testing::internal::CaptureStdout();
  print_version_line(&record);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "QM7 Agent \"qm_jpmd\" version 12.2.0+build.2108, changelist '1530016094'\n");
}

}  // namespace
