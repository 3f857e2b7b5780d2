// The accept loop the network servers share: any number of listening
// sockets, a cap on the connections held, and a pause after a failed
// accept (out of descriptors, say) rather than a spin.
#ifndef ZQUPSLOOP_ACCEPT_H
#define ZQUPSLOOP_ACCEPT_H

#include <boost/asio/steady_timer.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Listen.h"

namespace zqloop {

// What a server does with the connections accepted.
struct AcceptRules {
  size_t cap = 1024;
  // The connections it holds now.
  std::function<size_t()> held;
  // At the cap: frees the place of one it holds for `newcomer`; false
  // when none may go.
  std::function<bool(const tcp::socket& newcomer)> makeRoom;
  std::function<void(tcp::socket)> admit;
  // At the cap with no room made; the socket closes after.
  std::function<void(tcp::socket&)> refuse;
};

class AcceptLoop {
 public:
  AcceptLoop(asio::io_context& io, AcceptRules rules) : io_(io), rules_(std::move(rules)) {}
  AcceptLoop(const AcceptLoop&) = delete;
  AcceptLoop& operator=(const AcceptLoop&) = delete;
  ~AcceptLoop() { stop(); }

  // Listens on `endpoint` (accepting at once once started); false with
  // `error` when it cannot.
  bool listen(const tcp::endpoint& endpoint, std::string* error);
  // Where it listens, ports as bound.
  std::vector<tcp::endpoint> endpoints() const;
  void limit(size_t cap) { rules_.cap = cap; }
  void start();
  // Closes the listening sockets.
  void stop();

 private:
  struct Listener {
    explicit Listener(asio::io_context& io) : acceptor(io), pause(io) {}
    tcp::acceptor acceptor;
    asio::steady_timer pause;
  };
  void accept(Listener& listener);
  void admit(tcp::socket socket);

  asio::io_context& io_;
  AcceptRules rules_;
  std::vector<std::unique_ptr<Listener>> listeners_;
  bool started_ = false;
  bool stopped_ = false;
};

}  // namespace zqloop

#endif
