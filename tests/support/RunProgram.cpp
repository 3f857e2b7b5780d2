#include "RunProgram.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

extern char** environ;

namespace upstest {

namespace {

// Both ends close-on-exec, so that children spawned meanwhile by other
// threads do not hold them open.
struct Pipe {
  int fds[2] = {-1, -1};
  bool open() {
    if (::pipe(fds) != 0) return false;
    for (int fd : fds) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return true;
  }
  void close(int end) {
    if (fds[end] >= 0) ::close(fds[end]);
    fds[end] = -1;
  }
  ~Pipe() {
    close(0);
    close(1);
  }
};

struct SpawnActions {
  posix_spawn_file_actions_t actions;
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
};

// Reads both pipes until both close, or kills the child at the deadline.
void collect(int outFd, int errFd, pid_t pid, int timeoutSeconds, ProgramRun& run) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  int open = (outFd >= 0) + (errFd >= 0);
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      run.timedOut = true;
      return;
    }
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[65536];
      const ssize_t got = ::read(fds[i].fd, chunk, sizeof chunk);
      if (got > 0) {
        sinks[i]->append(chunk, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

void awaitExit(pid_t pid, ProgramRun& run) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return;
  run.exited = WIFEXITED(status);
  if (run.exited) run.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
}

}  // namespace

ProgramRun runProgram(const std::string& path, const std::vector<std::string>& args,
                      const ProgramOptions& options) {
  ProgramRun run;
  Pipe out, err;
  if (!out.open() || !err.open()) {
    run.error = std::string("pipe: ") + std::strerror(errno);
    return run;
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

  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, path.c_str(), &spawn.actions, nullptr, argv.data(), environ);
  if (rc != 0) {
    run.error = "posix_spawn " + path + ": " + std::strerror(rc);
    return run;
  }
  run.started = true;
  out.close(1);
  err.close(1);
  if (!options.unwritableOut.empty()) out.close(0);
  collect(out.fds[0], err.fds[0], pid, options.timeoutSeconds, run);
  awaitExit(pid, run);
  return run;
}

}  // namespace upstest
