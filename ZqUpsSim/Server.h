// The simulator's socket side: claims the socket path, accepts many
// connections at once and serves each with one envelope and one reply,
// in one thread, driven by poll().  A slow or silent client holds up no
// one; delays and byte-by-byte replies are timers, not sleeps.  Where the
// platform allows, an idle server (no connection, no timer) waits in
// accept() itself rather than in poll(), one call fewer per exchange.
#ifndef ZQUPSSIM_SERVER_H
#define ZQUPSSIM_SERVER_H

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "Protocol.h"
#include "Store.h"

namespace zqsim {

struct ServerOptions {
  std::string socketPath = "/tmp/UPS0";
  // A connection that sends no byte of its envelope for this long is dropped.
  uint32_t idleLimitMillis = 30000;
  size_t envelopeCap = kEnvelopeCap;
  size_t maxConnections = 1000;
};

class Server {
 public:
  // `log` gets one line per refused or dropped connection.
  Server(Store& store, ServerOptions options, std::ostream& log);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Takes the path: refuses when a live service listens on it or when it
  // is something other than a socket; replaces a stale socket file.
  bool listen(std::string* why);
  // Serves until stop(); false, with the reason, on a failure of the loop.
  bool run(std::string* why);
  // Ends run() promptly, wherever it waits, for good.  Safe from a signal
  // handler and from another thread.
  void stop();

 private:
  using Clock = std::chrono::steady_clock;
  struct Connection;

  void acceptAll();
  bool acceptOne();
  bool stopPending() const;
  void serveConnection(Connection& c, short revents, Clock::time_point now);
  void receive(Connection& c, Clock::time_point now);
  void answer(Connection& c, Clock::time_point now);
  void transmit(Connection& c, Clock::time_point now);
  void drop(Connection& c, const std::string& why);
  int pollTimeout(Clock::time_point now) const;
  void removeSocketFile();

  Store& store_;
  ServerOptions options_;
  std::ostream& log_;
  int listenFd_ = -1;
  int wake_[2] = {-1, -1};
  // The listener is blocking, with a receive time limit, and run() waits in
  // accept() whenever there is nothing else to watch.
  bool blockingAccept_ = false;
  std::atomic<bool> stopping_{false};
  std::atomic<int> blockingListenFd_{-1};  // what stop() shuts down; -1 when none
  dev_t socketDev_ = 0;
  ino_t socketIno_ = 0;
  bool bound_ = false;
  Clock::time_point start_;
  Clock::time_point acceptPausedUntil_;
  std::vector<std::unique_ptr<Connection>> connections_;
};

}  // namespace zqsim

#endif
