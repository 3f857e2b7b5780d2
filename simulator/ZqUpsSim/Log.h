// Log lines to a descriptor (standard error) that never block the
// server: a line that cannot be written at once is dropped and counted,
// and the count goes out with the next line that can be written.
#ifndef ZQUPSSIM_LOG_H
#define ZQUPSSIM_LOG_H

#include <streambuf>
#include <string>

namespace zqsim {

class LineLog : public std::streambuf {
 public:
  explicit LineLog(int fd) : fd_(fd) {}
  ~LineLog() override;
  LineLog(const LineLog&) = delete;
  LineLog& operator=(const LineLog&) = delete;
  unsigned long dropped() const { return dropped_; }

 protected:
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  void writeLine();

  int fd_;
  std::string line_;
  unsigned long dropped_ = 0;
};

}  // namespace zqsim

#endif
