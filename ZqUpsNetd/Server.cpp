#include "Server.h"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#ifdef ZQUPSNETD_TLS
#include <boost/asio/ssl/stream.hpp>
#endif

#include <array>

#include "Request.h"

namespace zqnetd {

namespace {

// After a failed accept (out of descriptors, say), before the next.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
const char kTooMany[] = "ERR ACCESS-DENIED too many connections\n";
// For the client's answer to TLS's closing alert.
constexpr auto kGoodbyeTime = std::chrono::seconds(1);

// "60 s", "1.5 s".
std::string durationText(Clock::duration duration) {
  const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(duration).count() / 100;
  return std::to_string(tenths / 10) + (tenths % 10 ? "." + std::to_string(tenths % 10) : "") + " s";
}

}  // namespace

// The bytes of one connection: plain TCP, then TLS once startTls() has
// put a TLS stream over the same socket.
class Channel {
 public:
  explicit Channel(tcp::socket socket) : socket_(std::move(socket)) {}

  template <typename Handler>
  void readSome(asio::mutable_buffer buffer, Handler&& handler) {
#ifdef ZQUPSNETD_TLS
    if (tls_) return tls_->async_read_some(buffer, std::forward<Handler>(handler));
#endif
    socket_.async_read_some(buffer, std::forward<Handler>(handler));
  }
  template <typename Handler>
  void write(asio::const_buffer buffer, Handler&& handler) {
#ifdef ZQUPSNETD_TLS
    if (tls_) return asio::async_write(*tls_, buffer, std::forward<Handler>(handler));
#endif
    asio::async_write(socket_, buffer, std::forward<Handler>(handler));
  }
  // Until TLS starts.
  bool plain() const {
#ifdef ZQUPSNETD_TLS
    return tls_ == nullptr;
#else
    return true;
#endif
  }
  // Plain TCP: one send that never waits; what it took of `buffer`.
  size_t sendNow(asio::const_buffer buffer, boost::system::error_code& ec) {
    if (!socket_.non_blocking()) socket_.non_blocking(true, ec);
    return ec ? 0 : socket_.send(buffer, 0, ec);
  }
#ifdef ZQUPSNETD_TLS
  // The server's handshake on what the socket receives from now on.
  template <typename Handler>
  void startTls(TlsContext& context, Handler&& handler) {
    tls_ = std::make_unique<asio::ssl::stream<tcp::socket&>>(socket_, context);
    tls_->async_handshake(asio::ssl::stream_base::server, std::forward<Handler>(handler));
  }
  // TLS's closing alert, so that the client knows it has every reply.
  template <typename Handler>
  void shutdownTls(Handler&& handler) {
    tls_->async_shutdown(std::forward<Handler>(handler));
  }
#endif
  // Without TLS's closing alert: a close never waits on the client.
  void close() {
    boost::system::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

 private:
  tcp::socket socket_;
#ifdef ZQUPSNETD_TLS
  std::unique_ptr<asio::ssl::stream<tcp::socket&>> tls_;  // over socket_
#endif
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Server* server, tcp::socket socket, std::string address, std::string source)
      : server_(server),
        channel_(std::move(socket)),
        address_(std::move(address)),
        source_(std::move(source)),
        session_(server->shared_, address_),
        idle_(server->io_),
        tlsDeadline_(server->io_) {}

  const std::string& address() const { return address_; }
  const std::string& source() const { return source_; }
  bool loggedIn() const { return session_.loggedIn(); }
  // The last request line; a blank line is not one.
  Clock::time_point lastLine() const { return lastLine_; }

  void start() {
    lastLine_ = Clock::now();
    watchIdle();
    drain();
  }

  void close() {
    if (closed_) return;
    closed_ = true;
    const auto self = shared_from_this();
    if (check_) server_->passwords_.cancel(*check_);
    idle_.cancel();
    tlsDeadline_.cancel();
    channel_.close();
    server_->forget(this);
  }

