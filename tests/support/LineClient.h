// A client of a TCP server on the loopback: a connection that sends text
// and reads lines or everything to the end.  Every wait has a bound.
#ifndef LINECLIENT_H
#define LINECLIENT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace upstest {

// Binds `fd` to the IPv4 address `from`; whether it could.
inline bool bindTo(int fd, const std::string& from) {
  sockaddr_in source{};
  source.sin_family = AF_INET;
  return ::inet_pton(AF_INET, from.c_str(), &source.sin_addr) == 1 &&
         ::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0;
}

// A connection to `host`, an IPv4 or IPv6 address, at `port`; -1 when
// there is none.  `receiveBuffer`, when not 0, is its SO_RCVBUF; `from`,
// when given, the IPv4 address it comes from.
inline int connectTcp(const std::string& host, int port, int receiveBuffer = 0,
                      const std::string& from = "") {
  sockaddr_storage address{};
  socklen_t size = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    size = sizeof *v4;
  } else if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    size = sizeof *v6;
  } else {
    return -1;
  }
  const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receiveBuffer != 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  if ((!from.empty() && !bindTo(fd, from)) ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&address), size) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads until the peer closes, at most `millis` in all; *ended tells
// whether it closed.
inline std::string readToEnd(int fd, int millis, bool* ended) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
  std::string text;
  *ended = false;
  while (std::chrono::steady_clock::now() < until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
    char chunk[4096];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
      *ended = true;
      break;
    }
    text.append(chunk, static_cast<size_t>(n));
  }
  return text;
}

class LineClient {
 public:
  LineClient(const std::string& host, int port, int receiveBuffer = 0,
             const std::string& from = "")
      : fd_(connectTcp(host, port, receiveBuffer, from)) {}
  ~LineClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  LineClient(const LineClient&) = delete;
  LineClient& operator=(const LineClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool send(const std::string& text) {
    return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }
  // The next line, LF included; what came of it at the end or after `millis`.
  std::string line(int millis = 10000) {
    const auto until = Clock::now() + std::chrono::milliseconds(millis);
    size_t end;
    while ((end = input_.find('\n')) == std::string::npos) {
      if (!fill(until)) {
        std::string part;
        part.swap(input_);
        return part;
      }
    }
    const std::string line = input_.substr(0, end + 1);
    input_.erase(0, end + 1);
    return line;
  }
  std::string ask(const std::string& request) {
    send(request + "\n");
    return line();
  }
  // Lines up to and including `last`.
  std::string until(const std::string& last) {
    std::string lines, next;
    do {
      next = line();
      lines += next;
    } while (!next.empty() && next != last);
    return lines;
  }
  // Whether the server closed the connection within `millis`.
  bool closedWithin(int millis) {
    const auto until = Clock::now() + std::chrono::milliseconds(millis);
    while (fill(until)) input_.clear();
    return closed_;
  }

 private:
  using Clock = std::chrono::steady_clock;

  // False at the end of the stream (closed_) or when time runs out.
  bool fill(Clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    pollfd ready{fd_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[65536];
    const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
    if (got <= 0) {
      closed_ = true;
      return false;
    }
    input_.append(buffer, static_cast<size_t>(got));
    return true;
  }

  int fd_ = -1;
  bool closed_ = false;
  std::string input_;
};

}  // namespace upstest

#endif
