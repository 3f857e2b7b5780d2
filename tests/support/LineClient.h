// A client of a TCP server on the loopback: a connection that sends text
// and reads lines or everything to the end.  Every wait has a bound.
#ifndef LINECLIENT_H
#define LINECLIENT_H

#include <chrono>
#include <string>

namespace upstest {

// A connection to `host`, an IPv4 or IPv6 address, at `port`; -1 when
// there is none.  `receiveBuffer`, when not 0, is its SO_RCVBUF.
int connectTcp(const std::string& host, int port, int receiveBuffer = 0);

// Reads until the peer closes, at most `millis` in all; *ended tells
// whether it closed.
std::string readToEnd(int fd, int millis, bool* ended);

class LineClient {
 public:
  LineClient(const std::string& host, int port, int receiveBuffer = 0);
  ~LineClient();
  LineClient(const LineClient&) = delete;
  LineClient& operator=(const LineClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Whether all of `text` went out.
  bool send(const std::string& text);
  // The next line, LF included; what came of it at the end or after `millis`.
  std::string line(int millis = 10000);
  // Sends `request` and its LF; the reply's first line.
  std::string ask(const std::string& request);
  // Lines up to and including `last`.
  std::string until(const std::string& last);
  // Whether the server closed the connection within `millis`.
  bool closedWithin(int millis);

 private:
  // False at the end of the stream (closed_) or when time runs out.
  bool fill(std::chrono::steady_clock::time_point until);

  int fd_ = -1;
  bool closed_ = false;
  std::string input_;
};

}  // namespace upstest

#endif