  // Closes and says why.
  void drop(const std::string& why) {
    if (closed_) return;
    server_->clientLog_.note(Clock::now(), "dropped", address_, why);
    close();
  }

 private:
  void read() {
    if (reading_ || closed_) return;
    reading_ = true;
    channel_.readSome(asio::buffer(input_),
                      [self = shared_from_this()](const boost::system::error_code& ec, size_t size) {
                        self->reading_ = false;
                        if (self->closed_) return;
                        if (ec) return self->close();
                        self->framer_.append(self->input_.data(), size);
                        self->drain();
                      });
  }

  // The next read once this turn of the loop has served the other
  // connections: right after a reply the client cannot have sent its next
  // request, and a read tried at once would cost a system call for
  // nothing; a little later it often finds the request there.
  void readSoon() {
    if (reading_ || closed_) return;
    reading_ = true;
    asio::post(server_->io_, [self = shared_from_this()] {
      self->reading_ = false;
      self->read();
    });
  }

  // Answers the whole lines received, in order, until one waits.
  void drain() {
    bool answered = false;
    while (!closed_ && !waiting_ && !closing_ && !upgrading()) {
      switch (framer_.next(&line_)) {
        case LineFramer::Next::NeedMore:
          return answered ? readSoon() : read();
        case LineFramer::Next::TooLong:
          closing_ = true;
          server_->clientLog_.note(Clock::now(), "dropped", address_, "request line too long");
          return send("ERR TOO-LONG\n");
        case LineFramer::Next::Line:
          if (!blankLine(line_)) lastLine_ = Clock::now();
          answer(line_);
          answered = true;
          break;
      }
    }
  }

  void answer(const std::string& line) {
    Reply reply = session_.handle(line, Clock::now());
    if (reply.wait == Reply::Wait::Password) return checkPassword(line);
    if (reply.wait == Reply::Wait::Write) return startWrite(reply.write);
    closing_ = reply.close;
    if (reply.startTls) {
      // Whatever came after STARTTLS was sent before the client could
      // know the answer: never a request.
      framer_ = LineFramer();
      tlsStage_ = Tls::Upgrading;
    }
    send(reply.text);
  }

  bool upgrading() const { return tlsStage_ == Tls::Upgrading || tlsStage_ == Tls::Handshaking; }

