#include "Server.h"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#ifdef ZQUPSNETD_TLS
#include <boost/asio/ssl/stream.hpp>
#endif

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

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

// The bytes of one connection: plain TCP on the socket's descriptor,
// which the server's SocketSet watches, then TLS through Asio once
// startTls() has put a TLS stream over the same socket.
class Channel {
 public:
  explicit Channel(tcp::socket socket) {
    boost::system::error_code ec;
    protocol_ = socket.local_endpoint(ec).protocol();
    if (!ec) fd_ = socket.release(ec);
    if (ec) fd_ = -1;
  }
  ~Channel() { close(); }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  int fd() const { return fd_; }
  // Until TLS starts.
  bool plain() const {
#ifdef ZQUPSNETD_TLS
    return tls_ == nullptr;
#else
    return true;
#endif
  }
  // Plain TCP, never waiting: the bytes received, 0 at the end, -1 with errno.
  ssize_t receiveNow(char* data, size_t size) { return ::recv(fd_, data, size, MSG_DONTWAIT); }
  // Plain TCP, never waiting: the peer has closed or reset, whatever it
  // sent before is left unread.
  bool peerGone() {
    char byte;
    const ssize_t size = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return size == 0 || (size < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
  }
  // Plain TCP, never waiting: the bytes taken, -1 with errno.
  ssize_t sendNow(std::string_view data) {
    return ::send(fd_, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  }
#ifdef ZQUPSNETD_TLS
  template <typename Handler>
  void readSome(asio::mutable_buffer buffer, Handler&& handler) {
    tls_->async_read_some(buffer, std::forward<Handler>(handler));
  }
  template <typename Handler>
  void write(asio::const_buffer buffer, Handler&& handler) {
    asio::async_write(*tls_, buffer, std::forward<Handler>(handler));
  }
  // The server's handshake on what the socket receives from now on; the
  // socket is Asio's from here.  False when Asio cannot take it.
  template <typename Handler>
  bool startTls(asio::io_context& io, TlsContext& context, Handler&& handler) {
    boost::system::error_code ec;
    socket_ = std::make_unique<tcp::socket>(io);
    socket_->assign(protocol_, fd_, ec);
    if (ec) {
      socket_.reset();
      return false;
    }
    tls_ = std::make_unique<asio::ssl::stream<tcp::socket&>>(*socket_, context);
    tls_->async_handshake(asio::ssl::stream_base::server, std::forward<Handler>(handler));
    return true;
  }
  // TLS's closing alert, so that the client knows it has every reply.
  template <typename Handler>
  void shutdownTls(Handler&& handler) {
    tls_->async_shutdown(std::forward<Handler>(handler));
  }
#endif
  // Without TLS's closing alert: a close never waits on the client.
  void close() {
#ifdef ZQUPSNETD_TLS
    if (socket_) {
      boost::system::error_code ignored;
      socket_->shutdown(tcp::socket::shutdown_both, ignored);
      socket_->close(ignored);
      fd_ = -1;
    }
#endif
    if (fd_ < 0) return;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    fd_ = -1;
  }

 private:
  tcp protocol_ = tcp::v4();
  int fd_ = -1;
#ifdef ZQUPSNETD_TLS
  std::unique_ptr<tcp::socket> socket_;  // once TLS starts
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
        tlsDeadline_(server->io_),
        answerWrite_(server->io_),
        heldAnswer_(server->io_) {}

  const std::string& address() const { return address_; }
  const std::string& source() const { return source_; }
  // What may make room for a newcomer: never signed in, and no password
  // check in flight (what could sign it in).
  bool mayGo() const { return !session_.signedIn() && !check_; }
  // The last request line; a blank line is not one.
  Clock::time_point lastLine() const { return lastLine_; }

  void start() {
    lastLine_ = Clock::now();
    watchIdle();
    if (channel_.fd() < 0 || !server_->sockets_.add(channel_.fd(), this)) return close();
    watched_ = {true, false};
  }

  void close() {
    if (closed_) return;
    closed_ = true;
    const auto self = shared_from_this();
    if (check_) server_->passwords_.cancel(*check_);
    if (pending_ && pending_->ticket->withdraw() && !server_->stopped_)
      noteWrite(server_, *pending_, "not sent for", "the client has gone");
    pending_.reset();
    answerWrite_.cancel();
    idle_.cancel();
    tlsDeadline_.cancel();
    heldAnswer_.cancel();
    if (channel_.plain() && channel_.fd() >= 0) server_->sockets_.remove(channel_.fd(), this);
    channel_.close();
    server_->forget(this);
  }

  // Closes and says why.
  void drop(const std::string& why) {
    if (closed_) return;
    server_->clientLog_.note(Clock::now(), "dropped", address_, why);
    close();
  }

  // Plain TCP: what the server's SocketSet found the socket ready for.
  void ready(bool input, bool output) {
    if (output && writing_) {
      writing_ = false;
      flush();
    }
    if (closed_ || !input) return;
    // Level-triggered: input that cannot be taken now stops being watched
    // until read() wants it; reported all the same, the socket failed.
    if (!watched_.input) return close();
    // A write not sent yet for a client that has gone never is.
    if (pending_ && channel_.peerGone()) return close();
    if (!takesInput()) return watch(false, writing_);
    const ssize_t size = channel_.receiveNow(input_.data(), input_.size());
    if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (size <= 0) return close();
    framer_.append(input_.data(), size_t(size));
    drain();
  }

 private:
  bool takesInput() const { return !closed_ && !waiting_ && !closing_ && !upgrading(); }

  void read() {
    if (closed_) return;
    if (channel_.plain()) return watch(true, writing_);
#ifdef ZQUPSNETD_TLS
    if (reading_) return;
    reading_ = true;
    channel_.readSome(asio::buffer(input_),
                      [self = shared_from_this()](const boost::system::error_code& ec, size_t size) {
                        self->reading_ = false;
                        if (self->closed_) return;
                        if (ec) return self->close();
                        self->framer_.append(self->input_.data(), size);
                        self->drain();
                      });
#endif
  }

  // Plain TCP: what the SocketSet watches the socket for.
  void watch(bool input, bool output) {
    if (closed_ || (watched_.input == input && watched_.output == output)) return;
    watched_ = {input, output};
    if (!server_->sockets_.change(channel_.fd(), this, input, output)) close();
  }

  // Answers the whole lines received, in order, until one waits.
  void drain() {
    while (takesInput()) {
      switch (framer_.next(&line_)) {
        case LineFramer::Next::NeedMore:
          return read();
        case LineFramer::Next::TooLong:
          closing_ = true;
          server_->clientLog_.note(Clock::now(), "dropped", address_, "request line too long");
          return send("ERR TOO-LONG\n");
        case LineFramer::Next::Line: {
          const Clock::time_point now = Clock::now();
          if (!blankLine(line_)) lastLine_ = now;
          answer(line_, now);
          break;
        }
      }
    }
  }

  void answer(const std::string& line, Clock::time_point now) {
    Reply reply = session_.handle(line, now);
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
    server_->sockets_.remove(channel_.fd(), this);
    const bool started = channel_.startTls(
        server_->io_, *server_->tls_, [self = shared_from_this()](const boost::system::error_code& ec) {
          self->tlsDeadline_.cancel();
          if (self->closed_) return;
          if (ec) return self->drop("TLS handshake failed: " + ec.message());
          self->tlsStage_ = Tls::On;
          self->lastLine_ = Clock::now();
          self->drain();
        });
    if (!started) close();
#else
    close();
#endif
  }

  void checkPassword(const std::string& line) {
    waiting_ = true;
    check_ = server_->passwords_.check(
        source_, address_, session_.username(), session_.password(),
        [self = shared_from_this(), line](std::optional<unsigned> rights, Clock::duration hold) {
          self->check_.reset();
          if (self->closed_) return;
          self->session_.passwordChecked(rights);
          if (hold == Clock::duration::zero()) return self->resume(line);
          self->heldAnswer_.expires_after(hold);
          self->heldAnswer_.async_wait([self, line](const boost::system::error_code& ec) {
            if (!ec && !self->closed_) self->resume(line);
          });
        });
  }

  // Answers `line`, whose password is checked, and what came after it.
  void resume(const std::string& line) {
    waiting_ = false;
    answer(line, Clock::now());
    drain();
  }

  // A SET VAR's write, from the queue to its outcome.
  struct PendingWrite {
    Write write;
    std::shared_ptr<zqread::WriteTicket> ticket;
    std::string address;
    Clock::time_point asked;
    bool answered = false;   // as accepted, before the outcome
    std::string trackingId;  // given then, with tracking on
  };

  // The write is answered with its outcome when that comes in time;
  // else as accepted once its bytes are going out, or while the service
  // has answered something since the request, and otherwise as failed,
  // and then it is never sent.  An outcome after the answer is still
  // shown and tracked.
  void startWrite(const Write& write) {
    waiting_ = true;
    auto pending = std::make_shared<PendingWrite>();
    pending->write = write;
    pending->address = address_;
    pending->asked = lastLine_;  // the SET VAR's, after a password check too
    const Clock::time_point answerBy = lastLine_ + server_->offload_.answerWrite;
    pending->ticket = server_->offload_.service->write(
        write.point, write.bytes, server_->offload_.writeBudget,
        [self = weak_from_this(), server = server_, pending](const zqread::WriteResult& result) {
          if (result.held && result.readBack)
            server->shared_->writeVerified(pending->write.point, *result.readBack);
          const auto connection = self.lock();
          if (connection && connection->pending_ == pending) return connection->written(result);
          writtenLate(server, *pending, result);
        });
    pending_ = pending;
    answerWrite_.expires_at(answerBy);
    // A timer that expired is not stopped by the outcome: the pending
    // write may be the next one by then.
    answerWrite_.async_wait(
        [self = shared_from_this(), pending](const boost::system::error_code& ec) {
          if (!ec && self->pending_ == pending) self->answerBeforeOutcome();
        });
  }

  void written(const zqread::WriteResult& result) {
    pending_.reset();
    answerWrite_.cancel();
    waiting_ = false;
    send(session_.written(result.held).text);
    drain();
  }

  void answerBeforeOutcome() {
    waiting_ = false;
    const std::shared_ptr<PendingWrite> pending = std::move(pending_);
    const bool alive = server_->offload_.service->lastAnswer() >= pending->asked;
    if (!alive && pending->ticket->withdraw()) {
      noteWrite(server_, *pending, "not sent for",
                "no answer from the service in " +
                    durationText(server_->offload_.answerWrite) + ", answered as failed");
      send(session_.written(false).text);
    } else {
      pending->answered = true;
      send(session_.sent(&pending->trackingId).text);
    }
    drain();
  }

  // An outcome after its client was answered, or had gone.
  static void writtenLate(Server* server, const PendingWrite& pending,
                          const zqread::WriteResult& result) {
    Shared& shared = *server->shared_;
    if (!pending.trackingId.empty()) shared.tracked.settle(pending.trackingId, result.held);
    if (result.held) return;
    const std::string why = result.outcome.ok() ? "read back otherwise" : result.outcome.why;
    noteWrite(server, pending, "failed for", pending.answered ? why + ", after OK" : why);
  }

  // "write of battery.date WHAT 192.0.2.7: WHY".
  static void noteWrite(Server* server, const PendingWrite& pending, const std::string& what,
                        const std::string& why) {
    server->clientLog_.note(Clock::now(), "write of " + pending.write.variable + " " + what,
                            pending.address, why);
  }

  // Queues `text` behind what is unsent; a client that lets too much pile
  // up is dropped.
  void send(std::string_view text) {
    if (closed_) return;
    // Plain TCP with nothing before it: straight to the socket, which
    // mostly takes it all.
    if (channel_.plain() && unsent_.empty() && !text.empty()) text.remove_prefix(sendNow(text));
    if (closed_) return;
    unsent_ += text;
    if (unsent_.size() + sending_.size() > server_->limits_.maxUnsent)
      return drop("more than " + std::to_string(server_->limits_.maxUnsent) + " bytes of replies unread");
    flush();
  }

  // What is unsent to the socket; plain TCP sends what the socket takes
  // and the rest when the SocketSet finds room.
  void flush() {
    if (writing_ || closed_) return;
    if (!unsent_.empty() && channel_.plain()) {
      unsent_.erase(0, sendNow(unsent_));
      if (closed_) return;
      writing_ = !unsent_.empty();
      watch(watched_.input, writing_);
      if (writing_) return;
    }
    if (unsent_.empty()) {
      if (closing_) return finish();
      if (tlsStage_ == Tls::Upgrading) startTls();
      return;
    }
#ifdef ZQUPSNETD_TLS
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
#endif
  }

  // Plain TCP: one send that never waits; what it took.  A socket that
  // failed is closed.
  size_t sendNow(std::string_view text) {
    const ssize_t sent = channel_.sendNow(text);
    if (sent >= 0) return size_t(sent);
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) close();
    return 0;
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
  asio::steady_timer answerWrite_;  // for pending_
  std::shared_ptr<PendingWrite> pending_;  // until answered
  asio::steady_timer heldAnswer_;  // a failed login's, held back
  Clock::time_point lastLine_;
  std::string line_;  // the request answered, its capacity kept for the next
  std::string unsent_;
  std::string sending_;
#ifdef ZQUPSNETD_TLS
  bool reading_ = false;
#endif
  // Plain TCP: waiting for room in the socket; TLS: a write in flight.
  bool writing_ = false;
  std::optional<PasswordChecks::Id> check_;  // waiting for it
  struct {
    bool input = false, output = false;
  } watched_;  // plain TCP, by the SocketSet
  bool waiting_ = false;  // for a password check or a write
  bool closing_ = false;  // after what is unsent
  bool closed_ = false;
  // Plain until OK STARTTLS is sent, then nothing is read until the
  // handshake is over.
  enum class Tls { Plain, Upgrading, Handshaking, On } tlsStage_ = Tls::Plain;
  std::array<char, 1024> input_;  // last: the fields above share fewer cache lines
};

bool Server::listen(const tcp::endpoint& endpoint, std::string* error) {
  if (!sockets_.open(error)) return false;
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
  sockets_.start([](void* owner, bool input, bool output) {
    const auto connection = static_cast<Connection*>(owner)->shared_from_this();
    connection->ready(input, output);
  });
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
  sockets_.stop();
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
  const bool sourceFull = found != perSource_.end() && found->second >= limits_.maxPerAddress;
  const char* refused = nullptr;
  if (sourceFull && !makeRoom(&source))
    refused = "too many connections from its address";
  else if (connections_.size() >= limits_.maxConnections && !makeRoom(nullptr))
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

bool Server::makeRoom(const std::string* source) {
  Connection* idlest = nullptr;
  for (const auto& [connection, kept] : connections_)
    if (connection->mayGo() && (source == nullptr || connection->source() == *source) &&
        (idlest == nullptr || connection->lastLine() < idlest->lastLine()))
      idlest = connection;
  if (idlest == nullptr) return false;
  idlest->drop(source != nullptr
                   ? "idle longest of those from its address not signed in, for a new client"
                   : "idle longest of those not signed in, for a new client");
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
