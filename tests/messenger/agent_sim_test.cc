// qm7-agent-sim with the real qm_jpmd: the line it prints per report, its command line, its
// fault modes, that misbehaving peers do not stop it, and fifty messengers at once.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "messenger/harness.h"

namespace {

using namespace qm7_test;

TEST(AgentSim, PrintsOneLinePerReport) {
  sim_process sim({"--count", "5"});
  ASSERT_GT(sim.port(), 0);
  std::string path = "/var/out/";
  while (path.size() < 300) path += "x";
  const struct {
    std::vector<std::string> args;
    int exit_code;
    std::vector<std::string> parts;  // the line starts with the first
  } cases[] = {
      // clang-format off
      {{"TYP=E", "TXT=done", "RET=3", "JNR=42", "MNR=100"}, 3,
       {"job-end job=42 client=100 status=\"E\" rc=3 text=\"done\" time=\"",
        " ppid=" + std::to_string(getpid()) + " ", "version=\"12.2.0+build.2108\""}},
      {{"TYP=S", "JNR=7"}, 0, {"job-state job=7 client=0 status=\"R\" rc=0 text=\"\" "}},
      {{"TYP=V", "NAME=" + std::string(200, 'N'), "VALUE=a \"quoted\" value", "VTYPE=C"}, 0,
       {"variable ", "name=\"" + std::string(199, 'N') + "\" ",
        "value=\"a \\\"quoted\\\" value\" type=\"C\""}},
      {{"TYP=O", "OUTFILE=" + path, "ULOGIN=Y", "JNR=3"}, 0,
       {"output-file job=3 client=0 login-check=\"Y\" path=\"" + path.substr(0, 187) +
        "\" path-terminated=\"no\""}},
      {{"TYP=V"}, 0, {"variable ", "has-variable=\"no\""}},
      // clang-format on
  };
  for (const auto& c : cases) {
    auto r = RunMessenger(sim.To(c.args));
    EXPECT_EQ(c.exit_code, r.exit_code);
    std::string line;
    ASSERT_TRUE(sim.ReadLine(&line));
    EXPECT_EQ(0u, line.find(c.parts[0])) << line;
    for (const auto& part : c.parts) EXPECT_NE(std::string::npos, line.find(part)) << part;
    if (c.exit_code == 3) {
      EXPECT_NE(std::string::npos, line.find(" pid=" + std::to_string(r.pid) + " "));
    }
  }
  EXPECT_EQ(0, sim.Wait(10).exit_code);  // --count 5 reached
}

TEST(AgentSim, JsonLinesPortFileAndIPv6) {
  const std::string port_file = "/tmp/qm7_sim_port_" + std::to_string(getpid());
  sim_process sim({"--json", "--port-file", port_file, "--count", "1", "--listen", "::1"});
  ASSERT_GT(sim.port(), 0);
  int from_file = 0;
  std::ifstream(port_file) >> from_file;
  EXPECT_EQ(sim.port(), from_file);
  EXPECT_EQ(1,
            RunMessenger(sim.To({"IPA=::1", "TYP=E", "TXT=t\x01x", "RET=1", "JNR=8"})).exit_code);
  std::string line;
  ASSERT_TRUE(sim.ReadLine(&line));
  EXPECT_EQ(0u, line.find("{\"event\":\"job-end\",\"job\":8,\"client\":0,\"status\":\"E\",\"rc\":1,"
                          "\"text\":\"t\\u0001x\""));
  EXPECT_NE(std::string::npos, line.find("\"from\":\"::1:")) << line;
  EXPECT_EQ('}', line.back());
  EXPECT_EQ(0, sim.Wait(10).exit_code);
  unlink(port_file.c_str());
}

TEST(AgentSim, CommandLine) {
  auto help = RunProgram("qm7-agent-sim", {"--help"});
  EXPECT_EQ(0, help.exit_code);
  for (const char* option : {"--listen", "--port", "--port-file", "--count", "--json", "--fault",
                             "no-greeting", "other-first", "no-answer", "delay:"}) {
    EXPECT_NE(std::string::npos, help.out.find(option)) << option;
  }
  const std::vector<std::string> bad[] = {
      {"--port", "70000"},    {"--count", "0"}, {"--count", "x"}, {"--fault", "sulk"},
      {"--fault", "delay:x"}, {"--port"},       {"--bogus"}};
  for (const auto& args : bad) {
    auto r = RunProgram("qm7-agent-sim", args);
    EXPECT_EQ(2, r.exit_code) << args[0];
    EXPECT_NE(std::string::npos, r.err.find("qm7-agent-sim:")) << args[0];
  }
  // A port already taken cannot be listened on: exit 1 with a reason.
  sim_process first({});
  ASSERT_GT(first.port(), 0);
  auto taken = RunProgram("qm7-agent-sim", {"--port", std::to_string(first.port())});
  EXPECT_EQ(1, taken.exit_code);
  EXPECT_NE(std::string::npos, taken.err.find("cannot listen"));
}

TEST(AgentSim, FaultModes) {
  const struct {
    std::vector<std::string> sim_args, args;
    int exit_code, invalid_answers;
    std::string out, err;  // in the trace; in standard error ("": it stays empty)
    double min_s;
    std::string report;  // the line the simulator prints ("": none is awaited)
  } cases[] = {
      // clang-format off
      {{"--fault", "no-greeting"}, {"TYP=E", "RET=2", "TIMEOUT=1"}, 2, 0, "ended abnormally",
       "no greeting within 1", 0.9, ""},
      {{"--fault", "close"}, {"TYP=S", "RETRY=2"}, 0, 2, "ended normally", "2 attempts used up",
       0, ""},
      // On the first connection only: the second attempt gets through.
      {{"--fault", "other-first", "--fault-count", "1"}, {"TYP=S", "JNR=11", "RETRY=2"}, 0, 1,
       "ended normally", "", 0.9, "job-state job=11 "},
      // The report is printed; the messenger waits out its answer time-out, ends normally and
      // says that nothing confirmed the report.
      {{"--fault", "no-answer"}, {"TYP=S", "JNR=12", "TIMEOUT=1"}, 0, 0, "ended normally",
       "no answer within 1 seconds, so the agent may not have the report", 0.9,
       "job-state job=12 "},
      // A greeting one second late is in time for a three-second wait.
      {{"--fault", "delay:1"}, {"TYP=S", "JNR=13", "TIMEOUT=3"}, 0, 0, "ended normally", "", 0.9,
       "job-state job=13 "},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sim_args[1]);
    sim_process sim(c.sim_args);
    auto args = c.args;
    args.push_back("TRC=1");
    auto r = RunMessenger(sim.To(args));
    EXPECT_EQ(c.exit_code, r.exit_code);
    EXPECT_EQ(c.invalid_answers, CountLines(r.out, "main:      invalid answer"));
    EXPECT_NE(std::string::npos, r.out.find(c.out));
    if (c.err.empty()) {
      EXPECT_EQ("", r.err);
    } else {
      EXPECT_NE(std::string::npos, r.err.find(c.err)) << r.err;
    }
    EXPECT_GE(r.seconds, c.min_s);
    if (!c.report.empty()) {
      std::string line;
      ASSERT_TRUE(sim.ReadLine(&line));
      EXPECT_EQ(0u, line.find(c.report)) << line;
    }
  }
}

