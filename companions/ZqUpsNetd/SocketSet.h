// Plain TCP sockets watched outside Asio's reactor: level-triggered, in
// an epoll (Linux) or kqueue set that the io_context watches as one
// descriptor.  A socket is read only when it has bytes, so a request
// costs one receive; Asio's reactor tries a receive as soon as a read
// starts, and again on the edge of bytes it already took, which between
// requests finds nothing about four times in ten.
#ifndef ZQUPSNETD_SOCKETSET_H
#define ZQUPSNETD_SOCKETSET_H

#include <boost/asio/posix/stream_descriptor.hpp>

#include <functional>
#include <string>
#include <vector>

#include "Listen.h"

namespace zqnetd {

class SocketSet {
 public:
  // A socket's owner and what it is ready for.
  using Handler = std::function<void(void* owner, bool input, bool output)>;

  explicit SocketSet(zqloop::asio::io_context& io) : descriptor_(io) {}
  SocketSet(const SocketSet&) = delete;
  SocketSet& operator=(const SocketSet&) = delete;

  // Makes the set; false with `error` when the system has none to give.
  bool open(std::string* error);
  // Tells `handler` of each ready socket until stop().
  void start(Handler handler);
  void stop();

  // Watches `fd` for `owner`: for bytes to read when `input`, for room to
  // send when `output`.  False when the system refuses.
  bool add(int fd, void* owner);  // for input
  bool change(int fd, void* owner, bool input, bool output);
  // Before `fd` closes; its owner hears nothing more.
  void remove(int fd, void* owner);

 private:
  struct Ready {
    void* owner;
    bool input, output;
  };
  void arm();
  void poll();
  // Tells the owners of the sockets ready now; false when none were.
  bool dispatch();
  // Adds the sockets ready now to batch_; false when there were none.
  bool collect();

  zqloop::asio::posix::stream_descriptor descriptor_;
  Handler handler_;
  std::vector<Ready> batch_;
  size_t next_ = 0;  // the batch's entry told next
  bool stopped_ = false;
};

}  // namespace zqnetd

#endif
