// The built simulator in the background for one test, started with its
// ready line read; killed when the object goes.
#ifndef SIMPROCESS_H
#define SIMPROCESS_H

#include <memory>
#include <string>
#include <vector>

#include "RunProgram.h"

namespace upstest {

class SimProcess {
 public:
  explicit SimProcess(std::string program) : program_(std::move(program)) {}

  // Starts it with `args` and reads its ready line, for at most 60 s
  // (valgrind is slow); false with why() otherwise.
  bool start(const std::vector<std::string>& args);
  const std::string& why() const { return why_; }
  const std::string& readyLine() const { return process_->readyLine(); }
  // Sends `sig` and waits; the exit status, or -1 when it did not exit normally.
  int stop(int sig = 15);
  bool running() const { return process_ && process_->running(); }
  // Its process id while it runs; -1 otherwise.
  pid_t pid() const { return process_ ? process_->pid() : -1; }
  // The soft descriptor limit the program starts with; 0: this process's.
  void setDescriptorLimit(unsigned limit) { descriptorLimit_ = limit; }

 private:
  std::string program_;
  std::unique_ptr<ListeningProgram> process_;
  std::string why_;
  unsigned descriptorLimit_ = 0;
};

}  // namespace upstest

#endif
