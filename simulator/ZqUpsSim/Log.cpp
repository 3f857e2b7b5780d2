#include "Log.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <unistd.h>

namespace zqsim {
namespace {

// A write of up to PIPE_BUF bytes to a pipe is all or nothing, and poll()
// says a pipe is writable only when that much fits.
constexpr size_t kLongestWrite = PIPE_BUF;

bool writableNow(int fd) {
  pollfd p{fd, POLLOUT, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0;
}

}  // namespace

LineLog::~LineLog() {
  if (!line_.empty()) writeLine();
}

LineLog::int_type LineLog::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  line_.push_back(traits_type::to_char_type(c));
  if (line_.back() == '\n' || line_.size() >= kLongestWrite / 2) writeLine();
  return c;
}

int LineLog::sync() { return 0; }  // lines go out whole, as they end

void LineLog::writeLine() {
  std::string text;
  if (dropped_ != 0)
    text = "ZqUpsSim: " + std::to_string(dropped_) + " log line(s) dropped: output blocked\n";
  text += line_;
  line_.clear();
  if (text.size() > kLongestWrite) text.resize(kLongestWrite);
  if (!writableNow(fd_)) {
    ++dropped_;
    return;
  }
  const ssize_t n = ::write(fd_, text.data(), text.size());
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
    ++dropped_;
  else
    dropped_ = 0;
}

}  // namespace zqsim
