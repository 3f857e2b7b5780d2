#include "Accept.h"

namespace zqloop {

namespace {

// After a failed accept, before the next.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

}  // namespace

bool AcceptLoop::listen(const tcp::endpoint& endpoint, std::string* error) {
  std::unique_ptr<tcp::acceptor> bound = listenOn(io_, endpoint, error);
  if (!bound) return false;
  auto listener = std::make_unique<Listener>(io_);
  listener->acceptor = std::move(*bound);
  listeners_.push_back(std::move(listener));
  if (started_ && !stopped_) accept(*listeners_.back());
  return true;
}

std::vector<tcp::endpoint> AcceptLoop::endpoints() const {
  std::vector<tcp::endpoint> bound;
  for (const auto& listener : listeners_) {
    boost::system::error_code ec;
    const tcp::endpoint endpoint = listener->acceptor.local_endpoint(ec);
    if (!ec) bound.push_back(endpoint);
  }
  return bound;
}

void AcceptLoop::start() {
  if (started_) return;
  started_ = true;
  for (const auto& listener : listeners_) accept(*listener);
}

void AcceptLoop::stop() {
  stopped_ = true;
  for (const auto& listener : listeners_) {
    boost::system::error_code ignored;
    listener->acceptor.close(ignored);
    listener->pause.cancel();
  }
}

void AcceptLoop::accept(Listener& listener) {
  listener.acceptor.async_accept(
      [this, &listener](const boost::system::error_code& ec, tcp::socket socket) {
        if (stopped_) return;
        if (!ec) {
          admit(std::move(socket));
          return accept(listener);
        }
        listener.pause.expires_after(kAcceptPause);
        listener.pause.async_wait([this, &listener](const boost::system::error_code& waited) {
          if (!waited && !stopped_) accept(listener);
        });
      });
}

void AcceptLoop::admit(tcp::socket socket) {
  if (rules_.held() >= rules_.cap && !rules_.makeRoom(socket)) {
    rules_.refuse(socket);
    boost::system::error_code ignored;
    socket.close(ignored);
    return;
  }
  rules_.admit(std::move(socket));
}

}  // namespace zqloop
