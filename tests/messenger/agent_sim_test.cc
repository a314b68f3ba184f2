// qm7-agent-sim with the real qm_jpmd and with raw sockets: the line it prints per report, its
// command line, its fault modes, fifty messengers at once, a burst of connections larger than a
// small accept queue, and peers that misbehave or try to stall, bloat or steer it: garbage, one
// that never reads, forged notices of the channel manager, idle connections and a stream of
// short connections at the descriptor limit, frames that never complete, a flood of reports.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "messenger/harness.h"
#include "qm7/ccm/ipcmsg.h"
#include "qm7/messenger/records.h"

namespace {

using namespace qm7_test;
using clock_type = std::chrono::steady_clock;

double SecondsSince(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

// A connection to 127.0.0.1 `port`; -1 on failure. Without `wait`, the handshake is not awaited
// and the socket stays non-blocking. A `rcvbuf` is set before the connect, so that the window
// the socket announces stays as small.
int Connect(int port, bool wait = true, int rcvbuf = 0) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (wait ? 0 : SOCK_NONBLOCK), 0);
  if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0 &&
      (wait || errno != EINPROGRESS)) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads one frame, by its header's length field, within `seconds`; false on time-out or end.
bool ReadFrame(int fd, frame* f, double seconds = 10) {
  const auto start = clock_type::now();
  size_t want = 48;
  f->clear();
  while (f->size() < want) {
    const int ms = static_cast<int>((seconds - SecondsSince(start)) * 1000);
    pollfd p = {fd, POLLIN, 0};
    unsigned char chunk[4096];
    if (ms <= 0 || poll(&p, 1, ms) != 1) return false;
    const ssize_t n = read(fd, chunk, std::min(sizeof(chunk), want - f->size()));
    if (n <= 0) return false;
    f->insert(f->end(), chunk, chunk + n);
    if (f->size() == 48) want = strtoul(std::string(f->begin(), f->end()).c_str(), nullptr, 10);
  }
  return want >= 48;
}

// Sends `f`, all of it; whether it went.
bool SendFrame(int fd, const frame& f) {
  return send(fd, f.data(), f.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(f.size());
}

// The job-end frame qm_jpmd sends for job `job`: the destination name, then the 276-byte record;
// a non-empty `trailer` goes between them as a sender trailer element (key 0xFD).
frame ReportFrame(int job, const std::vector<unsigned char>& trailer = {}) {
  std::vector<unsigned char> body = {0x01, 0x08, 'J', 'P', 'A', 'K', 'T', 'J', '_', 'R'};
  if (!trailer.empty()) {
    body.insert(body.end(), {0xFD, static_cast<unsigned char>(trailer.size() & 0xFF),
                             static_cast<unsigned char>(trailer.size() >> 8)});
    body.insert(body.end(), trailer.begin(), trailer.end());
  }
  body.insert(body.end(), {0xFF, 0x14, 0x01, 0x00, 0x00});
  std::vector<unsigned char> record(qm7::meld::job::kLength);
  qm7::meld::report_fields fields;
  fields.jobnri = job;
  fields.status = 'E';
  DATUM_BUFF now;
  GetDatumZeit2(nullptr, &now);
  qm7::meld::build_job_event_record(record, fields, now, qm7::meld::current_process_ids());
  body.insert(body.end(), record.begin(), record.end());
  return MakeFrame(body);
}

int SystemAcceptQueueLimit() {
  std::ifstream in("/proc/sys/net/core/somaxconn");
  int limit = 0;
  in >> limit;
  return limit;
}

// Peers that leave at once, send garbage, a frame with an unknown key, a NAT frame that is no
// report, or stay connected and silent do not keep the simulator from printing one line per
// report. The command line it refuses.
TEST(AgentSim, CommandLineAndOneLinePerReportAmongMisbehavingPeers) {
  sim_process sim({"--count", "5"});
  ASSERT_GT(sim.port(), 0);
  // Another cannot listen on its port (exit 1); bad options exit 2.
  const std::vector<std::string> refused[] = {{"--port", std::to_string(sim.port())},
                                              {"--port", "70000"},
                                              {"--count", "0"},
                                              {"--count", "x"},
                                              {"--fault", "sulk"},
                                              {"--fault", "delay:x"},
                                              {"--port"},
                                              {"--bogus"}};
  for (const auto& args : refused) {
    auto r = RunProgram("qm7-agent-sim", args);
    EXPECT_EQ(&args == refused ? 1 : 2, r.exit_code) << args[0];
    EXPECT_NE(std::string::npos, r.err.find(&args == refused ? "cannot listen" : "qm7-agent-sim:"));
  }
  EXPECT_EQ(0, RunProgram("qm7-agent-sim", {"--help"}).exit_code);
  const frame sends[] = {{},
                         {},
                         frame{'n', 'o', 't', ' ', 'a', ' ', 'f', 'r', 'a', 'm', 'e'},
                         MakeFrame({0x05, 0x01, 'x'}),
                         OtherFrame()};
  std::vector<int> peers;
  for (const frame& f : sends) {
    peers.push_back(Connect(sim.port()));
    EXPECT_TRUE(SendFrame(peers.back(), f));
  }
  close(peers[0]);
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
    EXPECT_EQ(c.args.size() == 1 ? "qm_jpmd: TYP=V without NAME; an empty name used\n" : "", r.err);
    std::string line;
    ASSERT_TRUE(sim.ReadLine(&line));
    EXPECT_EQ(0u, line.find(c.parts[0])) << line;
    for (const auto& part : c.parts) EXPECT_NE(std::string::npos, line.find(part)) << part;
    if (c.exit_code == 3) {
      EXPECT_NE(std::string::npos, line.find(" pid=" + std::to_string(r.pid) + " "));
    }
  }
  auto end = sim.Wait(10);
  EXPECT_EQ(0, end.exit_code);  // --count 5 reached
  EXPECT_NE(std::string::npos, end.err.find("not a report"));
  for (size_t i = 1; i < peers.size(); ++i) close(peers[i]);
}

