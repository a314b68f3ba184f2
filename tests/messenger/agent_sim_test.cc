// qm7-agent-sim with the real qm_jpmd: what it prints per report, its command line, its fault
// modes, that a misbehaving peer does not stop it, and fifty messengers at once.
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

using qm7_test::RunMessenger;
using qm7_test::sim_process;

TEST(AgentSim, PrintsOneLinePerReport) {
  sim_process sim({"--count", "5"});
  ASSERT_GT(sim.port(), 0);
  std::string line;

  auto r = RunMessenger(sim.To({"TYP=E", "TXT=done", "RET=3", "JNR=42", "MNR=100"}));
  EXPECT_EQ(3, r.exit_code);
  ASSERT_TRUE(sim.ReadLine(&line));
  EXPECT_EQ(0u, line.find("job-end job=42 client=100 status=\"E\" rc=3 text=\"done\" time=\""));
  EXPECT_NE(std::string::npos, line.find(" pid=" + std::to_string(r.pid) + " "));
  EXPECT_NE(std::string::npos, line.find(" ppid=" + std::to_string(getpid()) + " "));
  EXPECT_NE(std::string::npos, line.find("version=\"12.2.0+build.2108\""));

  // A start sends status R, an empty text arrives empty.
  r = RunMessenger(sim.To({"TYP=S", "JNR=7"}));
  EXPECT_EQ(0, r.exit_code);
  ASSERT_TRUE(sim.ReadLine(&line));
  EXPECT_EQ(0u, line.find("job-state job=7 client=0 status=\"R\" rc=0 text=\"\" "));

  const std::string name(200, 'N');
  r = RunMessenger(sim.To({"TYP=V", "NAME=" + name, "VALUE=a \"quoted\" value", "VTYPE=C"}));
  EXPECT_EQ(0, r.exit_code);
  ASSERT_TRUE(sim.ReadLine(&line));
  EXPECT_NE(std::string::npos, line.find("name=\"" + std::string(199, 'N') + "\" "));
  EXPECT_NE(std::string::npos, line.find("value=\"a \\\"quoted\\\" value\" type=\"C\""));

  std::string path = "/var/out/";
  while (path.size() < 300) path += "x";
  r = RunMessenger(sim.To({"TYP=O", "OUTFILE=" + path, "ULOGIN=Y", "JNR=3"}));
  EXPECT_EQ(0, r.exit_code);
  ASSERT_TRUE(sim.ReadLine(&line));
  EXPECT_EQ(0u, line.find("output-file job=3 client=0 login-check=\"Y\" path=\"" +
                          path.substr(0, 187) + "\" path-terminated=\"no\""));

  r = RunMessenger(sim.To({"TYP=V"}));
  ASSERT_TRUE(sim.ReadLine(&line));
  EXPECT_NE(std::string::npos, line.find("has-variable=\"no\""));
  EXPECT_EQ(0, sim.WaitExit());  // --count 5 reached
}

TEST(AgentSim, JsonLinesAndPortFile) {
  const std::string port_file = "/tmp/qm7_sim_port_" + std::to_string(getpid());
  sim_process sim({"--json", "--port-file", port_file, "--count", "1"});
  ASSERT_GT(sim.port(), 0);
  std::ifstream in(port_file);
  int from_file = 0;
  in >> from_file;
  EXPECT_EQ(sim.port(), from_file);
  auto r = RunMessenger(sim.To({"TYP=E", "TXT=t\x01x", "RET=1", "JNR=8"}));
  EXPECT_EQ(1, r.exit_code);
  std::string line;
  ASSERT_TRUE(sim.ReadLine(&line));
  EXPECT_EQ(0u, line.find("{\"event\":\"job-end\",\"job\":8,\"client\":0,\"status\":\"E\",\"rc\":1,"
                          "\"text\":\"t\\u0001x\""));
  EXPECT_EQ('}', line.back());
  EXPECT_EQ(0, sim.WaitExit());
  unlink(port_file.c_str());
}

TEST(AgentSim, CommandLine) {
  auto help = qm7_test::Run("qm7-agent-sim", {"--help"}, {}, 10);
  EXPECT_EQ(0, help.exit_code);
  for (const char* option : {"--listen", "--port", "--port-file", "--count", "--json", "--fault",
                             "no-greeting", "other-first", "no-answer", "delay:"}) {
    EXPECT_NE(std::string::npos, help.out.find(option)) << option;
  }
  for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{{"--port", "70000"},
                                                                            {"--count", "0"},
                                                                            {"--count", "x"},
                                                                            {"--fault", "sulk"},
                                                                            {"--port"},
                                                                            {"--bogus"}}) {
    auto r = qm7_test::Run("qm7-agent-sim", bad, {}, 10);
    EXPECT_EQ(2, r.exit_code) << bad[0];
    EXPECT_NE(std::string::npos, r.err.find("qm7-agent-sim:")) << bad[0];
  }
  // A port already taken cannot be listened on: exit 1 with a reason.
  sim_process first({});
  ASSERT_GT(first.port(), 0);
  auto taken = qm7_test::Run("qm7-agent-sim", {"--port", std::to_string(first.port())}, {}, 10);
  EXPECT_EQ(1, taken.exit_code);
  EXPECT_NE(std::string::npos, taken.err.find("cannot listen"));
}

