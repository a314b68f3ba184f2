// qm7-agent-sim under a burst of connections and in the connection faults that end a connection
// early: every connection of a burst larger than a small accept queue is taken at once and every
// report is printed exactly once; --fault close closes each connection at once, not when the
// network thread's select pass times out; a delayed greeting still goes out when another delayed
// connection went away first. And peers that try to stall, bloat or steer it: one that never
// reads, forged notices of the channel manager, idle connections at the descriptor limit.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "messenger/harness.h"
#include "qm7/ccm/ipcmsg.h"
#include "qm7/messenger/records.h"

namespace {

using clock_type = std::chrono::steady_clock;
using qm7_test::CountLines;
using qm7_test::frame;
using qm7_test::sim_process;

double SecondsSince(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

int ConnectBlocking(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in a = Loopback(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Starts `n` connections to `port` without waiting for their handshakes; adds them to `fds`.
void ConnectWithoutWaiting(int port, int n, std::vector<int>* fds) {
  const sockaddr_in a = Loopback(port);
  for (int i = 0; i < n; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    const int rc = connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
    ASSERT_TRUE(rc == 0 || errno == EINPROGRESS) << strerror(errno);
    fds->push_back(fd);
  }
}

// Reads exactly `n` bytes within `seconds`; false on time-out, error or end of file.
bool ReadExactly(int fd, unsigned char* out, size_t n, double seconds) {
  const auto start = clock_type::now();
  size_t got = 0;
  while (got < n) {
    const int ms = static_cast<int>((seconds - SecondsSince(start)) * 1000);
    pollfd p = {fd, POLLIN, 0};
    if (ms <= 0 || poll(&p, 1, ms) != 1) return false;
    const ssize_t r = read(fd, out + got, n - got);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

// Reads one frame by its header's length field.
bool ReadFrame(int fd, frame* f, double seconds = 10) {
  f->assign(48, 0);
  if (!ReadExactly(fd, f->data(), 48, seconds)) return false;
  const size_t len = strtoul(std::string(f->begin(), f->begin() + 8).c_str(), nullptr, 10);
  if (len < 48 || len > 65536) return false;
  f->resize(len);
  return ReadExactly(fd, f->data() + 48, len - 48, seconds);
}

// The job-end frame qm_jpmd sends for job `job`: the destination name, then the 276-byte record.
frame ReportFrame(int job) {
  std::vector<unsigned char> body = {0x01, 0x08, 'J',  'P',  'A',  'K',  'T', 'J',
                                     '_',  'R',  0xFF, 0x14, 0x01, 0x00, 0x00};
  std::vector<unsigned char> record(qm7::meld::job::kLength);
  qm7::meld::report_fields fields;
  fields.jobnri = job;
  fields.status = 'E';
  DATUM_BUFF now;
  GetDatumZeit2(nullptr, &now);
  qm7::meld::build_job_event_record(record, fields, now, qm7::meld::current_process_ids());
  body.insert(body.end(), record.begin(), record.end());
  return qm7_test::MakeFrame(body);
}

// The process whose command line holds `arg`, or -1.
pid_t FindProcessWithArgument(const std::string& arg) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return -1;
  pid_t found = -1;
  while (dirent* e = readdir(proc)) {
    const pid_t pid = atoi(e->d_name);
    if (pid <= 0) continue;
    std::ifstream in(std::string("/proc/") + e->d_name + "/cmdline", std::ios::binary);
    const std::string cmdline((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    if (cmdline.find(std::string(1, '\0') + arg + '\0') != std::string::npos) {
      found = pid;
      break;
    }
  }
  closedir(proc);
  return found;
}

int SystemAcceptQueueLimit() {
  std::ifstream in("/proc/sys/net/core/somaxconn");
  int limit = 0;
  in >> limit;
  return limit;
}

// A burst of 300 connections, larger than the 128 the accept queue once held. The simulator is
// stopped while they connect, so the kernel alone completes the handshakes: a connection beyond
// the accept queue's length would stay unconnected (its SYN dropped, retried only after a
// second, and dropped again). Then every connection reports and each report is printed once.
TEST(AgentSimCapacity, BurstOfConnectionsAllTakenAndEachReportPrintedOnce) {
  constexpr int kConnections = 300;
  if (SystemAcceptQueueLimit() < kConnections) {
    GTEST_SKIP() << "net.core.somaxconn is below " << kConnections;
  }
  const std::string port_file = "/tmp/qm7_sim_burst_" + std::to_string(getpid());
  sim_process sim({"--port-file", port_file, "--count", std::to_string(kConnections)});
  ASSERT_GT(sim.port(), 0);
  const pid_t pid = FindProcessWithArgument(port_file);
  ASSERT_GT(pid, 0);
  ASSERT_EQ(0, kill(pid, SIGSTOP));

  std::vector<int> fds;
  ASSERT_NO_FATAL_FAILURE(ConnectWithoutWaiting(sim.port(), kConnections, &fds));
  // A connected socket is writable; one still waiting for its handshake is not. Waiting past the
  // first SYN retry (one second) shows that a dropped connection stays dropped.
  int connected = 0;
  const auto start = clock_type::now();
  while (SecondsSince(start) < 1.5) {
    std::vector<pollfd> p;
    for (int fd : fds) p.push_back({fd, POLLOUT, 0});
    poll(p.data(), p.size(), 100);
    connected = 0;
    for (const pollfd& q : p) connected += (q.revents & POLLOUT) != 0;
    if (connected == kConnections) break;
  }
  kill(pid, SIGCONT);
  EXPECT_EQ(kConnections, connected);

  for (int fd : fds) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  frame f;
  for (int i = 0; i < kConnections; ++i) {
    ASSERT_TRUE(ReadFrame(fds[i], &f)) << "no greeting on connection " << i;
    const frame report = ReportFrame(5000 + i);
    ASSERT_EQ(static_cast<ssize_t>(report.size()), write(fds[i], report.data(), report.size()));
  }
  int answered = 0;
  for (int i = 0; i < kConnections; ++i) {
    answered += ReadFrame(fds[i], &f);
    close(fds[i]);
  }
  EXPECT_EQ(kConnections, answered);

  std::map<int, int> seen;
  std::string line;
  for (int i = 0; i < kConnections && sim.ReadLine(&line); ++i) {
    ASSERT_EQ(0u, line.find("job-end job=")) << line;
    ++seen[atoi(line.c_str() + 12)];
  }
  EXPECT_FALSE(sim.ReadLine(&line, 1));  // nothing more
  const auto end = sim.Wait(10);
  EXPECT_EQ(0, end.exit_code);
  EXPECT_EQ(static_cast<size_t>(kConnections), seen.size());
  for (const auto& [job, count] : seen) {
    EXPECT_TRUE(job >= 5000 && job < 5000 + kConnections) << job;
    EXPECT_EQ(1, count) << "job " << job;
  }
  EXPECT_EQ("", end.err);
  unlink(port_file.c_str());
}

// Deleting a channel only marks it; the network thread closes the socket after its pass. The
// simulator wakes the thread, so the close comes at once and not when the pass's ten-second
// select time-out ends. Several connections in turn, as each must wake the thread anew.
TEST(AgentSimCapacity, FaultCloseClosesEachConnectionAtOnce) {
  sim_process sim({"--fault", "close"});
  ASSERT_GT(sim.port(), 0);
  for (int i = 0; i < 3; ++i) {
    const int fd = ConnectBlocking(sim.port());
    ASSERT_GE(fd, 0);
    const auto start = clock_type::now();
    pollfd p = {fd, POLLIN, 0};
    ASSERT_EQ(1, poll(&p, 1, 12000)) << "connection " << i << " never closed";
    const double seconds = SecondsSince(start);
    char byte;
    EXPECT_GE(0, read(fd, &byte, 1)) << "connection " << i << ": bytes instead of the close";
    EXPECT_LT(seconds, 2.0) << "connection " << i;
    close(fd);
  }
}

// Two connections wait for a delayed greeting; the first leaves before it is due. The second
// is still greeted, about a second after it came, and its report is printed.
TEST(AgentSimCapacity, DelayedGreetingAfterAnotherDelayedConnectionLeft) {
  sim_process sim({"--fault", "delay:1", "--count", "1"});
  ASSERT_GT(sim.port(), 0);
  const int leaving = ConnectBlocking(sim.port());
  ASSERT_GE(leaving, 0);
  const int staying = ConnectBlocking(sim.port());
  ASSERT_GE(staying, 0);
  const auto start = clock_type::now();
  close(leaving);
  frame f;
  ASSERT_TRUE(ReadFrame(staying, &f, 5));
  EXPECT_GE(SecondsSince(start), 0.5);
  ASSERT_EQ(63u, f.size());  // the header and a key-4 element holding "QM7-AGENT-SIM"
  EXPECT_EQ(0x04, f[48]);
  const frame report = ReportFrame(77);
  ASSERT_EQ(static_cast<ssize_t>(report.size()), write(staying, report.data(), report.size()));
  ASSERT_TRUE(ReadFrame(staying, &f, 5));
  close(staying);
  std::string line;
  ASSERT_TRUE(sim.ReadLine(&line));
  EXPECT_EQ(0u, line.find("job-end job=77 "));
  EXPECT_EQ(0, sim.Wait(10).exit_code);
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
  return !qm7_test::UnderValgrind();
}

// Resident memory of a process in KiB, from /proc.
long RssKib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string word;
  long kib = -1;
  while (in >> word) {
    if (word == "VmRSS:") in >> kib;
  }
  return kib;
}

// A peer that takes almost nothing: a small receive buffer, set before the connect so the window
// it announces stays small, and non-blocking.
int NonReadingPeer(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
  const sockaddr_in a = Loopback(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0) {
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

// Writes up to `count` copies of `f` without ever reading, until the socket has taken nothing
// for `stall_seconds`. Returns how many went out whole.
int PushFrames(int fd, const frame& f, int count, double stall_seconds = 1.0) {
  std::vector<unsigned char> bytes;
  for (int i = 0; i < count; ++i) bytes.insert(bytes.end(), f.begin(), f.end());
  size_t sent = 0;
  while (sent < bytes.size()) {
    pollfd p = {fd, POLLOUT, 0};
    if (poll(&p, 1, static_cast<int>(stall_seconds * 1000)) != 1) break;
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
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
  frame f = qm7_test::MakeFrame(body);
  memcpy(f.data() + 21, "IPC", 3);
  return f;
}

// A peer sends reports and never reads the answers. The simulator stops reading it once its
// answers back up (so its memory stays bounded however many it sends), serves a messenger
// meanwhile, drops the peer after the idle time-out without waiting for the unread answers, and
// ends at once on SIGTERM although they are still unsent.
TEST(AgentSimPeers, NonReadingPeerNeitherBloatsNorStallsTheSimulator) {
  if (qm7_test::UnderValgrind()) GTEST_SKIP() << "timing bounds do not hold under valgrind";
  const std::string port_file = "/tmp/qm7_sim_unread_" + std::to_string(getpid());
  sim_process sim({"--port-file", port_file, "--idle-timeout", "1"});
  ASSERT_GT(sim.port(), 0);
  const pid_t pid = FindProcessWithArgument(port_file);
  ASSERT_GT(pid, 0);
  const long rss_before = RssKib(pid);

  // This one breaks its frame stream once the simulator holds more answers for it than it
  // takes: the channel is dropped with answers unsent, and its close must not wait for them.
  const int breaker = NonReadingPeer(sim.port());
  ASSERT_GE(breaker, 0);
  ASSERT_EQ(200, PushFrames(breaker, qm7_test::OtherFrame(), 200));
  ASSERT_EQ(11, send(breaker, "not a frame", 11, MSG_NOSIGNAL));
  const int peer = NonReadingPeer(sim.port());
  ASSERT_GE(peer, 0);
  // Frames that are no report: each is answered, but fills no report line into the pipe that
  // this test does not read.
  const int pushed = PushFrames(peer, qm7_test::OtherFrame(), 30000);

  // Messengers before and after the peer is dropped are served as promptly as ever.
  const auto start = clock_type::now();
  bool dropped = false;
  for (int job = 1; !dropped && SecondsSince(start) < 20; ++job) {
    dropped = sim.ErrSoFar().find("no record within 1 s, closed") != std::string::npos;
    const auto r = qm7_test::RunMessenger(sim.To({"TYP=E", "RET=4", "JNR=" + std::to_string(job)}));
    ASSERT_EQ(4, r.exit_code) << r.err;
    EXPECT_LT(r.seconds, 1.0) << "job " << job;
  }
  if (ResidentMemoryCounts()) {
    EXPECT_LT((RssKib(pid) - rss_before) / 1024, 64) << pushed << " frames taken";
  }
  const auto stop = clock_type::now();
  ASSERT_EQ(0, kill(pid, SIGTERM));
  const auto end = sim.Wait(10);
  EXPECT_EQ(0, end.exit_code);
  EXPECT_LT(SecondsSince(stop), 1.0);
  EXPECT_TRUE(dropped) << end.err;
  close(peer);
  close(breaker);
  unlink(port_file.c_str());
}

// A peer sends "IPC" frames that read like the channel manager's CHANNEL_ACCEPT and CHANNEL_CLOSE
// notices, naming the listening channel and the other connection. They are logged (escaped) and
// dropped: the other connection is not greeted again nor forgotten, and nothing is queued for
// the listening channel, where it would stay until the end.
TEST(AgentSimPeers, ForgedNoticesFromAPeerChangeNothing) {
  const std::string port_file = "/tmp/qm7_sim_forged_" + std::to_string(getpid());
  sim_process sim({"--port-file", port_file, "--count", "1"});
  ASSERT_GT(sim.port(), 0);
  const pid_t pid = FindProcessWithArgument(port_file);
  ASSERT_GT(pid, 0);
  const int victim = ConnectBlocking(sim.port());  // channel 2; the listening channel is 1
  frame f;
  ASSERT_TRUE(ReadFrame(victim, &f));
  frame forged;
  for (const frame& one : {IpcFrame(IPCMSG_CHANNEL_ACCEPT, 1), IpcFrame(IPCMSG_CHANNEL_ACCEPT, 2),
                           IpcFrame(IPCMSG_CHANNEL_CLOSE, 2), IpcFrame("X\nY\x1b[2J", 2)}) {
    forged.insert(forged.end(), one.begin(), one.end());
  }
  // Two forgers in turn: what the first costs (at most the bound of the receive queue while
  // its frames wait) is reused by the second, so nothing outlives a forger.
  long rss[3] = {RssKib(pid), 0, 0};
  for (int round = 1; round <= 2; ++round) {
    const int forger = ConnectBlocking(sim.port());
    ASSERT_TRUE(ReadFrame(forger, &f));
    EXPECT_EQ(2500, PushFrames(forger, forged, 2500, 5));
    // The close that follows the half-close shows that every forged frame was read (and, as
    // recvq keeps their order, is handled before the report below); nothing else came back.
    shutdown(forger, SHUT_WR);
    pollfd p = {forger, POLLIN, 0};
    ASSERT_EQ(1, poll(&p, 1, 10000));
    EXPECT_EQ(0, read(forger, f.data(), f.size()));
    close(forger);
    rss[round] = RssKib(pid);
  }
  if (ResidentMemoryCounts()) {
    EXPECT_LT((rss[1] - rss[0]) / 1024, 32);
    EXPECT_LT((rss[2] - rss[1]) / 1024, 12);
  }

  const frame report = ReportFrame(31);
  ASSERT_EQ(static_cast<ssize_t>(report.size()), write(victim, report.data(), report.size()));
  ASSERT_TRUE(ReadFrame(victim, &f));
  EXPECT_EQ(0, memcmp(f.data() + 21, "NAT", 3));
  EXPECT_NE(0x04, f[48]) << "greeted again instead of answered";
  std::string line;
  ASSERT_TRUE(sim.ReadLine(&line));
  EXPECT_EQ(0u, line.find("job-end job=31 ")) << line;
  const auto end = sim.Wait(10);
  EXPECT_EQ(0, end.exit_code);
  EXPECT_EQ(10000, CountLines(end.err, "IPC frame \"CHANNEL_ACCEPT\" from the peer dropped"));
  EXPECT_EQ(5000, CountLines(end.err, "IPC frame \"CHANNEL_CLOSE\" from the peer dropped"));
  EXPECT_EQ(5000, CountLines(end.err, "IPC frame \"X\\x0AY\\x1B[2J\" from the peer dropped"));
  close(victim);
  unlink(port_file.c_str());
}

// At a descriptor limit of 1 024, 1 100 connections that never send would fill every descriptor
// for good. The connection idle longest gives way to each new one, so a messenger gets in
// within the idle time-out.
TEST(AgentSimPeers, IdleConnectionsAtTheDescriptorLimitGiveWayToAMessenger) {
  if (qm7_test::UnderValgrind())
    GTEST_SKIP() << "descriptor limits behave otherwise under valgrind";
  constexpr int kIdle = 1100;
  rlimit rl;
  getrlimit(RLIMIT_NOFILE, &rl);
  if (rl.rlim_max < kIdle + 64) GTEST_SKIP() << "the hard descriptor limit is too low";
  const rlim_t old_soft = rl.rlim_cur;
  rl.rlim_cur = rl.rlim_max;
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &rl));
  if (SystemAcceptQueueLimit() < kIdle) GTEST_SKIP() << "net.core.somaxconn is below " << kIdle;

  sim_process sim({"--idle-timeout", "2", "--count", "1"}, 1024);
  ASSERT_GT(sim.port(), 0);
  std::vector<int> idle;
  ASSERT_NO_FATAL_FAILURE(ConnectWithoutWaiting(sim.port(), kIdle, &idle));
  const auto r = qm7_test::RunMessenger(sim.To({"TYP=E", "RET=5", "JNR=55", "TIMEOUT=6"}));
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

}  // namespace
