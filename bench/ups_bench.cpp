// Exchanges per second of the library, the simulator and the tool, each
// against a baseline measured in the same run:
//   library  the tool's eighteen UPSRead calls per report, against a bare
//            client making the same exchanges with plain system calls;
//   sim      ZqUpsSim against a minimal service, both serving the bare client;
//   tool     ZqUpsTest -s (10000 reports) against the bare client making the
//            same 180000 exchanges.
// Rounds alternate between the two sides and the best round of each counts.
// Run it pinned (taskset -c 0 ups_bench) and unpinned: children inherit it.
#include "ZqUpsApi.h"
#include "ZqUpsWire.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

namespace {

using zqwire::kAccessHeaderSize;
using zqwire::kEnvelopeHeaderSize;
using zqwire::kSocketPath;

const char kLockPath[] = "/tmp/UPS0.test-lock";
const int kRounds = 5;
const int kReportsPerRound = 2000;
const int kToolReports = 10000;

struct Row {
  uint32_t offset, length;
};
const Row kReport[18] = {{1, 512},  {2, 512},  {21, 512}, {22, 512}, {54, 512}, {3, 512},
                         {4, 512},  {7, 512},  {17, 512}, {6, 4},    {53, 4},   {49, 4},
                         {25, 4},   {26, 4},   {27, 4},   {31, 4},   {55, 4},   {50, 4}};

sockaddr_un address() {
  sockaddr_un a;
  zqwire::unixAddress(kSocketPath, &a);
  return a;
}

bool readExact(int fd, void* p, size_t n) {
  auto* c = static_cast<uint8_t*>(p);
  while (n > 0) {
    ssize_t got = ::read(fd, c, n);
    if (got <= 0) return false;
    c += got;
    n -= size_t(got);
  }
  return true;
}

bool writeAll(int fd, const void* p, size_t n) {
  auto* c = static_cast<const uint8_t*>(p);
  while (n > 0) {
    ssize_t put = zqwire::sendNoSignal(fd, c, n);
    if (put <= 0) return false;
    c += put;
    n -= size_t(put);
  }
  return true;
}

// The minimal service: one connection at a time, status 0 and as many
// zero data bytes as the response template asks for.
[[noreturn]] void serveForever() {
  int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a = address();
  ::unlink(kSocketPath);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) || ::listen(listener, 128)) {
    std::perror("minimal service");
    std::_Exit(1);
  }
  static uint8_t envelope[1 << 16], reply[4 + kAccessHeaderSize + 4096];
  for (;;) {
    int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    uint32_t head[3];
    if (readExact(fd, head, kEnvelopeHeaderSize) && head[0] >= kEnvelopeHeaderSize &&
        head[0] <= sizeof envelope && readExact(fd, envelope, head[0] - kEnvelopeHeaderSize)) {
      uint32_t tmpl[4] = {};
      const uint32_t out = head[2] - kEnvelopeHeaderSize;
      if (out + kAccessHeaderSize <= head[0] - kEnvelopeHeaderSize)
        std::memcpy(tmpl, envelope + out, kAccessHeaderSize);
      const uint32_t length = tmpl[3] <= 4096 ? tmpl[3] : 0;
      const uint32_t header[5] = {kAccessHeaderSize + length, tmpl[0], tmpl[1], 0, length};
      std::memcpy(reply, header, sizeof header);
      std::memset(reply + sizeof header, 0, length);
      writeAll(fd, reply, sizeof header + length);
    }
    ::close(fd);
  }
}

// One exchange the way a careful client does it with bare system calls.
bool bareExchange(uint32_t offset, uint32_t length) {
  static uint8_t envelope[kEnvelopeHeaderSize + kAccessHeaderSize + 512],
      reply[kAccessHeaderSize + 512];
  const uint32_t total = kEnvelopeHeaderSize + kAccessHeaderSize + length;
  const uint32_t words[7] = {total, kEnvelopeHeaderSize, kEnvelopeHeaderSize, 0x2000, offset,
                             0xFFFFFFFF, length};
  std::memcpy(envelope, words, sizeof words);
  std::memset(envelope + sizeof words, 0, length);
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a = address();
  uint32_t replyLength = 0;
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            writeAll(fd, envelope, total) && readExact(fd, &replyLength, 4) &&
            replyLength <= sizeof reply;
  // The reply is read in chunks of at most 512 bytes, as the protocol's
  // clients do.
  for (uint32_t done = 0; ok && done < replyLength;) {
    const uint32_t chunk = replyLength - done < 512 ? replyLength - done : 512;
    ok = readExact(fd, reply + done, chunk);
    done += chunk;
  }
  ::close(fd);
  return ok;
}

bool bareReport() {
  for (const Row& row : kReport)
    if (!bareExchange(row.offset, row.length)) return false;
  return true;
}

