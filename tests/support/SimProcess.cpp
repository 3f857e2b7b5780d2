#include "SimProcess.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace upstest {

SimProcess::~SimProcess() {
  if (pid_ > 0) stop(SIGKILL);
  if (out_ >= 0) ::close(out_);
}

bool SimProcess::start(std::vector<std::string> args) {
  int fds[2];
  if (::pipe(fds) != 0) return false;
  args.insert(args.begin(), "ZqUpsSim");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  ready_.clear();
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(fds[1], 1);
    ::close(fds[0]);
    ::close(fds[1]);
    rlimit limit;
    if (descriptorLimit_ != 0 && ::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
      limit.rlim_cur = descriptorLimit_;
      ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    ::execv(program_.c_str(), argv.data());
    _exit(127);
  }
  ::close(fds[1]);
  if (out_ >= 0) ::close(out_);
  out_ = fds[0];
  char c = 0;
  pollfd p{out_, POLLIN, 0};
  while (pid_ > 0 && c != '\n' && ::poll(&p, 1, 60000) == 1 && ::read(out_, &c, 1) == 1)
    ready_.push_back(c);
  return c == '\n';
}

int SimProcess::stop(int sig) {
  int status = 0;
  ::kill(pid_, sig);
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace upstest