  // The handshake, within its own time: a client that stalls in it holds
  // up only itself.
  void startTls() {
#ifdef ZQUPSNETD_TLS
    if (server_->tls_ == nullptr) return close();
    tlsStage_ = Tls::Handshaking;
    tlsDeadline_.expires_after(server_->limits_.handshakeTimeout);
    tlsDeadline_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
      if (!ec) self->drop("no TLS handshake in time");
    });
    channel_.startTls(*server_->tls_, [self = shared_from_this()](
                                          const boost::system::error_code& ec) {
      self->tlsDeadline_.cancel();
      if (self->closed_) return;
      if (ec) return self->drop("TLS handshake failed: " + ec.message());
      self->tlsStage_ = Tls::On;
      self->lastLine_ = Clock::now();
      self->drain();
    });
#else
    close();
#endif
  }

  void checkPassword(const std::string& line) {
    waiting_ = true;
    check_ = server_->passwords_.check(
        source_, address_, session_.username(), session_.password(),
        [self = shared_from_this(), line](std::optional<unsigned> rights) {
          self->waiting_ = false;
          self->check_.reset();
          if (self->closed_) return;
          self->session_.passwordChecked(rights);
          self->answer(line);
          self->drain();
        });
  }

  void startWrite(const Write& write) {
    waiting_ = true;
    server_->offload_.service->write(
        write.point, write.bytes, server_->offload_.writeBudget,
        [self = shared_from_this()](const zqread::WriteResult& result) {
          self->waiting_ = false;
          if (self->closed_) return;
          const zqread::Value readBack = result.readBack.value_or(zqread::Value());
          self->send(self->session_.written(result.held, readBack).text);
          self->drain();
        });
  }

  // Queues `text` behind what is unsent; a client that lets too much pile
  // up is dropped.
  void send(std::string_view text) {
    if (closed_) return;
    unsent_ += text;
    if (unsent_.size() + sending_.size() > server_->limits_.maxUnsent)
      return drop("more than " + std::to_string(server_->limits_.maxUnsent) + " bytes of replies unread");
    flush();
  }

  void flush() {
    if (writing_ || closed_) return;
    if (!unsent_.empty() && channel_.plain()) sendNow();
    if (closed_) return;
    if (unsent_.empty()) {
      if (closing_) return finish();
      if (tlsStage_ == Tls::Upgrading) startTls();
      return;
    }
    writing_ = true;
    sending_.swap(unsent_);
    channel_.write(asio::buffer(sending_),
                   [self = shared_from_this()](const boost::system::error_code& ec, size_t) {
                     self->writing_ = false;
                     self->sending_.clear();
                     if (self->closed_) return;
                     if (ec) return self->close();
                     self->flush();
                   });
  }

  // Plain TCP: what is unsent straight to the socket, in one send, which
  // mostly takes it all and spares async_write's operation and handler;
  // what is left goes through async_write.
  void sendNow() {
    boost::system::error_code ec;
    const size_t sent = channel_.sendNow(asio::buffer(unsent_), ec);
    if (ec && ec != asio::error::would_block && ec != asio::error::try_again) return close();
    unsent_.erase(0, sent);
  }

  // The end after the last reply.
  void finish() {
#ifdef ZQUPSNETD_TLS
    if (tlsStage_ == Tls::On) {
      tlsDeadline_.expires_after(kGoodbyeTime);
      tlsDeadline_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
        if (!ec) self->close();
      });
      return channel_.shutdownTls(
          [self = shared_from_this()](const boost::system::error_code&) { self->close(); });
    }
#endif
    close();
  }

  void watchIdle() {
    idle_.expires_at(lastLine_ + server_->limits_.idleTimeout);
    idle_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
      if (ec || self->closed_) return;
      if (Clock::now() >= self->lastLine_ + self->server_->limits_.idleTimeout)
        return self->drop("no request for " + durationText(self->server_->limits_.idleTimeout));
      self->watchIdle();
    });
  }

  Server* server_;
  Channel channel_;
  std::string address_;
  std::string source_;  // what the limits count it as
  Session session_;
  LineFramer framer_;
  asio::steady_timer idle_;
  asio::steady_timer tlsDeadline_;
  Clock::time_point lastLine_;
  std::array<char, 1024> input_;
  std::string line_;  // the request answered, its capacity kept for the next
  std::string unsent_;
  std::string sending_;
  bool reading_ = false;
  bool writing_ = false;
  std::optional<PasswordChecks::Id> check_;  // waiting for it
  bool waiting_ = false;  // for a password check or a write
  bool closing_ = false;  // after what is unsent
  bool closed_ = false;
  // Plain until OK STARTTLS is sent, then nothing is read until the
  // handshake is over.
  enum class Tls { Plain, Upgrading, Handshaking, On } tlsStage_ = Tls::Plain;
};

bool Server::listen(const tcp::endpoint& endpoint, std::string* error) {
  auto acceptor = zqloop::listenOn(io_, endpoint, error);
  if (!acceptor) return false;
  auto listener = std::make_unique<Listener>();
  listener->acceptor = std::move(acceptor);
  listener->pause = std::make_unique<asio::steady_timer>(io_);
  listeners_.push_back(std::move(listener));
  return true;
}

std::vector<tcp::endpoint> Server::endpoints() const {
  std::vector<tcp::endpoint> bound;
  for (const auto& listener : listeners_) bound.push_back(listener->acceptor->local_endpoint());
  return bound;
}

void Server::start() {
  for (const auto& listener : listeners_) accept(listener.get());
  keepHouse();
}

void Server::keepHouse() {
  const Clock::time_point now = Clock::now();
  clientLog_.flush(now);
  passwords_.sweep(now);
  housekeeping_.expires_after(ClientLog::kInterval);
  housekeeping_.async_wait([this](const boost::system::error_code& ec) {
    if (!ec && !stopped_) keepHouse();
  });
}

