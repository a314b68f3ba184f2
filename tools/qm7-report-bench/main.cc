// qm7-report-bench: measures the wall time of one job-end report against qm7-agent-sim on
// loopback, for qm_jpmd and, in the same run and interleaved with it, for a minimal client on
// raw sockets doing the same exchange (connect, greeting, the 339-byte frame, the answer,
// close) both as its own process and inside this one, and qm_jpmd -V for the cost of starting
// the program alone. Prints median, minimum and 90th
// percentile in milliseconds. Usage: qm7-report-bench [--runs N] [--bin DIR]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qm7/messenger/records.h"

namespace {

using clock_type = std::chrono::steady_clock;

// Reads one frame (48-byte header with its decimal length, then the rest). False on error.
bool read_frame(int fd) {
  unsigned char head[48];
  size_t got = 0;
  while (got < sizeof(head)) {
    ssize_t n = read(fd, head + got, sizeof(head) - got);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  size_t len = strtoul(std::string(reinterpret_cast<char*>(head), 8).c_str(), nullptr, 10);
  if (len < 48) return false;
  std::vector<unsigned char> rest(len - 48);
  got = 0;
  while (got < rest.size()) {
    ssize_t n = read(fd, rest.data() + got, rest.size() - got);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// The frame qm_jpmd sends for TYP=E TXT=done RET=3 JNR=42 MNR=100.
std::vector<unsigned char> report_frame() {
  qm7::meld::report_fields f;
  f.client = 100;
  f.jobnri = 42;
  f.status = 'E';
  f.info_text = "done";
  f.reti = 3;
  DATUM_BUFF now;
  GetDatumZeit2(nullptr, &now);
  std::vector<unsigned char> frame(48 + 15 + 276, ' ');
  memcpy(frame.data(), "00000339QM7:global001NAT", 24);
  const unsigned char elements[] = {0x01, 0x08, 'J',  'P',  'A',  'K',  'T', 'J',
                                    '_',  'R',  0xFF, 0x14, 0x01, 0x00, 0x00};
  memcpy(frame.data() + 48, elements, sizeof(elements));
  qm7::meld::build_job_event_record({frame.data() + 63, 276}, f, now,
                                    qm7::meld::current_process_ids());
  return frame;
}

int raw_exchange(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  int rc = 1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 && read_frame(fd)) {
    auto frame = report_frame();
    if (write(fd, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size()) &&
        read_frame(fd)) {
      rc = 0;
    }
  }
  close(fd);
  return rc;
}

double run_process(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::vector<std::string> copy = args;
  for (auto& s : copy) argv.push_back(s.data());
  argv.push_back(nullptr);
  const auto start = clock_type::now();
  pid_t pid = fork();
  if (pid == 0) {
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  const double ms = std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
  if (!WIFEXITED(status)) fprintf(stderr, "qm7-report-bench: %s did not exit\n", argv[0]);
  return ms;
}

struct stats {
  double median, min, p90;
};

stats summarize(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return {n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2, v.front(), v[(n * 9) / 10]};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--raw-client") == 0) return raw_exchange(atoi(argv[2]));
  int runs = 50;
  std::string bin;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--runs") == 0) runs = std::max(1, atoi(argv[i + 1]));
    if (strcmp(argv[i], "--bin") == 0) bin = argv[i + 1];
  }
  if (bin.empty()) {
    std::string self = argv[0];
    bin = self.substr(0, self.find_last_of('/') == std::string::npos ? 0 : self.find_last_of('/'));
    if (bin.empty()) bin = ".";
  }
  signal(SIGPIPE, SIG_IGN);

  // The simulator, its first line naming the port.
  int out[2];
  if (pipe(out) != 0) return 1;
  const std::string sim = bin + "/qm7-agent-sim";
  pid_t sim_pid = fork();
  if (sim_pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    execl(sim.c_str(), sim.c_str(), "--port", "0", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  char line[256] = {};
  size_t used = 0;
  while (used < sizeof(line) - 1 && memchr(line, '\n', used) == nullptr) {
    ssize_t n = read(out[0], line + used, sizeof(line) - 1 - used);
    if (n <= 0) break;
    used += static_cast<size_t>(n);
  }
  const char* p = strstr(line, "port=");
  if (p == nullptr) {
    fprintf(stderr, "qm7-report-bench: the simulator did not start\n");
    return 1;
  }
  const int port = atoi(p + 5);
  // Drain the simulator's report lines so its pipe never fills.
  pid_t drain = fork();
  if (drain == 0) {
    char buf[4096];
    while (read(out[0], buf, sizeof(buf)) > 0) {
    }
    _exit(0);
  }
  close(out[0]);

  const std::string port_arg = "PNR=" + std::to_string(port);
  const std::vector<std::string> messenger = {bin + "/qm_jpmd", "TYP=E",  "TXT=done",
                                              "RET=3",          "JNR=42", "MNR=100",
                                              "IPA=127.0.0.1",  port_arg, "TIMEOUT=5"};
  const std::vector<std::string> raw_process = {argv[0], "--raw-client", std::to_string(port)};

  // qm_jpmd -V starts and ends the same program without any network: its process cost alone.
  const std::vector<std::string> version_only = {bin + "/qm_jpmd", "-V"};

  std::vector<double> t_messenger, t_version, t_raw_process, t_raw_inline;
  for (int i = 0; i < runs; ++i) {
    t_messenger.push_back(run_process(messenger));
    t_version.push_back(run_process(version_only));
    t_raw_process.push_back(run_process(raw_process));
    const auto start = clock_type::now();
    if (raw_exchange(port) != 0) fprintf(stderr, "qm7-report-bench: raw exchange failed\n");
    t_raw_inline.push_back(
        std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
  }
  kill(sim_pid, SIGTERM);
  waitpid(sim_pid, nullptr, 0);
  waitpid(drain, nullptr, 0);

  printf("%d runs each, one job-end report against qm7-agent-sim on 127.0.0.1 (ms)\n", runs);
  printf("%-34s %8s %8s %8s\n", "client", "median", "min", "p90");
  const struct {
    const char* name;
    std::vector<double>* t;
  } rows[] = {{"qm_jpmd (process)", &t_messenger},
              {"qm_jpmd -V (process, no network)", &t_version},
              {"raw-socket client (process)", &t_raw_process},
              {"raw-socket client (in process)", &t_raw_inline}};
  for (const auto& r : rows) {
    stats s = summarize(*r.t);
    printf("%-34s %8.3f %8.3f %8.3f\n", r.name, s.median, s.min, s.p90);
  }
  return 0;
}