// Each simulator with one messenger, all at once.
TEST(AgentSim, FaultModes) {
  const struct {
    std::vector<std::string> sim_args, args;
    int exit_code, invalid_answers;
    std::string out, err;  // in the trace; in standard error ("": it stays empty)
    std::string report;    // the line the simulator prints ("": none is awaited)
  } cases[] = {
      // clang-format off
      {{"--fault", "no-greeting"}, {"TYP=E", "RET=2", "TIMEOUT=1"}, 2, 0, "ended abnormally",
       "no greeting within 1", ""},
      // Each connection in turn is closed at once, not when the network thread's select pass
      // times out ten seconds later: each close notice is an invalid answer.
      {{"--fault", "close"}, {"TYP=S", "RETRY=2"}, 0, 2, "ended normally", "2 attempts used up",
       ""},
      // On the first connection only: the second attempt gets through.
      {{"--fault", "other-first", "--fault-count", "1"}, {"TYP=S", "JNR=11", "RETRY=2"}, 0, 1,
       "ended normally", "attempt 1 of 2 to reach the agent at 127.0.0.1 port ", "job-state job=11 "},
      // The report is printed; the messenger waits out its answer time-out, ends normally and
      // says that nothing confirmed the report.
      {{"--fault", "no-answer"}, {"TYP=S", "JNR=12", "TIMEOUT=1"}, 0, 0, "ended normally",
       "no answer within 1 seconds, so the agent may not have the report", "job-state job=12 "},
      // A greeting one second late is in time for a three-second wait; TIMEOUT=NONE (0) gives
      // up the answer only: the late greeting is still awaited, the record still goes.
      {{"--fault", "delay:1"}, {"TYP=S", "JNR=13", "TIMEOUT=3"}, 0, 0, "ended normally", "",
       "job-state job=13 "},
      {{"--fault", "delay:1"}, {"TYP=S", "JNR=21", "TIMEOUT=NONE"}, 0, 0, "ended normally", "",
       "job-state job=21 "},
      {{"--fault", "delay:1"}, {"TYP=S", "JNR=22", "TIMEOUT=0"}, 0, 0, "ended normally", "",
       "job-state job=22 "},
      // clang-format on
  };
  std::vector<std::unique_ptr<sim_process>> sims;
  std::vector<std::vector<std::string>> args;
  for (const auto& c : cases) {
    sims.push_back(std::make_unique<sim_process>(c.sim_args));
    ASSERT_GT(sims.back()->port(), 0);
    // A delayed connection that leaves before its greeting is due keeps none from the next.
    if (c.sim_args[1] == "delay:1") close(Connect(sims.back()->port()));
    args.push_back(sims.back()->To(c.args));
    args.back().push_back("TRC=1");
  }
  const std::vector<run_result> runs = RunMessengers(args);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    const run_result& r = runs[i];
    SCOPED_TRACE(testing::PrintToString(c.args));
    EXPECT_EQ(c.exit_code, r.exit_code);
    EXPECT_EQ(c.invalid_answers, CountLines(r.out, "main:      invalid answer"));
    EXPECT_NE(std::string::npos, r.out.find(c.out));
    if (c.err.empty()) {
      EXPECT_EQ("", r.err);
    }
    EXPECT_NE(std::string::npos, r.err.find(c.err)) << r.err;
    EXPECT_GE(r.seconds, 0.9);  // a time-out, a pause or a late greeting of a second
    EXPECT_LT(r.seconds, 5);
    std::string line;
    if (c.report.empty()) continue;
    ASSERT_TRUE(sims[i]->ReadLine(&line));
    EXPECT_EQ(0u, line.find(c.report)) << line;
  }
}

