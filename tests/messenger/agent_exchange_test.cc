// The built qm_jpmd against agents of the tests' own on raw sockets: the exact frame it sends,
// and each way a connection can go wrong (nothing listening, silence, a wrong first message,
// no output file, no or negative attempts, a channel manager that cannot start). Time-outs
// are passed small; nothing waits out a default.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "messenger/harness.h"

namespace {

using qm7_test::conn_log;
using qm7_test::conn_mode;
using qm7_test::raw_agent;
using qm7_test::RunMessenger;

std::string Port(int port) { return "PNR=" + std::to_string(port); }

bool FirstFrameArrived(const std::vector<conn_log>& logs) {
  return !logs.empty() && logs.back().got_frame;
}

using qm7_test::Le32;

TEST(AgentExchange, JobEndFrameByteForByte) {
  raw_agent agent([](int) { return conn_mode::greet_and_answer; });
  const time_t before = time(nullptr);
  auto r = RunMessenger({"TYP=E", "TXT=done", "RET=3", "JNR=42", "MNR=100", "IPA=127.0.0.1",
                         Port(agent.port()), "TIMEOUT=2", "WAIT=1"});
  const time_t after = time(nullptr);
  EXPECT_EQ(3, r.exit_code);
  EXPECT_EQ("", r.err);
  auto logs = agent.Logs();
  ASSERT_EQ(1u, logs.size());
  ASSERT_EQ(1u, logs[0].frames.size());
  const auto& f = logs[0].frames[0];
  ASSERT_EQ(339u, f.size());

  // Header, destination name element, body element with 276 in record order.
  EXPECT_EQ("00000339QM7:global001NAT" + std::string(24, ' '),
            std::string(f.begin(), f.begin() + 48));
  const unsigned char elements[] = {0x01, 0x08, 'J',  'P',  'A',  'K',  'T', 'J',
                                    '_',  'R',  0xFF, 0x14, 0x01, 0x00, 0x00};
  EXPECT_EQ(0, memcmp(f.data() + 48, elements, sizeof(elements)));

  const unsigned char* rec = f.data() + 63;
  EXPECT_EQ(0, memcmp(rec, "MELD    03", 10));
  uint16_t client;
  memcpy(&client, rec + 10, 2);
  EXPECT_EQ(100, client);
  EXPECT_EQ(0u, Le32(rec + 12));  // user ID
  EXPECT_EQ(0u, Le32(rec + 16));  // msgnr
  EXPECT_EQ(42u, Le32(rec + 20));
  EXPECT_EQ('E', rec[24]);
  EXPECT_EQ(std::string("done") + '\0' + std::string(27, ' '),
            std::string(reinterpret_cast<const char*>(rec + 25), 32));
  EXPECT_EQ("12.2.0+build.2108" + std::string(15, ' '),
            std::string(reinterpret_cast<const char*>(rec + 57), 32));
  EXPECT_EQ(3u, Le32(rec + 100));
  EXPECT_EQ(0u, Le32(rec + 104));
  // The time stamp is the current UTC time, the process identities the messenger's own.
  const uint32_t jtime = Le32(rec + 124);
  EXPECT_GE(jtime, static_cast<uint32_t>(before));
  EXPECT_LE(jtime, static_cast<uint32_t>(after));
  struct tm utc;
  const time_t jt = jtime;
  gmtime_r(&jt, &utc);
  EXPECT_EQ(utc.tm_year + 1900, rec[108] | (rec[109] << 8));
  EXPECT_EQ(utc.tm_sec, rec[118] | (rec[119] << 8));
  EXPECT_EQ(static_cast<uint32_t>(r.pid), Le32(rec + 128));
  EXPECT_EQ(static_cast<uint32_t>(getpid()), Le32(rec + 132));
  EXPECT_EQ(static_cast<uint32_t>(getpgrp()), Le32(rec + 136));
  EXPECT_EQ(static_cast<uint32_t>(getsid(0)), Le32(rec + 144));
  for (int i = 148; i < 276; ++i) ASSERT_EQ(0, rec[i]) << "byte " << i;
}

TEST(AgentExchange, RecordLengthsOnTheWire) {
  // A variable record without a name is 296 bytes, an output path of 300 characters travels
  // as its first 187 bytes, a 200-character name arrives with 199.
  raw_agent agent([](int) { return conn_mode::greet_and_answer; });
  std::string path;
  for (int i = 0; i < 300; ++i) path += static_cast<char>('A' + i % 26);
  const std::string name(200, 'n');
  struct {
    std::vector<std::string> args;
    size_t frame_len;
  } cases[] = {
      {{"TYP=V", "VALUE=x"}, 48 + 15 + 296},
      {{"TYP=O", "OUTFILE=" + path, "ULOGIN=Y"}, 48 + 15 + 276},
      {{"TYP=V", "NAME=" + name, "VALUE=v", "VTYPE=S"}, 48 + 15 + 1521},
  };
  size_t index = 0;
  for (auto& c : cases) {
    c.args.insert(c.args.end(), {"IPA=127.0.0.1", Port(agent.port()), "TIMEOUT=2"});
    auto r = RunMessenger(c.args);
    EXPECT_EQ(0, r.exit_code);
    EXPECT_EQ("", r.err);
    ASSERT_TRUE(
        agent.WaitFor([&](auto& logs) { return logs.size() > index && logs[index].got_frame; }));
    auto f = agent.Logs()[index].frames.at(0);
    ASSERT_EQ(c.frame_len, f.size());
    const unsigned char* rec = f.data() + 63;
    if (index == 0) {
      EXPECT_EQ('V', rec[24]);
      EXPECT_EQ(0u, Le32(rec + 120));
      EXPECT_EQ(0u, Le32(rec + 124));
    } else if (index == 1) {
      EXPECT_EQ('O', rec[24]);
      EXPECT_EQ('Y', rec[88]);
      EXPECT_EQ(path.substr(0, 187), std::string(reinterpret_cast<const char*>(rec + 89), 187));
    } else {
      EXPECT_EQ(std::string(199, 'n') + '\0',
                std::string(reinterpret_cast<const char*>(rec + 128), 200));
      EXPECT_EQ('v', rec[328]);
      EXPECT_EQ('S', rec[1352]);
    }
    ++index;
  }
}

TEST(AgentExchange, OutputReportWithoutFileConnectsAndSendsNothing) {
  raw_agent agent([](int) { return conn_mode::greet_and_answer; });
  auto r = RunMessenger({"TYP=O", "IPA=127.0.0.1", Port(agent.port()), "TIMEOUT=1", "TRC=1"});
  EXPECT_EQ(0, r.exit_code);
  EXPECT_NE(std::string::npos, r.out.find("executordata arrived"));
  EXPECT_NE(std::string::npos, r.out.find("SendOutputViewMsg <-- (filename not defined)"));
  EXPECT_NE(std::string::npos, r.out.find("ended normally"));
  ASSERT_TRUE(agent.WaitFor([](auto& logs) { return logs.size() == 1 && logs[0].peer_closed; }));
  EXPECT_TRUE(agent.Logs()[0].frames.empty());
  // Not silent: one line on standard error says so, and the trace shows it too.
  EXPECT_EQ(1, qm7_test::CountLines(r.err, ""));
  EXPECT_NE(std::string::npos, r.err.find("while sending: no output file given"));
  EXPECT_NE(std::string::npos, r.err.find("127.0.0.1 port " + std::to_string(agent.port())));
  EXPECT_NE(std::string::npos, r.out.find("main:      report not delivered"));
}

TEST(AgentExchange, NoAttemptsWithRetryZero) {
  raw_agent agent([](int) { return conn_mode::greet_and_answer; });
  auto r = RunMessenger(
      {"TYP=E", "RET=5", "RETRY=0", "IPA=127.0.0.1", Port(agent.port()), "TIMEOUT=2", "TRC=1"});
  EXPECT_EQ(5, r.exit_code);
  EXPECT_EQ(0, qm7_test::CountLines(r.out, "main:      connection attempt #"));
  EXPECT_NE(std::string::npos, r.out.find("ended normally"));
  EXPECT_NE(std::string::npos, r.err.find("no connection attempt (RETRY=0)"));
  EXPECT_TRUE(agent.Logs().empty());
}

TEST(AgentExchange, NegativeRetryBuildsTheRecordAndWaitsOutTheAnswer) {
  raw_agent agent([](int) { return conn_mode::greet_and_answer; });
  auto r = RunMessenger(
      {"TYP=S", "RETRY=-1", "IPA=127.0.0.1", Port(agent.port()), "TIMEOUT=1", "TRC=1"});
  EXPECT_EQ(0, r.exit_code);
  EXPECT_EQ(0, qm7_test::CountLines(r.out, "main:      connection attempt #"));
  EXPECT_NE(std::string::npos, r.out.find("executordata arrived"));
  EXPECT_NE(std::string::npos, r.out.find("SendJpMd <-- (OK)"));
  EXPECT_NE(std::string::npos, r.out.find("ended normally"));
  EXPECT_GE(r.seconds, 0.9);  // the answer wait ran its whole time-out
  EXPECT_NE(std::string::npos, r.err.find("RETRY=-1"));
  EXPECT_TRUE(agent.Logs().empty());
}

TEST(AgentExchange, OneAttemptAgainstAClosedPort) {
  const int port = qm7_test::UnusedPort();
  auto r = RunMessenger({"TYP=E", "RET=7", "RETRY=1", "WAIT=5", "IPA=127.0.0.1",
                         "PNR=" + std::to_string(port), "TIMEOUT=2", "TRC=1"});
  EXPECT_EQ(7, r.exit_code);
  EXPECT_EQ(1, qm7_test::CountLines(r.out, "connection attempt #"));
  EXPECT_EQ(0, qm7_test::CountLines(r.out, "before retry connecting"));
  EXPECT_EQ(1, qm7_test::CountLines(r.out, "main:      invalid answer"));
  EXPECT_NE(std::string::npos, r.out.find("ended normally"));
  EXPECT_LT(r.seconds, 4.0);  // no pause of WAIT seconds
  EXPECT_EQ(1, qm7_test::CountLines(r.err, "report not delivered"));
  EXPECT_NE(std::string::npos, r.err.find("while connecting: 1 attempt used up"));
  EXPECT_NE(std::string::npos, r.err.find("port " + std::to_string(port)));
  EXPECT_NE(std::string::npos, r.err.find("refused"));
}

TEST(AgentExchange, SmallWaitAndRetryPauseBetweenAttempts) {
  const int port = qm7_test::UnusedPort();
  auto r = RunMessenger({"TYP=S", "RETRY=3", "WAIT=1", "IPA=127.0.0.1",
                         "PNR=" + std::to_string(port), "TIMEOUT=2", "TRC=1"});
  EXPECT_EQ(0, r.exit_code);
  EXPECT_EQ(3, qm7_test::CountLines(r.out, "connection attempt #"));
  EXPECT_EQ(2, qm7_test::CountLines(r.out, "main:      wait 1 seconds before retry connecting"));
  EXPECT_GE(r.seconds, 1.9);
  EXPECT_LT(r.seconds, 10.0);
  EXPECT_NE(std::string::npos, r.err.find("3 attempts used up"));
}

TEST(AgentExchange, SilentAgentEndsTheRunAbnormallyWithoutSecondAttempt) {
  raw_agent agent([](int) { return conn_mode::silent; });
  auto r = RunMessenger({"TYP=E", "RET=4", "RETRY=3", "WAIT=1", "IPA=127.0.0.1", Port(agent.port()),
                         "TIMEOUT=1", "TRC=1"});
  EXPECT_EQ(4, r.exit_code);
  EXPECT_NE(std::string::npos, r.out.find("ended abnormally"));
  EXPECT_EQ(1, qm7_test::CountLines(r.out, "connection attempt #"));
  EXPECT_GE(r.seconds, 0.9);
  EXPECT_LT(r.seconds, 5.0);
  EXPECT_EQ(1u, agent.Logs().size());
  EXPECT_NE(std::string::npos, r.err.find("while waiting for the greeting: no greeting within 1"));
}

TEST(AgentExchange, TimeoutNoneEndsAtOnceWithoutGreeting) {
  raw_agent agent([](int) { return conn_mode::silent; });
  auto r = RunMessenger({"TYP=S", "IPA=127.0.0.1", Port(agent.port()), "TIMEOUT=NONE", "TRC=1"});
  EXPECT_EQ(0, r.exit_code);
  EXPECT_LT(r.seconds, 5.0);
  EXPECT_NE(std::string::npos, r.out.find("ended abnormally"));
  EXPECT_NE(std::string::npos, r.err.find("no greeting within 0 seconds"));
}

TEST(AgentExchange, AnotherMessageFirstCostsOneAttemptAndKeepsTheConnection) {
  raw_agent agent(
      [](int index) { return index == 0 ? conn_mode::other_first : conn_mode::greet_and_answer; });
  auto r = RunMessenger({"TYP=E", "RET=2", "RETRY=2", "WAIT=1", "IPA=127.0.0.1", Port(agent.port()),
                         "TIMEOUT=2", "TRC=1"});
  EXPECT_EQ(2, r.exit_code);
  EXPECT_EQ("", r.err);
  EXPECT_EQ(1, qm7_test::CountLines(r.out, "main:      invalid answer"));
  EXPECT_EQ(1, qm7_test::CountLines(r.out, "wait 1 seconds before retry connecting"));
  EXPECT_NE(std::string::npos, r.out.find("ended normally"));
  ASSERT_TRUE(agent.WaitFor(
      [](auto& logs) { return logs.size() == 2 && logs[0].peer_closed && logs[1].peer_closed; }));
  auto logs = agent.Logs();
  EXPECT_TRUE(logs[0].frames.empty());
  ASSERT_EQ(1u, logs[1].frames.size());
  EXPECT_EQ(339u, logs[1].frames[0].size());
  // The second connection came after the pause; the first stayed open until the record had
  // gone out on the second.
  EXPECT_GE(std::chrono::duration<double>(logs[1].accepted - logs[0].accepted).count(), 0.9);
  EXPECT_GE(logs[0].closed, logs[1].first_frame);
}

TEST(AgentExchange, CloseNoticeOfAnEarlierAttemptIsNoAnswer) {
  // The first connection sends something else and closes; its close notice comes in during
  // the pause and must not count as the second attempt's answer.
  raw_agent agent([](int index) {
    return index == 0 ? conn_mode::other_then_close : conn_mode::greet_and_answer;
  });
  auto r = RunMessenger({"TYP=E", "RET=3", "RETRY=2", "WAIT=1", "IPA=127.0.0.1", Port(agent.port()),
                         "TIMEOUT=2", "TRC=1"});
  EXPECT_EQ(3, r.exit_code);
  EXPECT_EQ("", r.err);
  EXPECT_EQ(1, qm7_test::CountLines(r.out, "main:      invalid answer"));
  EXPECT_NE(std::string::npos, r.out.find("main:      message of an earlier connection ignored"));
  ASSERT_TRUE(agent.WaitFor([](auto& logs) { return logs.size() == 2 && logs[1].got_frame; }));
  EXPECT_EQ(339u, agent.Logs()[1].frames[0].size());
}

TEST(AgentExchange, AnswerWaitLastsItsTimeOut) {
  // Messages taken off the queue without waiting leave wake-up bytes behind; the answer wait
  // must still wait for the answer rather than return at once.
  raw_agent agent(
      [](int index) { return index == 0 ? conn_mode::other_then_close : conn_mode::greet_only; });
  auto r = RunMessenger(
      {"TYP=S", "RETRY=2", "WAIT=1", "IPA=127.0.0.1", Port(agent.port()), "TIMEOUT=2", "TRC=1"});
  EXPECT_EQ(0, r.exit_code);
  EXPECT_EQ("", r.err);
  ASSERT_TRUE(agent.WaitFor([](auto& logs) { return logs.size() == 2 && logs[1].peer_closed; }));
  auto logs = agent.Logs();
  ASSERT_EQ(1u, logs[1].frames.size());
  // The messenger closed only after the whole answer wait.
  EXPECT_GE(std::chrono::duration<double>(logs[1].closed - logs[1].first_frame).count(), 1.9);
}

TEST(AgentExchange, IPv6Loopback) {
  raw_agent agent([](int) { return conn_mode::greet_and_answer; }, /*ipv6=*/true);
  auto r = RunMessenger({"TYP=S", "JNR=6", "IPA=::1", Port(agent.port()), "TIMEOUT=2"});
  EXPECT_EQ(0, r.exit_code);
  EXPECT_EQ("", r.err);
  ASSERT_TRUE(agent.WaitFor(FirstFrameArrived));
  EXPECT_EQ(339u, agent.Logs()[0].frames[0].size());
}

TEST(AgentExchange, SocketDescriptorAbove1024) {
  raw_agent agent([](int) { return conn_mode::greet_and_answer; });
  qm7_test::spawn_options opts;
  opts.fill_fds_to = 1100;  // the job left many files open
  auto r = RunMessenger(
      {"TYP=E", "RET=1", "IPA=127.0.0.1", Port(agent.port()), "TIMEOUT=2", "TRC=1"}, opts);
  EXPECT_EQ(1, r.exit_code);
  EXPECT_EQ("", r.err);
  ASSERT_TRUE(agent.WaitFor(FirstFrameArrived));
  EXPECT_EQ(339u, agent.Logs()[0].frames[0].size());
  // The connection's socket really was numbered above 1024.
  const size_t at = r.out.find("socket(...) <-- s=");
  ASSERT_NE(std::string::npos, at);
  EXPECT_GT(atoi(r.out.c_str() + at + strlen("socket(...) <-- s=")), 1024);
}

TEST(AgentExchange, ChannelManagerThatCannotStartEndsAbnormally) {
  // With four descriptors allowed the wake-up pipes cannot be made: the network thread never
  // starts, nothing is joined or waited on, and the run says so and ends with its exit code.
  qm7_test::spawn_options opts;
  opts.nofile_limit = 4;
  auto r = RunMessenger({"TYP=E", "RET=9", "IPA=127.0.0.1", "PNR=1", "TIMEOUT=1", "TRC=1"}, opts);
  EXPECT_EQ(9, r.exit_code);
  EXPECT_NE(std::string::npos, r.out.find("ended abnormally"));
  EXPECT_EQ(0, qm7_test::CountLines(r.out, "main:      connection attempt #"));
  EXPECT_NE(std::string::npos, r.err.find("while starting the channel manager"));
  EXPECT_LT(r.seconds, 5.0);
}

}  // namespace
