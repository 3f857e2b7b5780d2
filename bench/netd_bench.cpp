// ZqUpsNetd against a peer server of the same protocol, both serving the
// same UPS variables on loopback, measured in one run:
//   GET VAR ups ups.status   request-reply loops on 100 and on 1000
//                            connections: replies per second, and the
//                            server's CPU time per reply;
//   LIST VAR ups             on 100 connections, request-reply loops and
//                            requests paced at 1000 a second in all (each
//                            connection every 100 ms): the median and 99th
//                            percentile of the latency;
//   memory                   the server's resident and peak resident size
//                            with 1000 connections open.
// Rounds alternate between the two servers and the best round of each
// counts.  run as: netd_bench NAME=HOST:PORT:PID NAME=HOST:PORT:PID, the
// first measured against the second (see netd_run.sh, which pins the
// servers to one processor and this program to another).
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const int kRounds = 3;
const double kRoundSeconds = 3.0;

struct Server {
  std::string name;
  sockaddr_in address{};
  int pid = 0;
};

struct Load {
  const char* title;
  std::string request;
  std::string last;  // the reply's last line starts with this
  int connections;
  // 0: each connection sends its next request as its reply comes; else
  // one request every gap, over the connections in turn.
  std::chrono::microseconds gap{0};
};

struct Round {
  double repliesPerSecond = 0, cpuMicrosPerReply = 0, medianMs = 0, p99Ms = 0, ownCpu = 0;
  long rssKiB = 0, peakKiB = 0;
  int replyLines = 0;
  bool ok = false;
};

[[noreturn]] void die(const std::string& why) {
  std::fprintf(stderr, "netd_bench: %s\n", why.c_str());
  std::exit(1);
}

bool parseServer(const char* arg, Server* s) {
  const char* eq = std::strchr(arg, '=');
  if (!eq) return false;
  s->name.assign(arg, eq);
  std::string host, rest = eq + 1;
  const size_t a = rest.find(':'), b = rest.rfind(':');
  if (a == std::string::npos || a == b) return false;
  host = rest.substr(0, a);
  s->address.sin_family = AF_INET;
  s->address.sin_port = htons(uint16_t(std::atoi(rest.substr(a + 1, b - a - 1).c_str())));
  s->pid = std::atoi(rest.c_str() + b + 1);
  return inet_pton(AF_INET, host.c_str(), &s->address.sin_addr) == 1 && s->pid > 0;
}

// From /proc/PID/status, in KiB.
long statusKiB(int pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return -1;
}

double ownCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// User and system time of every thread of PID, in clock ticks.
long cpuTicks(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = all.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(all.substr(close + 2));
  std::string skip;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 13; ++i) fields >> skip;
  fields >> utime >> stime;
  return utime + stime;
}

struct Connection {
  int fd = -1;
  std::string pending;
  int lines = 0;
  bool waiting = false;
  Clock::time_point sent;
};