void Server::publish(std::shared_ptr<const Snapshot> snapshot) {
  const bool reached = snapshot->reached;
  const std::string why = snapshot->why;
  shared_->publish(std::move(snapshot));
  if (reached != serviceReached_.value_or(true))
    logLine(reached ? "UPS service back" : "UPS service lost: " + why);
  serviceReached_ = reached;
  watchFreshness();
}

// Says when the data turns fresh or stale, and wakes when it will turn
// stale unless the next reading comes first.
void Server::watchFreshness() {
  const Clock::time_point now = Clock::now();
  const bool fresh = shared_->fresh(now);
  if (fresh != fresh_) {
    const bool reached = shared_->snapshot && shared_->snapshot->reached;
    logLine(fresh     ? "data fresh"
            : reached ? "data stale: no reading for " + durationText(now - shared_->snapshot->taken)
                      : "data stale: the UPS service was not reached");
  }
  fresh_ = fresh;
  if (!fresh || stopped_) return;
  staleAt_.expires_at(shared_->snapshot->taken + shared_->staleAfter + std::chrono::milliseconds(1));
  staleAt_.async_wait([this](const boost::system::error_code& ec) {
    if (!ec) watchFreshness();
  });
}

void Server::stop() {
  stopped_ = true;
  for (const auto& listener : listeners_) {
    boost::system::error_code ignored;
    listener->acceptor->close(ignored);
    listener->pause->cancel();
  }
  housekeeping_.cancel();
  staleAt_.cancel();
  passwords_.stop();
  while (!connections_.empty()) connections_.begin()->second->close();
  clientLog_.flush(Clock::now(), true);
}

void Server::accept(Listener* listener) {
  listener->acceptor->async_accept(
      [this, listener](const boost::system::error_code& ec, tcp::socket socket) {
        if (stopped_) return;
        if (!ec) {
          admit(std::move(socket));
          return accept(listener);
        }
        // Out of descriptors or memory: wait rather than spin.
        listener->pause->expires_after(kAcceptPause);
        listener->pause->async_wait([this, listener](const boost::system::error_code& waited) {
          if (!waited && !stopped_) accept(listener);
        });
      });
}

void Server::admit(tcp::socket socket) {
  boost::system::error_code ec;
  const tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec) return;
  const std::string address = peer.address().to_string();
  const std::string source = sourceOf(peer.address());
  const auto found = perSource_.find(source);
  const char* refused = nullptr;
  if (found != perSource_.end() && found->second >= limits_.maxPerAddress)
    refused = "too many connections from its address";
  else if (connections_.size() >= limits_.maxConnections && !makeRoom())
    refused = "too many connections";
  if (refused != nullptr) {
    clientLog_.note(Clock::now(), "refused", address, refused);
    // Never waits: what does not fit in the socket's buffer is lost.
    socket.non_blocking(true, ec);
    socket.send(asio::buffer(kTooMany, sizeof kTooMany - 1), 0, ec);
    return;
  }
  ++perSource_[source];
  auto connection = std::make_shared<Connection>(this, std::move(socket), address, source);
  connections_[connection.get()] = connection;
  connection->start();
}

bool Server::makeRoom() {
  Connection* idlest = nullptr;
  for (const auto& [connection, kept] : connections_)
    if (!connection->loggedIn() && (idlest == nullptr || connection->lastLine() < idlest->lastLine()))
      idlest = connection;
  if (idlest == nullptr) return false;
  idlest->drop("idle longest of those not logged in, for a new client");
  return true;
}

void Server::forget(Connection* connection) {
  const auto found = connections_.find(connection);
  if (found == connections_.end()) return;
  const auto count = perSource_.find(connection->source());
  if (count != perSource_.end() && --count->second == 0) perSource_.erase(count);
  connections_.erase(found);
}

}  // namespace zqnetd