// Over IPv6, the port also written to a file, as JSON lines; each report printed once.
TEST(AgentSim, FiftyMessengersAtOnceEachReportedOnce) {
  constexpr int kMessengers = 50;
  const std::string port_file = "/tmp/qm7_sim_port_" + std::to_string(getpid());
  sim_process sim({"--count", std::to_string(kMessengers), "--json", "--port-file", port_file,
                   "--listen", "::1"});
  ASSERT_GT(sim.port(), 0);
  int from_file = 0;
  std::ifstream(port_file) >> from_file;
  EXPECT_EQ(sim.port(), from_file);
  unlink(port_file.c_str());
  std::vector<std::unique_ptr<child>> children;
  for (int i = 0; i < kMessengers; ++i) {
    children.push_back(std::make_unique<child>(
        BinPath("qm_jpmd"),
        sim.To({"IPA=::1", "TYP=E", "TXT=t\x01x", "RET=" + std::to_string(i % 7),
                "JNR=" + std::to_string(1000 + i), "TIMEOUT=10"})));
  }
  for (int i = 0; i < kMessengers; ++i) {
    auto r = children[i]->Wait(60);
    EXPECT_EQ(i % 7, r.exit_code) << "messenger " << i;
    EXPECT_EQ("", r.err) << "messenger " << i;
  }
  std::map<int, int> seen;
  std::string line;
  for (int i = 0; i < kMessengers; ++i) {
    ASSERT_TRUE(sim.ReadLine(&line, 20)) << "after " << i << " lines";
    const int job = atoi(line.c_str() + strlen("{\"event\":\"job-end\",\"job\":"));
    ++seen[job];
    EXPECT_EQ(0u, line.find("{\"event\":\"job-end\",\"job\":" + std::to_string(job) +
                            ",\"client\":0,\"status\":\"E\",\"rc\":" +
                            std::to_string((job - 1000) % 7) + ",\"text\":\"t\\u0001x\""))
        << line;
    EXPECT_NE(std::string::npos, line.find("\"from\":\"::1:")) << line;
    EXPECT_EQ('}', line.back());
  }
  EXPECT_EQ(0, sim.Wait(10).exit_code);
  EXPECT_FALSE(sim.ReadLine(&line, 1));  // nothing more
  ASSERT_EQ(static_cast<size_t>(kMessengers), seen.size());
  for (const auto& [job, count] : seen) EXPECT_EQ(1, count) << "job " << job;
}

