// The simulator's socket side: claims the socket path, accepts many
// connections at once and serves each with one envelope and one reply,
// in one thread, driven by poll().  A slow or silent client holds up no
// one: every phase of a connection has a time limit and ends when the
// client hangs up, the connections and the memory they hold are capped,
// and delays and byte-by-byte replies are timers, not sleeps.
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
  std::string socketPath = zqwire::kSocketPath;
  // The socket file's mode: by default every local user may connect.
  mode_t socketMode = 0666;
  // The whole envelope must arrive within this long of the connect, and
  // the whole reply be taken within this long of its first byte (plus
  // the pauses of a bytewise fault); otherwise the connection is dropped.
  uint32_t requestLimitMillis = 30000;
  uint32_t replyLimitMillis = 30000;
  size_t envelopeCap = kEnvelopeCap;
  // At most this many connections, fewer when the descriptor limit says
  // so; at the cap the one that has made no progress for longest goes.
  size_t maxConnections = 1000;
  // Buffered requests and unsent replies together; the connection that
  // would go past it is dropped.
  size_t memoryCap = size_t{64} << 20;
};

class Server {
 public:
  // `log` gets one line per refused or dropped connection.
  Server(Store& store, ServerOptions options, std::ostream& log);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Takes the path: refuses when a live service listens on it (a full
  // queue counts as live) or when it is something other than a socket;
  // replaces a stale socket file.  Never blocks.
  bool listen(std::string* why);
  // Serves until stop(); false, with the reason, on a failure of the loop.
  bool run(std::string* why);
  // Ends run() promptly, wherever it waits, for good.  Safe from a signal
  // handler and from another thread.
  void stop();
  // How many connections it serves at once at most.
  size_t connectionCap() const { return cap_; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Connection;

  bool bindPrivately(const std::string& name, std::string* why);
  bool placeOnPath(std::string* why);
  void acceptAll(Clock::time_point now);
  bool acceptOne(Clock::time_point now);
  void noteAcceptFailure(int err, Clock::time_point now);
  void makeRoom(const Connection& keep, Clock::time_point now);
  void removeDone();
  void serveConnection(Connection& c, short revents, Clock::time_point now);
  void hangUp(Connection& c);
  void receive(Connection& c, Clock::time_point now);
  void answer(Connection& c, Clock::time_point now);
  void startSending(Connection& c, Clock::time_point now);
  void transmit(Connection& c, Clock::time_point now);
  void discardInput(Connection& c);
  bool hold(Connection& c, size_t bytes);
  void release(Connection& c);
  void drop(Connection& c, const std::string& why);
  short eventsFor(const Connection& c) const;
  int pollTimeout(Clock::time_point now) const;
  void removeSocketFile();

  Store& store_;
  ServerOptions options_;
  std::ostream& log_;
  int listenFd_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::string privateName_;  // where the socket was bound, until it is moved onto the path
  dev_t socketDev_ = 0;
  ino_t socketIno_ = 0;
  bool bound_ = false;
  size_t cap_ = 0;
  size_t held_ = 0;           // bytes of requests and replies held for clients
  size_t released_ = 0;       // of those, let go since the allocator last gave memory back
  bool acceptStalled_ = false;  // accept() is out of descriptors or memory
  Clock::time_point start_;
  Clock::time_point acceptPausedUntil_;
  std::vector<std::unique_ptr<Connection>> connections_;
};

}  // namespace zqsim

#endif
