// The built qm_jpmd against raw-socket agents of the tests' own: the exact frame it sends and
// each way a run can go (nothing listening, silence, a wrong first message, no output file, no
// or negative attempts, a channel manager that cannot start). Time-outs are passed small.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "messenger/harness.h"

namespace {

using namespace qm7_test;

std::string TextAt(const unsigned char* p, size_t n) {
  return std::string(reinterpret_cast<const char*>(p), n);
}

double Between(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

TEST(AgentExchange, JobEndFrameByteForByte) {
  raw_agent agent([](int) { return conn_mode::greet_and_answer; });
  const time_t before = time(nullptr);
  auto r = RunMessenger({"TYP=E", "TXT=done", "RET=3", "JNR=42", "MNR=100", "IPA=127.0.0.1",
                         agent.Pnr(), "TIMEOUT=2", "WAIT=1"});
  const time_t after = time(nullptr);
  EXPECT_EQ(3, r.exit_code);
  EXPECT_EQ("", r.err);
  auto logs = agent.Logs();
  ASSERT_EQ(1u, logs.size());
  ASSERT_EQ(1u, logs[0].frames.size());
  const frame& f = logs[0].frames[0];
  ASSERT_EQ(339u, f.size());
  // Header, destination name element, body element with the 276-byte record.
  EXPECT_EQ("00000339QM7:global001NAT" + std::string(24, ' '), TextAt(f.data(), 48));
  const unsigned char elements[] = {0x01, 0x08, 'J',  'P',  'A',  'K',  'T', 'J',
                                    '_',  'R',  0xFF, 0x14, 0x01, 0x00, 0x00};
  EXPECT_EQ(0, memcmp(f.data() + 48, elements, sizeof(elements)));
  const unsigned char* rec = f.data() + 63;
  EXPECT_EQ("MELD    03", TextAt(rec, 10));
  EXPECT_EQ(100, rec[10] | (rec[11] << 8));
  EXPECT_EQ(0u, Le32(rec + 12));  // user ID
  EXPECT_EQ(0u, Le32(rec + 16));  // msgnr
  EXPECT_EQ(42u, Le32(rec + 20));
  EXPECT_EQ('E', rec[24]);
  EXPECT_EQ(std::string("done") + '\0' + std::string(27, ' '), TextAt(rec + 25, 32));
  EXPECT_EQ("12.2.0+build.2108" + std::string(15, ' '), TextAt(rec + 57, 32));
  EXPECT_EQ(3u, Le32(rec + 100));
  EXPECT_EQ(0u, Le32(rec + 104));
  // The time stamp is the current UTC time, the process identities the messenger's own.
  const time_t jt = Le32(rec + 124);
  EXPECT_GE(jt, before);
  EXPECT_LE(jt, after);
  struct tm utc;
  gmtime_r(&jt, &utc);
  EXPECT_EQ(utc.tm_year + 1900, rec[108] | (rec[109] << 8));
  EXPECT_EQ(utc.tm_sec, rec[118] | (rec[119] << 8));
  EXPECT_EQ(static_cast<uint32_t>(r.pid), Le32(rec + 128));
  EXPECT_EQ(static_cast<uint32_t>(getpid()), Le32(rec + 132));
  EXPECT_EQ(static_cast<uint32_t>(getpgrp()), Le32(rec + 136));
  EXPECT_EQ(static_cast<uint32_t>(getsid(0)), Le32(rec + 144));
  EXPECT_EQ(std::string(128, '\0'), TextAt(rec + 148, 128));
}

TEST(AgentExchange, RecordLengthsOnTheWire) {
  // A variable record without a name is 296 bytes, an output path of 300 characters travels
  // as its first 187 bytes, a 200-character name arrives with 199.
  raw_agent agent([](int) { return conn_mode::greet_and_answer; });
  std::string path;
  for (int i = 0; i < 300; ++i) path += static_cast<char>('A' + i % 26);
  const struct {
    std::vector<std::string> args;
    size_t record_len;
    size_t at;
    std::string field;
  } cases[] = {
      {{"TYP=V", "VALUE=x"}, 296, 120, std::string(8, '\0')},
      {{"TYP=O", "OUTFILE=" + path, "ULOGIN=Y"}, 276, 88, 'Y' + path.substr(0, 187)},
      {{"TYP=V", "NAME=" + std::string(200, 'n'), "VALUE=v", "VTYPE=S"},
       1521,
       128,
       std::string(199, 'n') + '\0'},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    auto args = cases[i].args;
    args.insert(args.end(), {"IPA=127.0.0.1", agent.Pnr(), "TIMEOUT=2"});
    auto r = RunMessenger(args);
    EXPECT_EQ(0, r.exit_code);
    EXPECT_EQ("", r.err);
    ASSERT_TRUE(agent.WaitFor([&](auto& logs) { return logs.size() > i && logs[i].got_frame; }));
    const frame f = agent.Logs()[i].frames.at(0);
    ASSERT_EQ(48 + 15 + cases[i].record_len, f.size());
    EXPECT_EQ(cases[i].field, TextAt(f.data() + 63 + cases[i].at, cases[i].field.size()));
  }
}

TEST(AgentExchange, RunsThatDeliverNothing) {
  // Each: the agent's behaviour (none: a closed port), the arguments, the exit code, how many
  // attempts the trace shows, what the trace and the one standard-error line hold, the bounds
  // of the run's wall time. No run may wait out a close: the channel manager lingers 60 s.
  const std::string long_value = "VALUE=" + std::string(1023, 'v');
  const struct {
    std::optional<conn_mode> agent;
    std::vector<std::string> args;
    int nofile_limit;
    int exit_code, attempts;
    std::vector<std::string> out, err;
    double min_s, max_s;
  } cases[] = {
      // clang-format off
      {conn_mode::greet_and_answer, {"TYP=E", "RET=5", "RETRY=0"}, 0, 5, 0, {"ended normally"},
       {"no connection attempt (RETRY=0)"}, 0, 5},
      // Nothing is connected, so there is no answer to wait for.
      {conn_mode::greet_and_answer, {"TYP=S", "RETRY=-1", "TIMEOUT=30"}, 0, 0, 0,
       {"executordata arrived", "SendJpMd <-- (OK)", "ended normally"},
       {"no connection attempt (RETRY=-1), the record was dropped"}, 0, 5},
      {conn_mode::greet_and_answer, {"TYP=E", "RET=6", "IPA= ", "WAIT=30"}, 0, 6, 0,
       {"ended normally"}, {"while connecting: no agent address given (IPA)"}, 0, 5},
      // The resolver's own code and text; the address printable, not raw.
      {std::nullopt, {"TYP=S", "RETRY=1", "IPA=bad\x1b[2J\xc3\xa9\x7f"}, 0, 0, 1,
       {"main:      connect failed"},
       {"at bad\\x1B[2J\\xC3\\xA9\\x7F port", "getaddrinfo|-2(Name or service not known)"}, 0, 5},
      {std::nullopt, {"TYP=E", "RET=7", "RETRY=1", "WAIT=5"}, 0, 7, 1,
       {"main:      invalid answer", "ended normally"},
       {"while connecting: 1 attempt used up", "refused"}, 0, 4},
      {std::nullopt, {"TYP=S", "RETRY=3", "WAIT=1"}, 0, 0, 3,
       {"main:      wait 1 seconds before retry connecting"}, {"3 attempts used up"}, 1.9, 10},
      {conn_mode::silent, {"TYP=E", "RET=4", "RETRY=3", "WAIT=1", "TIMEOUT=1"}, 0, 4, 1,
       {"ended abnormally"}, {"while waiting for the greeting: no greeting within 1"}, 0.9, 5},
      // A notice of the network thread's own kind from the agent is a message of the wrong
      // kind, and none of its text reaches standard error.
      {conn_mode::forged_close, {"TYP=S", "RETRY=1"}, 0, 0, 1, {"main:      invalid answer"},
       {"1 attempt used up, the last: the agent sent a message of type 3, key 0 instead"}, 0, 5},
      {conn_mode::greet_never_read, {"TYP=V", "NAME=N", long_value, "TIMEOUT=1"}, 0, 0, 1,
       {"ended normally"},
       {"while sending: the agent did not take the report within 1 seconds (", "bytes unsent)"},
       0.9, 5},
      {conn_mode::greet_then_close, {"TYP=E", "RET=7"}, 0, 7, 1, {"ended normally"},
       {"while waiting for the answer: the ", " before any answer, so the agent may not have"},
       0, 5},
      {conn_mode::greet_then_reset, {"TYP=E", "RET=7"}, 0, 7, 1, {"ended normally"},
       {"while waiting for the answer: the ", " before any answer, so the agent may not have"},
       0, 5},
      {conn_mode::greet_and_answer, {"TYP=O", "TIMEOUT=1"}, 0, 0, 1,
       {"SendOutputViewMsg <-- (filename not defined)", "main:      report not delivered",
        "ended normally"}, {"while sending: no output file given"}, 0, 10},
      // Four descriptors leave no room for the wake-up pipes: the network thread never
      // starts, and nothing is joined or waited on.
      {std::nullopt, {"TYP=E", "RET=9", "RETRY=1"}, 4, 9, 0, {"ended abnormally"},
       {"while starting the channel manager"}, 0, 5},
      // clang-format on
  };
  for (const auto& c : cases) {
    // valgrind keeps descriptors of its own, so a descriptor limit does not bite as it does.
    if (c.nofile_limit > 0 && UnderValgrind()) continue;
    std::optional<raw_agent> agent;
    if (c.agent) {
      // A small receive buffer keeps a record that is never read from leaving in full.
      agent.emplace([m = *c.agent](int) { return m; }, false,
                    *c.agent == conn_mode::greet_never_read ? 1 : 0);
    }
    const int port = agent ? agent->port() : UnusedPort();
    // Later values win: a case may set its own TIMEOUT.
    std::vector<std::string> args = {"IPA=127.0.0.1", "PNR=" + std::to_string(port), "TIMEOUT=2",
                                     "TRC=1"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    spawn_options opts;
    opts.nofile_limit = c.nofile_limit;
    auto r = RunMessenger(args, opts);
    SCOPED_TRACE(testing::PrintToString(c.args).substr(0, 80));
    EXPECT_EQ(c.exit_code, r.exit_code);
    EXPECT_EQ(c.attempts, CountLines(r.out, "main:      connection attempt #"));
    EXPECT_EQ(c.attempts > 1 ? c.attempts - 1 : 0, CountLines(r.out, "before retry connecting"));
    for (const auto& text : c.out) EXPECT_NE(std::string::npos, r.out.find(text)) << text;
    EXPECT_EQ(1, CountLines(r.err, "qm_jpmd: report not delivered to the agent at "));
    EXPECT_EQ(1, CountLines(r.err, " port " + std::to_string(port) + " while "));
    EXPECT_EQ(1, CountLines(r.err, ""));
    for (const auto& text : c.err) EXPECT_NE(std::string::npos, r.err.find(text)) << text;
    for (const char byte : r.err)
      EXPECT_TRUE(byte == '\n' || (byte >= 0x20 && byte < 0x7F)) << r.err;
    EXPECT_GE(r.seconds, c.min_s);
    EXPECT_LT(r.seconds, c.max_s);
    if (agent) {
      ASSERT_TRUE(agent->WaitFor([&](auto& logs) {
        return logs.size() == static_cast<size_t>(c.attempts) &&
               (logs.empty() || logs.back().peer_closed);
      }));
      for (const auto& log : agent->Logs()) EXPECT_TRUE(log.frames.empty());
    }
  }
}

TEST(AgentExchange, AnotherMessageFirstCostsOneAttemptAndKeepsTheConnection) {
  raw_agent agent(
      [](int index) { return index == 0 ? conn_mode::other_first : conn_mode::greet_and_answer; });
  auto r = RunMessenger(
      {"TYP=E", "RET=2", "RETRY=2", "WAIT=1", "IPA=127.0.0.1", agent.Pnr(), "TIMEOUT=2", "TRC=1"});
  EXPECT_EQ(2, r.exit_code);
  EXPECT_EQ("", r.err);
  EXPECT_EQ(1, CountLines(r.out, "main:      invalid answer"));
  EXPECT_EQ(1, CountLines(r.out, "wait 1 seconds before retry connecting"));
  ASSERT_TRUE(agent.WaitFor(
      [](auto& logs) { return logs.size() == 2 && logs[0].peer_closed && logs[1].peer_closed; }));
  auto logs = agent.Logs();
  EXPECT_TRUE(logs[0].frames.empty());
  ASSERT_EQ(1u, logs[1].frames.size());
  EXPECT_EQ(339u, logs[1].frames[0].size());
  // The second connection came after the pause; the first stayed open until the record had
  // gone out on the second.
  EXPECT_GE(Between(logs[0].accepted, logs[1].accepted), 0.9);
  EXPECT_GE(logs[0].closed, logs[1].first_frame);
}

TEST(AgentExchange, CloseNoticeOfAnEarlierAttemptIsNoAnswer) {
  // The first connection's close notice comes in during the pause and must not count as the
  // second attempt's answer.
  raw_agent agent([](int index) {
    return index == 0 ? conn_mode::other_then_close : conn_mode::greet_and_answer;
  });
  auto r = RunMessenger(
      {"TYP=E", "RET=3", "RETRY=2", "WAIT=1", "IPA=127.0.0.1", agent.Pnr(), "TIMEOUT=2", "TRC=1"});
  EXPECT_EQ(3, r.exit_code);
  EXPECT_EQ("", r.err);
  EXPECT_EQ(1, CountLines(r.out, "main:      invalid answer"));
  EXPECT_NE(std::string::npos, r.out.find("main:      message of an earlier connection ignored"));
  ASSERT_TRUE(agent.WaitFor([](auto& logs) { return logs.size() == 2 && logs[1].got_frame; }));
  EXPECT_EQ(339u, agent.Logs()[1].frames[0].size());
}

TEST(AgentExchange, AnswerWaitLastsItsTimeOut) {
  // Messages taken off the queue without waiting leave wake-up bytes behind; the answer wait
  // must still wait for the answer rather than return at once, and then say that none came.
  raw_agent agent(
      [](int index) { return index == 0 ? conn_mode::other_then_close : conn_mode::greet_only; });
  auto r = RunMessenger(
      {"TYP=S", "RETRY=2", "WAIT=1", "IPA=127.0.0.1", agent.Pnr(), "TIMEOUT=2", "TRC=1"});
  EXPECT_EQ(0, r.exit_code);
  EXPECT_EQ("qm_jpmd: report not delivered to the agent at 127.0.0.1 port " +
                std::to_string(agent.port()) +
                " while waiting for the answer: no answer within 2 seconds, so the agent may not "
                "have the report\n",
            r.err);
  EXPECT_LT(r.seconds, 6);
  ASSERT_TRUE(agent.WaitFor([](auto& logs) { return logs.size() == 2 && logs[1].peer_closed; }));
  auto logs = agent.Logs();
  ASSERT_EQ(1u, logs[1].frames.size());
  EXPECT_GE(Between(logs[1].first_frame, logs[1].closed), 1.9);
}

TEST(AgentExchange, NoAnswerWaitStillWaitsForTheGreetingAndTheRecord) {
  // TIMEOUT=NONE (0) gives up the answer only: the greeting comes late, the record still goes.
  for (const char* timeout : {"TIMEOUT=NONE", "TIMEOUT=0"}) {
    sim_process sim({"--fault", "delay:1", "--count", "1"});
    auto r = RunMessenger(sim.To({"TYP=S", "JNR=21", timeout}));
    EXPECT_EQ(0, r.exit_code);
    EXPECT_EQ("", r.err);
    EXPECT_GE(r.seconds, 0.9);
    EXPECT_LT(r.seconds, 5);
    std::string line;
    ASSERT_TRUE(sim.ReadLine(&line));
    EXPECT_EQ(0u, line.find("job-state job=21 ")) << line;
  }
}

TEST(AgentExchange, IPv6AndASocketAbove1024) {
  for (bool ipv6 : {true, false}) {
    raw_agent agent([](int) { return conn_mode::greet_and_answer; }, ipv6);
    spawn_options opts;
    opts.fill_fds_to = ipv6 ? 0 : 1100;  // the job left many files open
    auto r = RunMessenger(
        {"TYP=E", "RET=1", ipv6 ? "IPA=::1" : "IPA=127.0.0.1", agent.Pnr(), "TIMEOUT=2", "TRC=1"},
        opts);
    EXPECT_EQ(1, r.exit_code);
    EXPECT_EQ("", r.err);
    ASSERT_TRUE(agent.WaitFor([](auto& logs) { return !logs.empty() && logs[0].got_frame; }));
    EXPECT_EQ(339u, agent.Logs()[0].frames[0].size());
    const size_t at = r.out.find("socket(...) <-- s=");
    ASSERT_NE(std::string::npos, at);
    if (!ipv6) {
      EXPECT_GT(atoi(r.out.c_str() + at + strlen("socket(...) <-- s=")), 1024);
    }
  }
}

}  // namespace