bool libraryReport() {
  static uint8_t buffer[512];
  uint32_t count;
  for (const Row& row : kReport)
    if (UPSRead(0x2000, row.offset, row.length, buffer, &count) != UPS_OK) return false;
  return true;
}

bool waitForService() {
  for (int i = 0; i < 1000; ++i) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a = address();
    bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    if (up) return true;
    ::usleep(10000);
  }
  return false;
}

pid_t spawn(const std::function<void()>& child, bool quiet) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (quiet) {
      int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
    }
    child();
    std::_Exit(127);
  }
  return pid;
}

void stop(pid_t pid) {
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  ::unlink(kSocketPath);
}

pid_t startService(const char* simulator) {
  pid_t pid = spawn(
      [simulator] {
        if (simulator == nullptr) serveForever();
        ::execl(simulator, simulator, static_cast<char*>(nullptr));
      },
      true);
  if (!waitForService()) {
    std::fprintf(stderr, "ups_bench: the service did not come up\n");
    std::exit(1);
  }
  return pid;
}

double secondsOf(const std::function<bool()>& work) {
  const auto start = std::chrono::steady_clock::now();
  if (!work()) {
    std::fprintf(stderr, "ups_bench: an exchange failed\n");
    std::exit(1);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool reports(bool (*report)(), int n) {
  for (int i = 0; i < n; ++i)
    if (!report()) return false;
  return true;
}

// Best of kRounds alternating rounds; returns measured/baseline in time.
void compare(const char* title, const char* measuredName, const std::function<bool()>& measured,
             const char* baselineName, const std::function<bool()>& baseline, double exchanges,
             const std::function<void(bool)>& between = nullptr) {
  double best[2] = {1e9, 1e9};
  for (int round = 0; round < kRounds; ++round) {
    for (int side = 0; side < 2; ++side) {
      if (between) between(side == 0);
      const double t = secondsOf(side == 0 ? measured : baseline);
      if (t < best[side]) best[side] = t;
    }
  }
  std::printf("%-8s %-22s %9.0f exchanges/s\n", title, measuredName, exchanges / best[0]);
  std::printf("%-8s %-22s %9.0f exchanges/s\n", "", baselineName, exchanges / best[1]);
  std::printf("%-8s ratio %.3f (time, %s / %s; 1.00 = as fast)\n\n", "", best[0] / best[1],
              measuredName, baselineName);
}

}  // namespace

bool serviceListens() {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a = address();
  const bool live = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return live;
}

// ups_bench [ZqUpsSim [ZqUpsTest]]
// ups_bench --sim-only ZqUpsSim   only the simulator's pair
// ups_bench --minimal-service     only serves, for profiling against it
int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--minimal-service") == 0) serveForever();
  const bool simOnly = argc > 2 && std::strcmp(argv[1], "--sim-only") == 0;
  if (simOnly) {
    --argc;
    ++argv;
  }
  const char* simulator = argc > 1 && argv[1][0] != '\0' ? argv[1] : nullptr;
  const char* tool = argc > 2 && argv[2][0] != '\0' ? argv[2] : nullptr;
  // The tests' lock on the shared path: a test run and the benchmark take turns.
  // flock needs only read access; an existing file is opened without
  // O_CREAT, which protected_regular refuses on other users' files in /tmp.
  int lock = ::open(kLockPath, O_RDONLY);
  if (lock < 0 && errno == ENOENT && (lock = ::open(kLockPath, O_RDONLY | O_CREAT, 0666)) >= 0)
    ::fchmod(lock, 0666);
  if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
    std::perror("ups_bench: /tmp/UPS0.test-lock");
    return 1;
  }
  if (serviceListens()) {
    std::fprintf(stderr, "ups_bench: a service listens on %s; stop it first\n", kSocketPath);
    return 1;
  }
  const double perRound = 18.0 * kReportsPerRound;

  pid_t service = startService(nullptr);
  if (!simOnly)
    compare("library", "libZqUps UPSRead", [] { return reports(libraryReport, kReportsPerRound); },
          "bare client", [] { return reports(bareReport, kReportsPerRound); }, perRound);

  if (tool != nullptr && !simOnly) {
    compare(
        "tool", "ZqUpsTest -s",
        [tool] {
          pid_t pid = spawn([tool] { ::execl(tool, tool, "-s", static_cast<char*>(nullptr)); }, true);
          int status = 0;
          ::waitpid(pid, &status, 0);
          return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        },
        "bare client", [] { return reports(bareReport, kToolReports); }, 18.0 * kToolReports);
  }
  stop(service);

  if (simulator != nullptr) {
    pid_t current = 0;
    compare("sim", "ZqUpsSim", [] { return reports(bareReport, kReportsPerRound); },
            "minimal service", [] { return reports(bareReport, kReportsPerRound); }, perRound,
            [simulator, &current](bool simulatorSide) {
              if (current != 0) stop(current);
              current = startService(simulatorSide ? simulator : nullptr);
            });
    if (current != 0) stop(current);
  }
  return 0;
}
