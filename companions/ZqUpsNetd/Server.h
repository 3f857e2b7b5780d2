// The network side: listening sockets, one connection per client with
// its bounds (connections, idle time, line length, unsent output), all on
// one thread that never waits on the UPS service.
#ifndef ZQUPSNETD_SERVER_H
#define ZQUPSNETD_SERVER_H

#include <boost/asio/steady_timer.hpp>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Accept.h"
#include "Log.h"
#include "Passwords.h"
#include "ServiceQueue.h"
#include "Session.h"
#include "Tls.h"
#include "Worker.h"

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
  // Writes, between its readings; it posts their results to the loop.
  zqread::ServiceQueue* service = nullptr;
  Clock::duration writeBudget = std::chrono::seconds(10);  // each exchange of a write
  // A SET VAR is answered within this of its line, inside the 5 s that
  // clients wait: with its outcome, else as accepted or as failed.
  Clock::duration answerWrite = std::chrono::seconds(4);
};

class Connection;

class Server {
 public:
  // `tls`, when given, answers STARTTLS; it outlives the server.
  Server(asio::io_context& io, Shared* shared, Limits limits, Offload offload,
         TlsContext* tls = nullptr);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Listens on `endpoint`; false with `error` when it cannot.
  bool listen(const tcp::endpoint& endpoint, std::string* error);
  // Where it listens, ports as bound.
  std::vector<tcp::endpoint> endpoints() const;
  // No more clients at once than `most`.
  void limitConnections(size_t most) { accepting_.limit(most); }
  void start();
  // Closes the listening sockets and every connection.
  void stop();
  // Takes the next reading's snapshot (on the loop's thread) and says
  // when the service is lost or back, as `events` of that reading tell,
  // and when the data turns stale or fresh.
  void publish(std::shared_ptr<const Snapshot> snapshot,
               const std::vector<zqread::PowerEvent>& events);

 private:
  friend class Connection;
  bool peerOf(const tcp::socket& socket, std::string* address, std::string* source) const;
  bool sourceFull(const std::string& source) const;
  bool makeRoomFor(const tcp::socket& newcomer);
  void refuse(tcp::socket& socket);
  void admit(tcp::socket socket);
  // Drops the client idle longest of those that may go (never signed in,
  // no password check in flight), of `source` when given; false when
  // there is none.
  bool makeRoom(const std::string* source);
  void forget(Connection* connection);
  void keepHouse();
  void watchFreshness();

  asio::io_context& io_;
  Shared* shared_;
  Limits limits_;
  Offload offload_;
  TlsContext* tls_;
  std::map<Connection*, std::shared_ptr<Connection>> connections_;
  std::map<std::string, size_t> perSource_;
  zqloop::AcceptLoop accepting_;
  ClientLog clientLog_;
  PasswordChecks passwords_;
  asio::steady_timer housekeeping_;  // the client log's counts, old failures
  asio::steady_timer staleAt_;       // when the data turns stale
  bool fresh_ = false;
  bool stopped_ = false;
};

}  // namespace zqnetd

#endif