// A burst of 300 connections, larger than the 128 the accept queue once held. The simulator is
// stopped while they connect, so the kernel alone completes the handshakes: a connection beyond
// the accept queue's length would stay unconnected (its SYN dropped, retried only after a
// second, and dropped again). Then every connection reports and each report is printed once.
TEST(AgentSim, BurstOfConnectionsAllTakenAndEachReportPrintedOnce) {
  constexpr int kConnections = 300;
  if (SystemAcceptQueueLimit() < kConnections) {
    GTEST_SKIP() << "net.core.somaxconn is below " << kConnections;
  }
  sim_process sim({"--count", std::to_string(kConnections)});
  ASSERT_GT(sim.port(), 0);
  ASSERT_EQ(0, kill(sim.pid(), SIGSTOP));
  std::vector<pollfd> fds;
  for (int i = 0; i < kConnections; ++i) fds.push_back({Connect(sim.port(), false), POLLOUT, 0});
  // A connected socket is writable; one still waiting for its handshake is not. Waiting past the
  // first SYN retry (one second) shows that a dropped connection stays dropped.
  int connected = 0;
  for (const auto start = clock_type::now();
       connected < kConnections && SecondsSince(start) < 1.5;) {
    poll(fds.data(), fds.size(), 100);
    connected = std::count_if(fds.begin(), fds.end(), [](auto& p) { return p.revents & POLLOUT; });
  }
  kill(sim.pid(), SIGCONT);
  EXPECT_EQ(kConnections, connected);
  frame f;
  for (int i = 0; i < kConnections; ++i) {
    ASSERT_TRUE(ReadFrame(fds[i].fd, &f)) << "no greeting on connection " << i;
    ASSERT_TRUE(SendFrame(fds[i].fd, ReportFrame(5000 + i)));
  }
  for (int i = 0; i < kConnections; ++i) {
    EXPECT_TRUE(ReadFrame(fds[i].fd, &f)) << "no answer on connection " << i;
    close(fds[i].fd);
  }
  std::map<int, int> seen;
  std::string line;
  for (int i = 0; i < kConnections && sim.ReadLine(&line); ++i) {
    ASSERT_EQ(0u, line.find("job-end job=")) << line;
    ++seen[atoi(line.c_str() + 12)];
  }
  EXPECT_FALSE(sim.ReadLine(&line, 1));  // nothing more
  const auto end = sim.Wait(10);
  EXPECT_EQ(0, end.exit_code);
  EXPECT_EQ("", end.err);
  EXPECT_EQ(static_cast<size_t>(kConnections), seen.size());
  for (const auto& [job, count] : seen) {
    EXPECT_TRUE(job >= 5000 && job < 5000 + kConnections) << job;
    EXPECT_EQ(1, count) << "job " << job;
  }
}

// Whether the simulator's resident memory means something: sanitizers and valgrind hold freed
// blocks back and add memory of their own (the simulator is built as this test is).
bool ResidentMemoryCounts() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return false;
#endif
#endif
  return !UnderValgrind();
}

// A memory figure of a process in KiB ("VmRSS:", "VmData:"), from /proc.
long StatusKib(pid_t pid, const std::string& field = "VmRSS:") {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string word;
  long kib = -1;
  while (in >> word) {
    if (word == field) in >> kib;
  }
  return kib;
}

long RssMib(pid_t pid) { return StatusKib(pid) / 1024; }