TEST(AgentSim, FaultModes) {
  {
    sim_process sim({"--fault", "no-greeting"});
    auto r = RunMessenger(sim.To({"TYP=E", "RET=2", "TIMEOUT=1", "TRC=1"}));
    EXPECT_EQ(2, r.exit_code);
    EXPECT_NE(std::string::npos, r.out.find("ended abnormally"));
  }
  {
    sim_process sim({"--fault", "close"});
    auto r = RunMessenger(sim.To({"TYP=S", "RETRY=2", "TRC=1"}));
    EXPECT_EQ(0, r.exit_code);
    EXPECT_EQ(2, qm7_test::CountLines(r.out, "main:      invalid answer"));
    EXPECT_NE(std::string::npos, r.err.find("2 attempts used up"));
  }
  {
    // Another message first on the first connection only: the second attempt gets through.
    sim_process sim({"--fault", "other-first", "--fault-count", "1"});
    auto r = RunMessenger(sim.To({"TYP=S", "JNR=11", "RETRY=2", "TRC=1"}));
    EXPECT_EQ(0, r.exit_code);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(1, qm7_test::CountLines(r.out, "main:      invalid answer"));
    std::string line;
    ASSERT_TRUE(sim.ReadLine(&line));
    EXPECT_EQ(0u, line.find("job-state job=11 "));
  }
  {
    // No answer: the report is printed, the messenger waits its time-out and ends normally.
    sim_process sim({"--fault", "no-answer"});
    auto r = RunMessenger(sim.To({"TYP=S", "JNR=12", "TIMEOUT=1", "TRC=1"}));
    EXPECT_EQ(0, r.exit_code);
    EXPECT_GE(r.seconds, 0.9);
    EXPECT_NE(std::string::npos, r.out.find("ended normally"));
    std::string line;
    ASSERT_TRUE(sim.ReadLine(&line));
    EXPECT_EQ(0u, line.find("job-state job=12 "));
  }
  {
    // A greeting one second late is still in time for a three-second wait, not for none.
    sim_process sim({"--fault", "delay:1"});
    auto late = RunMessenger(sim.To({"TYP=S", "JNR=13", "TIMEOUT=3"}));
    EXPECT_EQ(0, late.exit_code);
    EXPECT_GE(late.seconds, 0.9);
    std::string line;
    ASSERT_TRUE(sim.ReadLine(&line));
    EXPECT_EQ(0u, line.find("job-state job=13 "));
  }
}

TEST(AgentSim, KeepsServingAfterMisbehavingPeers) {
  sim_process sim({"--count", "1"});
  ASSERT_GT(sim.port(), 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(sim.port()));
  auto connect_raw = [&] {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)));
    return fd;
  };
  // Connects and leaves at once; sends garbage; sends a frame with an unknown key; sends a
  // NAT frame that is no report; stays connected and silent.
  close(connect_raw());
  int garbage = connect_raw();
  (void)!write(garbage, "this is not a frame at all, not even close", 42);
  int bad_key = connect_raw();
  auto bad = qm7_test::MakeFrame({0x05, 0x01, 'x'});
  (void)!write(bad_key, bad.data(), bad.size());
  int not_report = connect_raw();
  auto other = qm7_test::OtherFrame();
  (void)!write(not_report, other.data(), other.size());
  int silent = connect_raw();

  auto r = RunMessenger(sim.To({"TYP=E", "RET=6", "JNR=99"}));
  EXPECT_EQ(6, r.exit_code);
  EXPECT_EQ("", r.err);
  std::string line;
  ASSERT_TRUE(sim.ReadLine(&line));
  EXPECT_EQ(0u, line.find("job-end job=99 "));
  EXPECT_EQ(0, sim.WaitExit());
  EXPECT_NE(std::string::npos, sim.Stderr().find("not a report"));
  for (int fd : {garbage, bad_key, not_report, silent}) close(fd);
}

TEST(AgentSim, IPv6Loopback) {
  sim_process sim({"--listen", "::1", "--count", "1"});
  ASSERT_GT(sim.port(), 0);
  auto r = RunMessenger(
      {"TYP=S", "JNR=61", "IPA=::1", "PNR=" + std::to_string(sim.port()), "TIMEOUT=2"});
  EXPECT_EQ(0, r.exit_code);
  std::string line;
  ASSERT_TRUE(sim.ReadLine(&line));
  EXPECT_EQ(0u, line.find("job-state job=61 "));
  EXPECT_NE(std::string::npos, line.find("from=\"::1:"));
}

TEST(AgentSim, FiftyMessengersAtOnceEachReportedOnce) {
  constexpr int kMessengers = 50;
  sim_process sim({"--count", std::to_string(kMessengers), "--json"});
  ASSERT_GT(sim.port(), 0);
  std::vector<std::unique_ptr<qm7_test::child>> children;
  for (int i = 1; i <= kMessengers; ++i) {
    children.push_back(std::make_unique<qm7_test::child>(
        qm7_test::BinPath("qm_jpmd"), sim.To({"TYP=E", "RET=" + std::to_string(i % 7),
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
  EXPECT_EQ(0, sim.WaitExit());
  EXPECT_FALSE(sim.ReadLine(&line, 1));  // nothing more
  ASSERT_EQ(static_cast<size_t>(kMessengers), seen.size());
  for (int i = 1; i <= kMessengers; ++i) EXPECT_EQ(1, seen[1000 + i]) << "job " << 1000 + i;
}

}  // namespace
