// The network side: listening sockets, one connection per client with
// its bounds (connections, idle time, line length, unsent output), all on
// one thread that never waits on the UPS service.
#ifndef ZQUPSNETD_SERVER_H
#define ZQUPSNETD_SERVER_H

#include <boost/asio/steady_timer.hpp>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Listen.h"
#include "Session.h"
#include "Tls.h"
#include "Workers.h"

namespace zqnetd {

namespace asio = zqloop::asio;
using zqloop::tcp;

struct Limits {
  size_t maxConnections = 1024;
  size_t maxPerAddress = 32;
  Clock::duration idleTimeout = std::chrono::seconds(60);
  // A client that leaves more than this of its replies unread is dropped.
  size_t maxUnsent = 64 * 1024;
  // From OK STARTTLS to the handshake's end.
  Clock::duration handshakeTimeout = std::chrono::seconds(10);
};

// What the connections hand off the network thread.
struct Offload {
  Worker* passwords = nullptr;
  Worker* writes = nullptr;
  ServiceSettings service;
};

class Connection;

class Server {
 public:
  // `tls`, when given, answers STARTTLS; it outlives the server.
  Server(asio::io_context& io, Shared* shared, Limits limits, Offload offload,
         TlsContext* tls = nullptr)
      : io_(io), shared_(shared), limits_(limits), offload_(offload), tls_(tls) {}

  // Listens on `endpoint`; false with `error` when it cannot.
  bool listen(const tcp::endpoint& endpoint, std::string* error);
  // Where it listens, ports as bound.
  std::vector<tcp::endpoint> endpoints() const;
  void start();
  // Closes the listening sockets and every connection.
  void stop();

 private:
  friend class Connection;
  struct Listener {
    std::unique_ptr<tcp::acceptor> acceptor;
    std::unique_ptr<asio::steady_timer> pause;
  };
  void accept(Listener* listener);
  void admit(tcp::socket socket);
  void forget(Connection* connection);

  asio::io_context& io_;
  Shared* shared_;
  Limits limits_;
  Offload offload_;
  TlsContext* tls_;
  std::vector<std::unique_ptr<Listener>> listeners_;
  std::map<Connection*, std::shared_ptr<Connection>> connections_;
  std::map<std::string, size_t> perAddress_;
  bool stopped_ = false;
};

}  // namespace zqnetd

#endif
