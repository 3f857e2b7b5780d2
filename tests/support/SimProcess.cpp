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
  process_.reset(new BackgroundProgram);
  ready_.clear();
  why_.clear();
  if (!process_->start(path, argv)) {
    why_ = process_->error();
  } else if (!process_->readLine(&ready_)) {
    const ProgramRun run = process_->stop(9, 0);
    why_ = "ZqUpsSim gave no ready line; it wrote '" + run.out + "' and '" + run.err + "'";
  }
  return why_.empty();
}

int SimProcess::stop(int sig) {
  if (!process_) return -1;
  const ProgramRun run = process_->stop(sig);
  process_.reset();
  return run.exited ? run.exitStatus : -1;
}

}  // namespace upstest