TEST(AgentSim, KeepsServingAfterMisbehavingPeers) {
  sim_process sim({"--count", "1"});
  ASSERT_GT(sim.port(), 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(sim.port()));
  // Peers that leave at once, send garbage, a frame with an unknown key, a NAT frame that is no
  // report, or stay connected and silent.
  const frame sends[] = {{},
                         {},
                         frame{'n', 'o', 't', ' ', 'a', ' ', 'f', 'r', 'a', 'm', 'e'},
                         MakeFrame({0x05, 0x01, 'x'}),
                         OtherFrame()};
  std::vector<int> peers;
  for (size_t i = 0; i < std::size(sends); ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)));
    EXPECT_EQ(static_cast<ssize_t>(sends[i].size()), write(fd, sends[i].data(), sends[i].size()));
    if (i == 0) {
      close(fd);
    } else {
      peers.push_back(fd);
    }
  }
  auto r = RunMessenger(sim.To({"TYP=E", "RET=6", "JNR=99"}));
  EXPECT_EQ(6, r.exit_code);
  EXPECT_EQ("", r.err);
  std::string line;
  ASSERT_TRUE(sim.ReadLine(&line));
  EXPECT_EQ(0u, line.find("job-end job=99 "));
  auto end = sim.Wait(10);
  EXPECT_EQ(0, end.exit_code);
  EXPECT_NE(std::string::npos, end.err.find("not a report"));
  for (int fd : peers) close(fd);
}

TEST(AgentSim, FiftyMessengersAtOnceEachReportedOnce) {
  constexpr int kMessengers = 50;
  sim_process sim({"--count", std::to_string(kMessengers), "--json"});
  ASSERT_GT(sim.port(), 0);
  std::vector<std::unique_ptr<child>> children;
  for (int i = 1; i <= kMessengers; ++i) {
    children.push_back(std::make_unique<child>(
        BinPath("qm_jpmd"), sim.To({"TYP=E", "RET=" + std::to_string(i % 7),
                                    "JNR=" + std::to_string(1000 + i), "TIMEOUT=10"})));
  }
  for (int i = 1; i <= kMessengers; ++i) {
    auto r = children[i - 1]->Wait(60);
    EXPECT_EQ(i % 7, r.exit_code) << "messenger " << i;
    EXPECT_EQ("", r.err) << "messenger " << i;
  }
  std::map<int, int> seen;
  std::string line;
  for (int i = 0; i < kMessengers; ++i) {
    ASSERT_TRUE(sim.ReadLine(&line, 20)) << "after " << i << " lines";
    const size_t at = line.find("\"job\":");
    ASSERT_NE(std::string::npos, at);
    ++seen[atoi(line.c_str() + at + 6)];
  }
  EXPECT_EQ(0, sim.Wait(10).exit_code);
  EXPECT_FALSE(sim.ReadLine(&line, 1));  // nothing more
  ASSERT_EQ(static_cast<size_t>(kMessengers), seen.size());
  for (int i = 1; i <= kMessengers; ++i) EXPECT_EQ(1, seen[1000 + i]) << "job " << 1000 + i;
}

}  // namespace