// Writes up to `count` copies of `f` without ever reading, until the socket has taken nothing
// for `stall_seconds`. Returns how many went out whole.
int PushFrames(int fd, const frame& f, int count, double stall_seconds = 1.0) {
  std::vector<unsigned char> bytes;
  for (int i = 0; i < count; ++i) bytes.insert(bytes.end(), f.begin(), f.end());
  size_t sent = 0;
  pollfd p = {fd, POLLOUT, 0};
  while (sent < bytes.size() && poll(&p, 1, static_cast<int>(stall_seconds * 1000)) == 1) {
    const ssize_t n =
        send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  return static_cast<int>(sent / f.size());
}

// An "IPC" frame holding a record of the channel manager's own kinds.
frame IpcFrame(const char* type, int id) {
  std::vector<unsigned char> body(sizeof(ipcmsg_channel_close_t), 0);
  memcpy(body.data(), type, strnlen(type, IPCMSG_TYPE_NAME_LEN));
  const size_t at = strcmp(type, IPCMSG_CHANNEL_CLOSE) == 0
                        ? offsetof(ipcmsg_channel_close_t, ccmch) + offsetof(ccm_channel_t, ID)
                        : offsetof(ipcmsg_channel_accept_t, ID);
  memcpy(body.data() + at, &id, sizeof(id));
  return MakeFrame(body, "IPC");
}

// Peers send frames that are no report and never read the answers, or send nothing. The
// simulator closes each flooding peer after 100 such frames without waiting for its unread
// answers, and the silent one after the idle time-out; its memory stays bounded, it serves
// messengers meanwhile, and it ends at once on SIGTERM.
TEST(AgentSimPeers, NonReadingPeerNeitherBloatsNorStallsTheSimulator) {
  if (UnderValgrind()) GTEST_SKIP() << "timing bounds do not hold under valgrind";
  sim_process sim({"--idle-timeout", "1"});
  ASSERT_GT(sim.port(), 0);
  const long rss_before = RssMib(sim.pid());
  // This one breaks its frame stream after its frames: it is closed before the break is read.
  const int breaker = Connect(sim.port(), true, 4096);
  ASSERT_EQ(200, PushFrames(breaker, OtherFrame(), 200));
  ASSERT_EQ(11, send(breaker, "not a frame", 11, MSG_NOSIGNAL));
  const int silent = Connect(sim.port());
  const int peer = Connect(sim.port(), true, 4096);
  const int pushed = PushFrames(peer, OtherFrame(), 30000);

  // Messengers before and after the peers are dropped are served as promptly as ever.
  const auto start = clock_type::now();
  bool dropped = false;
  for (int job = 1; !dropped && SecondsSince(start) < 20; ++job) {
    const std::string err = sim.ErrSoFar();
    dropped = CountLines(err, "100 frames that are no report, closed") == 2 &&
              CountLines(err, "no record within 1 s, closed") == 1;
    const auto r = RunMessenger(sim.To({"TYP=E", "RET=4", "JNR=" + std::to_string(job)}));
    ASSERT_EQ(4, r.exit_code) << r.err;
    EXPECT_LT(r.seconds, 1.0) << "job " << job;
  }
  if (ResidentMemoryCounts()) {
    EXPECT_LT(RssMib(sim.pid()) - rss_before, 64) << pushed << " taken";
  }
  const auto stop = clock_type::now();
  ASSERT_EQ(0, kill(sim.pid(), SIGTERM));
  const auto end = sim.Wait(10);
  EXPECT_EQ(0, end.exit_code);
  EXPECT_LT(SecondsSince(stop), 1.0);
  EXPECT_TRUE(dropped) << end.err;
  EXPECT_EQ(200, CountLines(end.err, "not a report")) << "notes after a peer was closed";
  for (int fd : {peer, silent, breaker}) close(fd);
}

// A peer sends "IPC" frames that read like the channel manager's CHANNEL_ACCEPT and CHANNEL_CLOSE
// notices, naming the listening channel and the other connection. They are logged (escaped) and
// dropped: the other connection is not greeted again nor forgotten, and nothing is queued for
// the listening channel, where it would stay until the end. After 100 of them the peer is
// closed, and nothing it sent after them is noted.
TEST(AgentSimPeers, ForgedNoticesFromAPeerChangeNothing) {
  sim_process sim({"--count", "1"});
  ASSERT_GT(sim.port(), 0);
  const int victim = Connect(sim.port());  // channel 2; the listening channel is 1
  frame f;
  ASSERT_TRUE(ReadFrame(victim, &f));
  frame forged;
  for (const frame& one : {IpcFrame(IPCMSG_CHANNEL_ACCEPT, 1), IpcFrame(IPCMSG_CHANNEL_ACCEPT, 2),
                           IpcFrame(IPCMSG_CHANNEL_CLOSE, 2), IpcFrame("X\nY\x1b[2J", 2)}) {
    forged.insert(forged.end(), one.begin(), one.end());
  }
  // Two forgers in turn: what the first costs (at most the bound of the receive queue while
  // its frames wait) is reused by the second, so nothing outlives a forger.
  long rss[3] = {RssMib(sim.pid()), 0, 0};
  for (int round = 1; round <= 2; ++round) {
    const int forger = Connect(sim.port());
    ASSERT_TRUE(ReadFrame(forger, &f));
    EXPECT_GE(PushFrames(forger, forged, 2500, 5), 25);
    // The close comes after the hundredth frame was handled; nothing else came back.
    pollfd p = {forger, POLLIN, 0};
    ASSERT_EQ(1, poll(&p, 1, 10000));
    EXPECT_GE(0, read(forger, f.data(), f.size()));
    close(forger);
    rss[round] = RssMib(sim.pid());
  }
  if (ResidentMemoryCounts()) {
    EXPECT_LT(rss[1] - rss[0], 32);
    EXPECT_LT(rss[2] - rss[1], 12);
  }
  ASSERT_TRUE(SendFrame(victim, ReportFrame(31)));
  ASSERT_TRUE(ReadFrame(victim, &f));
  EXPECT_EQ(0, memcmp(f.data() + 21, "NAT", 3));
  EXPECT_NE(0x04, f[48]) << "greeted again instead of answered";
  std::string line;
  ASSERT_TRUE(sim.ReadLine(&line));
  EXPECT_EQ(0u, line.find("job-end job=31 ")) << line;
  const auto end = sim.Wait(10);
  EXPECT_EQ(0, end.exit_code);
  EXPECT_EQ(100, CountLines(end.err, "IPC frame \"CHANNEL_ACCEPT\" from the peer dropped"));
  EXPECT_EQ(50, CountLines(end.err, "IPC frame \"CHANNEL_CLOSE\" from the peer dropped"));
  EXPECT_EQ(50, CountLines(end.err, "IPC frame \"X\\x0AY\\x1B[2J\" from the peer dropped"));
  EXPECT_EQ(2, CountLines(end.err, ": 100 frames that are no report, closed"));
  close(victim);
}

// At a descriptor limit of 1 024, 1 100 connections that never send would fill every descriptor
// for good. The connection idle longest gives way to each new one, so a messenger gets in
// within the idle time-out.
TEST(AgentSimPeers, IdleConnectionsAtTheDescriptorLimitGiveWayToAMessenger) {
  if (UnderValgrind()) GTEST_SKIP() << "descriptor limits behave otherwise under valgrind";
  constexpr int kIdle = 1100;
  rlimit rl;
  getrlimit(RLIMIT_NOFILE, &rl);
  if (rl.rlim_max < kIdle + 64) GTEST_SKIP() << "the hard descriptor limit is too low";
  if (SystemAcceptQueueLimit() < kIdle) GTEST_SKIP() << "net.core.somaxconn is below " << kIdle;
  const rlim_t old_soft = rl.rlim_cur;
  rl.rlim_cur = rl.rlim_max;
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &rl));
  sim_process sim({"--idle-timeout", "2", "--count", "1"}, 1024);
  ASSERT_GT(sim.port(), 0);
  std::vector<int> idle;
  for (int i = 0; i < kIdle; ++i) idle.push_back(Connect(sim.port(), false));
  const auto r = RunMessenger(sim.To({"TYP=E", "RET=5", "JNR=55", "TIMEOUT=6"}));
  EXPECT_EQ(5, r.exit_code) << r.err;
  EXPECT_LT(r.seconds, 2.5);
  std::string line;
  ASSERT_TRUE(sim.ReadLine(&line));
  EXPECT_EQ(0u, line.find("job-end job=55 ")) << line;
  const auto end = sim.Wait(10);
  EXPECT_EQ(0, end.exit_code);
  EXPECT_NE(std::string::npos, end.err.find("gave way to a new connection")) << end.err;
  for (int fd : idle) close(fd);
  rl.rlim_cur = old_soft;
  setrlimit(RLIMIT_NOFILE, &rl);
}

