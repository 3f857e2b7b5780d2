// Runs a program as a child process and collects what it wrote to
// standard output and standard error and how it ended: to its end, or in
// the background with its output read line by line meanwhile.  Every wait
// has a bound.
#ifndef RUNPROGRAM_H
#define RUNPROGRAM_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace upstest {

// The whole of the file at `path`; empty when it cannot be read.
std::string fileText(const std::string& path);

struct ProgramRun {
  bool started = false;  // false: spawning failed, `error` says why
  std::string error;
  std::string out;
  std::string err;
  bool exited = false;  // a normal exit; otherwise killed by `signal`
  int exitStatus = -1;
  int signal = 0;
  bool timedOut = false;  // killed after its time without ending
};

struct ProgramOptions {
  // The child's standard output is this file opened read-only, so that
  // every write to it fails; empty: a pipe as usual.
  std::string unwritableOut;
  int timeoutSeconds = 60;
  // A process group of its own, as a shell's job gets, so that a signal
  // can reach the program and its children the way a terminal sends it.
  bool ownProcessGroup = false;
};

// `args` is the child's whole argv, its argv[0] included, which need not
// name `path`.  Standard input is /dev/null.
ProgramRun runProgram(const std::string& path, const std::vector<std::string>& args,
                      const ProgramOptions& options = ProgramOptions());

// A program in the background; killed and waited for when the object goes.
class BackgroundProgram {
 public:
  BackgroundProgram() = default;
  ~BackgroundProgram();
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  // False with error() when it could not be started.
  bool start(const std::string& path, const std::vector<std::string>& args,
             const ProgramOptions& options = ProgramOptions());
  const std::string& error() const { return run_.error; }
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // The next line of its standard output, newline included, within
  // `seconds`; false (and what came of the line) at the end of its output
  // or when time runs out.
  bool readLine(std::string* line, int seconds = 60);
  // Sends `sig` (none when 0), then collects its output until it ends,
  // killing it after `seconds`.
  ProgramRun stop(int sig, int seconds = 60);

 private:
  bool pump(int millis, bool untilLine);
  void reap(bool block);

  pid_t pid_ = -1;
  int fds_[2] = {-1, -1};  // its standard output and standard error
  size_t taken_ = 0;       // run_.out handed out by readLine
  ProgramRun run_;
};

// A server in the background, started with its ready lines ("NAME:
// listening on ADDRESS") read; killed and waited for when the object goes.
class ListeningProgram {
 public:
  // Starts it as BackgroundProgram::start does and reads `lines` ready
  // lines, each within 60 s (valgrind is slow); false with why() otherwise.
  bool start(const std::string& path, const std::vector<std::string>& args, int lines = 1);
  const std::string& why() const { return why_; }
  // The last ready line, its newline included.
  const std::string& readyLine() const { return readyLine_; }
  // The host of ready line `i` (an IPv6 address without its brackets) and
  // its port; 0 for an address with no port, such as a socket path.
  const std::string& host(size_t i = 0) const { return addresses_.at(i).first; }
  int port(size_t i = 0) const { return addresses_.at(i).second; }
  bool running() const { return process_.running(); }
  pid_t pid() const { return process_.pid(); }
  ProgramRun stop(int sig, int seconds = 60) { return process_.stop(sig, seconds); }

 private:
  BackgroundProgram process_;
  std::vector<std::pair<std::string, int>> addresses_;
  std::string readyLine_;
  std::string why_;
};

// Waits, a bounded while, until `done` holds; whether it does.
template <typename Done>
bool within(int seconds, Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return done();
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Whether this process runs under valgrind, whose tools preload their
// own library into every program they start.
bool underValgrind();

}  // namespace upstest

#endif
