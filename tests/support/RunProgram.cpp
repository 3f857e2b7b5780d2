#include "RunProgram.h"

#include <fstream>
#include <sstream>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace upstest {

std::string fileText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

namespace {

using Clock = std::chrono::steady_clock;

// How often a quiet child is checked for having ended, in case a process
// it started still holds its output open.
constexpr long kQuietMillis = 100;

// Both ends close-on-exec, so that children spawned meanwhile by other
// threads do not hold them open.
struct Pipe {
  int fds[2] = {-1, -1};
  bool open() {
    if (::pipe(fds) != 0) return false;
    for (int fd : fds) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return true;
  }
  int release(int end) {
    const int fd = fds[end];
    fds[end] = -1;
    return fd;
  }
  ~Pipe() {
    for (int fd : fds)
      if (fd >= 0) ::close(fd);
  }
};

struct SpawnActions {
  posix_spawn_file_actions_t actions;
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
};

void closeFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

}  // namespace

ProgramRun runProgram(const std::string& path, const std::vector<std::string>& args,
                      const ProgramOptions& options) {
  BackgroundProgram program;
  program.start(path, args, options);
  return program.stop(0, options.timeoutSeconds);
}

BackgroundProgram::~BackgroundProgram() {
  if (pid_ > 0) ::kill(pid_, SIGKILL);
  reap(true);
  for (int& fd : fds_) closeFd(&fd);
}

bool BackgroundProgram::start(const std::string& path, const std::vector<std::string>& args,
                              const ProgramOptions& options) {
  run_ = ProgramRun();
  Pipe out, err;
  if (!out.open() || !err.open()) {
    run_.error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  SpawnActions spawn;
  posix_spawn_file_actions_addopen(&spawn.actions, 0, "/dev/null", O_RDONLY, 0);
  if (options.unwritableOut.empty())
    posix_spawn_file_actions_adddup2(&spawn.actions, out.fds[1], 1);
  else
    posix_spawn_file_actions_addopen(&spawn.actions, 1, options.unwritableOut.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&spawn.actions, err.fds[1], 2);

  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (options.ownProcessGroup) {
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  const int rc =
      ::posix_spawn(&pid_, path.c_str(), &spawn.actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    pid_ = -1;
    run_.error = "posix_spawn " + path + ": " + std::strerror(rc);
    return false;
  }
  run_.started = true;
  taken_ = 0;
  fds_[0] = options.unwritableOut.empty() ? out.release(0) : -1;
  fds_[1] = err.release(0);
  return true;
}

bool BackgroundProgram::readLine(std::string* line, int seconds) {
  const bool found = pump(seconds * 1000, true) && run_.out.find('\n', taken_) != std::string::npos;
  const size_t end = found ? run_.out.find('\n', taken_) + 1 : run_.out.size();
  *line = run_.out.substr(taken_, end - taken_);
  taken_ = end;
  return found;
}

ProgramRun BackgroundProgram::stop(int sig, int seconds) {
  // Sent again each second: ThreadSanitizer's runtime holds a signal back
  // until the program's next intercepted call, and now and then loses
  // one that came just before a wait.
  bool ended = false;
  for (int second = 0; second < seconds && !ended; ++second) {
    if (pid_ > 0 && sig != 0) ::kill(pid_, sig);
    ended = pump(1000, false);
  }
  if (!ended && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    run_.timedOut = true;
  }
  for (int& fd : fds_) closeFd(&fd);
  reap(true);
  return run_;
}

// Reads its output until the deadline or until there is a line to hand
// out (untilLine) or the output has ended and so has the child (otherwise).
bool BackgroundProgram::pump(int millis, bool untilLine) {
  std::string* sinks[2] = {&run_.out, &run_.err};
  const auto deadline = Clock::now() + std::chrono::milliseconds(millis);
  for (;;) {
    if (untilLine && run_.out.find('\n', taken_) != std::string::npos) return true;
    const bool outputOpen = fds_[0] >= 0 || fds_[1] >= 0;
    if (!outputOpen && (untilLine || pid_ <= 0)) return true;
    const long left = long(std::chrono::duration_cast<std::chrono::milliseconds>(
                               deadline - Clock::now()).count());
    if (left <= 0) return false;
    pollfd fds[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
    const int ready = ::poll(fds, 2, int(std::min(left, kQuietMillis)));
    if (ready < 0 && errno != EINTR) return false;
    if (ready == 0) {
      reap(false);
      if (pid_ <= 0 && !untilLine)
        for (int& fd : fds_) closeFd(&fd);
      continue;
    }
    for (int i = 0; i < 2 && ready > 0; ++i) {
      if (fds_[i] < 0 || fds[i].revents == 0) continue;
      char chunk[65536];
      const ssize_t got = ::read(fds_[i], chunk, sizeof chunk);
      if (got > 0)
        sinks[i]->append(chunk, size_t(got));
      else if (got == 0 || errno != EINTR)
        closeFd(&fds_[i]);
    }
  }
}

void BackgroundProgram::reap(bool block) {
  if (pid_ <= 0) return;
  int status = 0;
  pid_t got;
  while ((got = ::waitpid(pid_, &status, block ? 0 : WNOHANG)) < 0 && errno == EINTR) {
  }
  if (got == 0) return;
  pid_ = -1;
  if (got < 0) return;
  run_.exited = WIFEXITED(status);
  if (run_.exited) run_.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run_.signal = WTERMSIG(status);
}

bool ListeningProgram::start(const std::string& path, const std::vector<std::string>& args,
                             int lines) {
  const std::string mark = ": listening on ";
  addresses_.clear();
  readyLine_.clear();
  why_.clear();
  if (!process_.start(path, args)) {
    why_ = process_.error();
    return false;
  }
  std::string line;
  while (int(addresses_.size()) < lines && process_.readLine(&line) &&
         line.find(mark) != line.npos) {
    readyLine_ = line;
    std::string address = line.substr(line.find(mark) + mark.size());
    address.pop_back();  // the newline
    const size_t colon = address.rfind(':');
    const int port = colon == address.npos ? 0 : std::atoi(address.c_str() + colon + 1);
    if (colon != address.npos) address.erase(colon);
    if (address.size() > 1 && address.front() == '[')
      address = address.substr(1, address.size() - 2);
    addresses_.push_back({address, port});
  }
  if (int(addresses_.size()) == lines) return true;
  const ProgramRun run = process_.stop(SIGKILL, 5);
  why_ = args.at(0) + " gave no ready line; it wrote '" + run.out + "' and '" + run.err + "'";
  return false;
}

bool underValgrind() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "vgpreload") != nullptr;
}

}  // namespace upstest