// A peer's sender trailer of 128 unknown sub-keys makes the channel manager log the first three
// and the count of the rest. None reaches standard output, where the lines stay whole (as text
// and as JSON); standard error has them as notes. (The notes' rate limit is tested on its own.)
TEST(AgentSimPeers, LogEntriesAPeerProvokesStayOffStandardOutput) {
  std::vector<unsigned char> trailer;
  for (int i = 0; i < 128; ++i) trailer.insert(trailer.end(), {0x7F, 0x00});
  for (const bool json : {false, true}) {
    sim_process sim(json ? std::vector<std::string>{"--json"} : std::vector<std::string>{});
    const int peer = Connect(sim.port());
    frame f;
    ASSERT_TRUE(ReadFrame(peer, &f) && SendFrame(peer, ReportFrame(7, trailer)));
    EXPECT_EQ(3, RunMessenger(sim.To({"TYP=E", "RET=3", "JNR=8"})).exit_code);
    std::string line;
    for (const char* job : {"7", "8"}) {
      ASSERT_TRUE(sim.ReadLine(&line));
      EXPECT_EQ(0u, line.find((json ? "{\"event\":\"job-end\",\"job\":" : "job-end job=") +
                              std::string(job)))
          << line;
      EXPECT_EQ(json ? '}' : '"', line.back()) << line;
    }
    kill(sim.pid(), SIGTERM);
    const auto end = sim.Wait(10);
    EXPECT_EQ("", end.out);
    EXPECT_EQ(4, CountLines(end.err, "qm7-agent-sim: channel manager: invalid kz"));
    EXPECT_EQ(1, CountLines(end.err, "channel manager: invalid kz: 125 more in this frame"));
    EXPECT_EQ(CountLines(end.err, ""), CountLines(end.err, "qm7-agent-sim: ")) << end.err;
    close(peer);
  }
}

