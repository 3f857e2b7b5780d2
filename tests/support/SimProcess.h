// The built simulator in the background for one test; its standard error
// is the test's.  Killed when the object goes.
#ifndef SIMPROCESS_H
#define SIMPROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace upstest {

class SimProcess {
 public:
  explicit SimProcess(std::string program) : program_(std::move(program)) {}
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Starts it with `args` and reads its ready line, for at most 60 s
  // (valgrind is slow).
  bool start(std::vector<std::string> args);
  const std::string& readyLine() const { return ready_; }
  // Sends `sig` and waits; the exit status, or -1 when it did not exit normally.
  int stop(int sig = 15);
  bool running() const { return pid_ > 0; }
  // The soft descriptor limit the program starts with; 0: this process's.
  void setDescriptorLimit(unsigned limit) { descriptorLimit_ = limit; }

 private:
  std::string program_;
  pid_t pid_ = -1;
  int out_ = -1;
  std::string ready_;
  unsigned descriptorLimit_ = 0;
};

}  // namespace upstest

#endif
