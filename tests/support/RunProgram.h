// Runs a program as a child process and collects what it wrote to
// standard output and standard error and how it ended: to its end, or in
// the background with its output read line by line meanwhile.  Every wait
// has a bound.
#ifndef RUNPROGRAM_H
#define RUNPROGRAM_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace upstest {

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

}  // namespace upstest

#endif