// At descriptor limits of 64 and 256 (room for 32 and 224 connections) idle connections give
// way, but none with a record unread: two clients connect, send a report and close for five
// seconds, among idle connections and a messenger, and every report sent is printed.
TEST(AgentSimPeers, EveryRecordSentIsPrintedAtTheDescriptorLimit) {
  if (UnderValgrind()) GTEST_SKIP() << "descriptor limits behave otherwise under valgrind";
  for (const int limit : {64, 256}) {
    SCOPED_TRACE(limit);
    sim_process sim({}, limit);
    std::vector<int> idle;
    for (int i = 0; i < (limit == 64 ? 32 : 224) + 8; ++i) idle.push_back(Connect(sim.port()));
    std::atomic<int> sent{0}, finished{0};
    const auto start = clock_type::now();
    const auto client = [&](int job) {
      for (; SecondsSince(start) < 5; job += 2) {
        const int fd = Connect(sim.port());
        sent += fd >= 0 && SendFrame(fd, ReportFrame(job));
        close(fd);
      }
      ++finished;
    };
    std::thread one(client, 100), two(client, 101);
    child messenger(BinPath("qm_jpmd"), sim.To({"TYP=E", "RET=5", "JNR=1", "TIMEOUT=5"}));
    std::set<int> jobs;  // the messenger's and those sent, read as they come
    std::string line;
    while (SecondsSince(start) < 30 && (finished < 2 || static_cast<int>(jobs.size()) <= sent)) {
      if (sim.ReadLine(&line, 0.2)) jobs.insert(atoi(line.c_str() + strlen("job-end job=")));
    }
    one.join();
    two.join();
    const auto r = messenger.Wait();
    EXPECT_EQ(5, r.exit_code);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(sent + 1, static_cast<int>(jobs.size())) << sim.ErrSoFar();
    for (int fd : idle) close(fd);
  }
}

// With standard error a pipe nobody reads, peers that flood frames that are no report fill it at
// once: the notes that do not fit are dropped, and messengers are still served.
TEST(AgentSimPeers, AnUnreadStandardErrorHoldsNothingUp) {
  sim_process sim({}, 0, true);
  std::vector<int> peers;
  for (int i = 0; i < 3; ++i) {
    peers.push_back(Connect(sim.port()));
    PushFrames(peers.back(), OtherFrame(), 150);
  }
  std::string line;
  for (const char* job : {"1", "2", "3"}) {
    EXPECT_EQ(4, RunMessenger(sim.To({"TYP=E", "RET=4", std::string("JNR=") + job})).exit_code);
    ASSERT_TRUE(sim.ReadLine(&line));
    EXPECT_EQ(0u, line.find(std::string("job-end job=") + job + " ")) << line;
  }
  for (int fd : peers) close(fd);
}

