#include "SimProcess.h"

namespace upstest {

bool SimProcess::start(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"ZqUpsSim"};
  std::string path = program_;
  if (descriptorLimit_ != 0) {
    // The shell lowers the limit and becomes the simulator.
    argv = {"sh", "-c", "ulimit -n " + std::to_string(descriptorLimit_) + " && exec \"$0\" \"$@\"",
            program_};
    path = "/bin/sh";
  }
  argv.insert(argv.end(), args.begin(), args.end());
  why_.clear();
  process_.reset(new ListeningProgram);
  if (process_->start(path, argv)) return true;
  why_ = process_->why();
  return false;
}

int SimProcess::stop(int sig) {
  if (!process_) return -1;
  const ProgramRun run = process_->stop(sig);
  process_.reset();
  return run.exited ? run.exitStatus : -1;
}

}  // namespace upstest