bool writeAll(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    const ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// Consumes complete lines; true once the reply's last line has come (its
// line count in *lines).  An ERR line ends a reply too, and fails it.
bool takeReply(Connection& c, const Load& load, bool* failed, int* lines) {
  size_t start = 0, nl;
  while ((nl = c.pending.find('\n', start)) != std::string::npos) {
    const size_t at = start;
    start = nl + 1;
    ++c.lines;
    if (c.pending.compare(at, 4, "ERR ") == 0 ||
        c.pending.compare(at, load.last.size(), load.last) == 0) {
      *failed = c.pending.compare(at, 4, "ERR ") == 0;
      *lines = c.lines;
      c.lines = 0;
      c.pending.erase(0, start);
      return true;
    }
  }
  c.pending.erase(0, start);
  return false;
}

// One blocking request-reply: every connection is known to be served
// before the clock starts.
bool warmUp(Connection& c, const Load& load) {
  if (!writeAll(c.fd, load.request)) return false;
  char buffer[4096];
  bool failed = false;
  int lines = 0;
  for (;;) {
    const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    c.pending.append(buffer, size_t(n));
    if (takeReply(c, load, &failed, &lines)) return !failed;
  }
}

void closeAll(std::vector<Connection>& conns) {
  for (Connection& c : conns)
    if (c.fd >= 0) ::close(c.fd);
  conns.clear();
}

Round runRound(const Server& server, const Load& load) {
  Round r;
  std::vector<Connection> conns(size_t(load.connections));
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  for (size_t i = 0; i < conns.size(); ++i) {
    Connection& c = conns[i];
    c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval limit{5, 0};
    ::setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (::connect(c.fd, reinterpret_cast<const sockaddr*>(&server.address),
                  sizeof server.address) != 0 ||
        !warmUp(c, load)) {
      std::fprintf(stderr, "netd_bench: %s: connection %zu of %d not served: %s\n",
                   server.name.c_str(), i + 1, load.connections,
                   c.pending.empty() ? std::strerror(errno) : c.pending.c_str());
      closeAll(conns);
      ::close(ep);
      return r;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = i;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
  }
  r.rssKiB = statusKiB(server.pid, "VmRSS:");
  r.peakKiB = statusKiB(server.pid, "VmHWM:");

  std::vector<double> latencies;
  latencies.reserve(1 << 20);
  long replies = 0, failures = 0, late = 0;
  const long ticksBefore = cpuTicks(server.pid);
  const double ownBefore = ownCpuSeconds();
  const bool paced = load.gap.count() > 0;
  const Clock::time_point start = Clock::now(),
                          end = start + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(kRoundSeconds));
  Clock::time_point due = start;
  size_t next = 0;
  auto sendOn = [&](Connection& c, Clock::time_point at) {
    c.sent = at;
    c.waiting = true;
    if (!writeAll(c.fd, load.request)) ++failures;
  };
  if (!paced)
    for (Connection& c : conns) sendOn(c, start);
  std::vector<epoll_event> events(1024);
  char buffer[16384];
  Clock::time_point now = start;
  while (now < end && failures == 0) {
    for (; paced && due <= now; due += load.gap, next = (next + 1) % conns.size()) {
      // A connection still waiting for its last reply skips its turn.
      if (conns[next].waiting)
        ++late;
      else
        sendOn(conns[next], now);
    }
    const Clock::time_point until = paced ? std::min(due, end) : end;
    const int wait = int(std::chrono::duration_cast<std::chrono::microseconds>(until - now).count() +
                         999) / 1000;
    const int n = ::epoll_wait(ep, events.data(), int(events.size()), wait);
    now = Clock::now();
    for (int e = 0; e < n; ++e) {
      Connection& c = conns[events[e].data.u64];
      const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        ++failures;
        continue;
      }
      if (got < 0) continue;
      c.pending.append(buffer, size_t(got));
      bool failed = false;
      int lines = 0;
      if (!takeReply(c, load, &failed, &lines)) continue;
      if (failed) {
        ++failures;
        continue;
      }
      ++replies;
      r.replyLines = lines;
      c.waiting = false;
      latencies.push_back(std::chrono::duration<double, std::milli>(now - c.sent).count());
      if (!paced && now < end) sendOn(c, now);
    }
  }
  const double seconds = std::chrono::duration<double>(now - start).count();
  const long ticks = cpuTicks(server.pid) - ticksBefore;
  r.ownCpu = (ownCpuSeconds() - ownBefore) / seconds;
  closeAll(conns);
  ::close(ep);
  if (failures > 0 || replies == 0 || late > replies / 100) {
    std::fprintf(stderr, "netd_bench: %s: %ld failed replies, %ld turns skipped in %s\n",
                 server.name.c_str(), failures, late, load.title);
    return r;
  }
  r.repliesPerSecond = double(replies) / seconds;
  r.cpuMicrosPerReply = 1e6 * double(ticks) / double(::sysconf(_SC_CLK_TCK)) / double(replies);
  std::sort(latencies.begin(), latencies.end());
  r.medianMs = latencies[latencies.size() / 2];
  r.p99Ms = latencies[latencies.size() * 99 / 100];
  r.ok = true;
  return r;
}