// Peers announce frames of 16 MiB. 120 that send all but the last byte hold no more than the
// bound on frames still arriving (64 MiB) and 32 MiB besides, while a messenger is answered
// within a second; 300 that send the header alone hold no more than a receive buffer each. One
// that floods reports while another idles leaves the memory as it was.
TEST(AgentSimPeers, PeersHoldOnlyBoundedMemory) {
  if (!ResidentMemoryCounts()) GTEST_SKIP() << "memory figures mean nothing here";
  const frame big = MakeFrame(std::vector<unsigned char>((16 << 20) - 48, 'x'));
  {
    sim_process sim({});
    const long rss_before = RssMib(sim.pid());
    std::vector<pollfd> peers;
    std::vector<size_t> sent(120, 0);
    for (size_t i = 0; i < sent.size(); ++i) peers.push_back({Connect(sim.port()), POLLOUT, 0});
    // Until all is sent or no peer could send for half a second: the simulator reads no more.
    while (poll(peers.data(), peers.size(), 500) > 0) {
      for (size_t i = 0; i < peers.size(); ++i) {
        if (!(peers[i].revents & POLLOUT)) continue;
        const ssize_t n = send(peers[i].fd, big.data() + sent[i], big.size() - 1 - sent[i],
                               MSG_NOSIGNAL | MSG_DONTWAIT);
        sent[i] += n > 0 ? static_cast<size_t>(n) : 0;
        if (sent[i] == big.size() - 1 || n < 0) peers[i].events = 0;
      }
    }
    const auto r = RunMessenger(sim.To({"TYP=E", "RET=5", "JNR=1"}));
    EXPECT_EQ(5, r.exit_code);
    EXPECT_LT(r.seconds, 1.0);
    EXPECT_LT(RssMib(sim.pid()) - rss_before, 64 + 32);
    for (const pollfd& p : peers) close(p.fd);
  }
  {
    sim_process sim({});
    std::vector<int> peers;
    for (int i = 0; i < 300; ++i) peers.push_back(Connect(sim.port()));
    EXPECT_EQ(5, RunMessenger(sim.To({"TYP=E", "RET=5", "JNR=2"})).exit_code);
    const long before[] = {StatusKib(sim.pid()), StatusKib(sim.pid(), "VmData:")};
    for (const int fd : peers) EXPECT_TRUE(SendFrame(fd, frame(big.begin(), big.begin() + 48)));
    // The messenger's connection is accepted in a pass that reads every header sent before.
    EXPECT_EQ(5, RunMessenger(sim.To({"TYP=E", "RET=5", "JNR=3"})).exit_code);
    EXPECT_LT(StatusKib(sim.pid()) - before[0], 300 * 16);
    EXPECT_LT(StatusKib(sim.pid(), "VmData:") - before[1], 300 * 16);
    for (const int fd : peers) close(fd);
  }
  sim_process sim({});
  const int silent = Connect(sim.port());
  const int flooder = Connect(sim.port());
  frame f;
  ASSERT_TRUE(ReadFrame(flooder, &f));
  const long rss_before = RssMib(sim.pid());
  std::atomic<bool> done{false};
  std::thread answers([&] {  // the flooder takes its answers as they come
    unsigned char sink[65536];
    while (!done && read(flooder, sink, sizeof sink) > 0) {
    }
  });
  const frame report = ReportFrame(9);
  int lines = 0;
  std::string line;
  for (const auto start = clock_type::now(); SecondsSince(start) < 2;) {
    PushFrames(flooder, report, 100);
    while (sim.ReadLine(&line, 0.001)) ++lines;
  }
  EXPECT_LT(RssMib(sim.pid()) - rss_before, 8) << lines << " reports";
  done = true;
  shutdown(flooder, SHUT_RDWR);
  answers.join();
  for (const int fd : {silent, flooder}) close(fd);
}

}  // namespace
