// Runs a program as a child process and collects what it wrote to
// standard output and standard error and how it ended.
#ifndef RUNPROGRAM_H
#define RUNPROGRAM_H

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
  bool timedOut = false;  // killed after `timeoutSeconds` without ending
};

struct ProgramOptions {
  // The child's standard output is this file opened read-only, so that
  // every write to it fails; empty: a pipe as usual.
  std::string unwritableOut;
  int timeoutSeconds = 60;
};

// `args` is the child's whole argv, its argv[0] included, which need not
// name `path`.  Standard input is /dev/null.
ProgramRun runProgram(const std::string& path, const std::vector<std::string>& args,
                      const ProgramOptions& options = ProgramOptions());

}  // namespace upstest

#endif