void raiseDescriptorLimit(int needed) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < rlim_t(needed)) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, rlim_t(needed));
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  ::getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < rlim_t(needed))
    die("needs " + std::to_string(needed) + " descriptors; the hard limit is " +
        std::to_string(limit.rlim_max));
}

}  // namespace

int main(int argc, char** argv) {
  Server servers[2];
  if (argc != 3 || !parseServer(argv[1], &servers[0]) || !parseServer(argv[2], &servers[1])) {
    std::fprintf(stderr, "usage: netd_bench NAME=HOST:PORT:PID NAME=HOST:PORT:PID\n");
    return 2;
  }
  raiseDescriptorLimit(1100);
  const Load loads[] = {
      {"GET VAR, 100 connections", "GET VAR ups ups.status\n", "VAR ups ups.status ", 100},
      {"LIST VAR, 100 connections", "LIST VAR ups\n", "END LIST VAR ups", 100},
      {"LIST VAR, 100 connections, 1000/s", "LIST VAR ups\n", "END LIST VAR ups", 100,
       std::chrono::microseconds(1000)},
      {"GET VAR, 1000 connections", "GET VAR ups ups.status\n", "VAR ups ups.status ", 1000},
  };
  const char* a = servers[0].name.c_str();
  const char* b = servers[1].name.c_str();
  int missed = 0;
  for (const Load& load : loads) {
    Round best[2];
    for (int round = 0; round < kRounds; ++round)
      for (int s = 0; s < 2; ++s) {
        const Round r = runRound(servers[s], load);
        if (!r.ok) die(std::string(load.title) + " failed on " + servers[s].name);
        const bool better = load.gap.count() > 0 ? !best[s].ok || r.medianMs < best[s].medianMs
                                                 : r.repliesPerSecond > best[s].repliesPerSecond;
        if (better) best[s] = r;
      }
    std::printf("%s\n", load.title);
    for (int s = 0; s < 2; ++s)
      std::printf("  %-10s %9.0f replies/s  %6.1f us CPU/reply  median %.3f ms  p99 %.3f ms"
                  "  (%d lines/reply; generator %.0f %% busy)\n",
                  servers[s].name.c_str(), best[s].repliesPerSecond, best[s].cpuMicrosPerReply,
                  best[s].medianMs, best[s].p99Ms, best[s].replyLines, 100 * best[s].ownCpu);
    const double ratio = best[0].repliesPerSecond / best[1].repliesPerSecond;
    if (load.request.rfind("GET", 0) == 0) {
      const bool met = ratio >= 1.2;
      missed += !met;
      std::printf("  ratio %s/%s %.2f (target >= 1.20: %s)\n", a, b, ratio, met ? "met" : "MISSED");
      // The generator spends about what a server does on each exchange, so
      // on a busy machine the replies per second are partly its own; the
      // server's CPU time per reply is not.
      std::printf("  replies per CPU second %s/%s %.2f\n", a, b,
                  best[1].cpuMicrosPerReply / best[0].cpuMicrosPerReply);
    } else if (load.gap.count() == 0) {
      // With 100 requests always outstanding, the median is about 100
      // over the replies per second, whatever the server.
      std::printf("  ratio %s/%s %.2f\n", a, b, ratio);
    } else {
      const bool met = best[0].medianMs < 1.0;
      missed += !met;
      std::printf("  %s median %.3f ms (target < 1 ms: %s)\n", a, best[0].medianMs,
                  met ? "met" : "MISSED");
    }
    if (load.connections == 1000) {
      for (int s = 0; s < 2; ++s)
        std::printf("  %-10s resident %ld KiB, peak %ld KiB with 1000 connections\n",
                    servers[s].name.c_str(), best[s].rssKiB, best[s].peakKiB);
      const double memory = double(best[0].peakKiB) / double(best[1].peakKiB);
      const bool met = memory <= 2.0;
      missed += !met;
      std::printf("  peak memory %s/%s %.2f (target <= 2.00: %s)\n", a, b, memory,
                  met ? "met" : "MISSED");
    }
    std::fflush(stdout);
  }
  return missed == 0 ? 0 : 3;
}
