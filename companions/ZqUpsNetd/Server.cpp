#include "Server.h"

#include <boost/asio/steady_timer.hpp>

#include "Duration.h"
#include "Request.h"
#include "Transport.h"

namespace zqnetd {

namespace {

const char kTooMany[] = "ERR ACCESS-DENIED too many connections\n";
// For the client's answer to TLS's closing alert.
constexpr auto kGoodbyeTime = std::chrono::seconds(1);

using zqopt::durationText;
// How far a measured age is told.
using Tenths = std::chrono::duration<int64_t, std::deci>;

}  // namespace

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Server* server, tcp::socket socket, std::string address, std::string source)
      : server_(server),
        transport_(plainTransport(std::move(socket))),
        address_(std::move(address)),
        source_(std::move(source)),
        session_(server->shared_, address_),
        idle_(server->io_),
        deadline_(server->io_),
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
    read();
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
    deadline_.cancel();
    heldAnswer_.cancel();
    transport_->close();
    server_->forget(this);
  }

  // Closes and says why.
  void drop(const std::string& why) {
    if (closed_) return;
    server_->clientLog_.note(Clock::now(), "dropped", address_, why);
    close();
  }

 private:
  bool takesInput() const { return !closed_ && !waiting_ && !closing_ && !upgrading(); }

  void read() {
    if (closed_ || reading_) return;
    reading_ = true;
    transport_->readSome([self = shared_from_this()](const boost::system::error_code& ec,
                                                     std::string_view bytes) {
      self->reading_ = false;
      if (self->closed_) return;
      if (ec) return self->close();
      self->framer_.append(bytes.data(), bytes.size());
      self->drain();
    });
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
  void upgrade() {
    tlsStage_ = Tls::Handshaking;
    if (server_->tls_ == nullptr) return close();
    deadline_.expires_after(server_->limits_.handshakeTimeout);
    deadline_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
      if (!ec) self->drop("no TLS handshake in time");
    });
    const bool started = zqnetd::startTls(
        &transport_, *server_->tls_, [self = shared_from_this()](const boost::system::error_code& ec) {
          self->deadline_.cancel();
          if (self->closed_) return;
          if (ec) return self->drop("TLS handshake failed: " + ec.message());
          self->tlsStage_ = Tls::On;
          self->lastLine_ = Clock::now();
          self->drain();
        });
    if (!started) close();
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
    watchGone();
    answerWrite_.expires_at(answerBy);
    // A timer that expired is not stopped by the outcome: the pending
    // write may be the next one by then.
    answerWrite_.async_wait(
        [self = shared_from_this(), pending](const boost::system::error_code& ec) {
          if (!ec && self->pending_ == pending) self->answerBeforeOutcome();
        });
  }

  // A write not sent yet for a client that has gone never is.
  void watchGone() {
    if (watchingGone_) return;
    watchingGone_ = true;
    transport_->watchGone([self = shared_from_this()](bool gone) {
      self->watchingGone_ = false;
      if (gone && self->pending_ && !self->closed_) self->close();
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
    if (!writing_ && unsent_.empty() && !text.empty()) {
      boost::system::error_code ec;
      text.remove_prefix(transport_->sendNow(text, &ec));
      if (ec) return close();
    }
    unsent_ += text;
    session_.replyTaken();
    if (unsent_.size() + sending_.size() > server_->limits_.maxUnsent)
      return drop("more than " + std::to_string(server_->limits_.maxUnsent) + " bytes of replies unread");
    flush();
  }

  // What is unsent, in one write at a time; what comes meanwhile goes
  // with the next.
  void flush() {
    if (writing_ || closed_) return;
    if (unsent_.empty()) {
      if (closing_) return finish();
      if (tlsStage_ == Tls::Upgrading) upgrade();
      return;
    }
    writing_ = true;
    sending_.swap(unsent_);
    transport_->write(asio::buffer(sending_),
                      [self = shared_from_this()](const boost::system::error_code& ec, size_t) {
                        self->writing_ = false;
                        // Most connections are idle most of the time: none
                        // keeps a list's worth of memory.
                        std::string().swap(self->sending_);
                        if (self->closed_) return;
                        if (ec) return self->close();
                        self->flush();
                      });
  }

  // The end after the last reply, within its time.
  void finish() {
    deadline_.expires_after(kGoodbyeTime);
    deadline_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
      if (!ec) self->close();
    });
    transport_->shutdown([self = shared_from_this()](const boost::system::error_code&) { self->close(); });
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
  std::unique_ptr<Transport> transport_;
  std::string address_;
  std::string source_;  // what the limits count it as
  Session session_;
  LineFramer framer_;
  asio::steady_timer idle_;
  asio::steady_timer deadline_;  // the TLS handshake's, then the goodbye's
  asio::steady_timer answerWrite_;  // for pending_
  std::shared_ptr<PendingWrite> pending_;  // until answered
  asio::steady_timer heldAnswer_;  // a failed login's, held back
  Clock::time_point lastLine_;
  std::string line_;  // the request answered, its capacity kept for the next
  std::string unsent_;
  std::string sending_;  // the write in flight
  std::optional<PasswordChecks::Id> check_;  // waiting for it
  bool reading_ = false;  // a read in flight
  bool writing_ = false;  // a write in flight
  bool watchingGone_ = false;
  bool waiting_ = false;  // for a password check or a write
  bool closing_ = false;  // after what is unsent
  bool closed_ = false;
  // Plain until OK STARTTLS is sent, then nothing is read until the
  // handshake is over.
  enum class Tls { Plain, Upgrading, Handshaking, On } tlsStage_ = Tls::Plain;
};

Server::Server(asio::io_context& io, Shared* shared, Limits limits, Offload offload,
               TlsContext* tls)
    : io_(io),
      shared_(shared),
      limits_(limits),
      offload_(offload),
      tls_(tls),
      accepting_(io, zqloop::AcceptRules{
                         limits.maxConnections, [this] { return connections_.size(); },
                         [this](const tcp::socket& newcomer) { return makeRoomFor(newcomer); },
                         [this](tcp::socket socket) { admit(std::move(socket)); },
                         [this](tcp::socket& socket) { refuse(socket); }}),
      passwords_(io, offload.passwords, shared->users, &clientLog_),
      housekeeping_(io),
      staleAt_(io) {}

Server::~Server() = default;

bool Server::listen(const tcp::endpoint& endpoint, std::string* error) {
  return accepting_.listen(endpoint, error);
}

std::vector<tcp::endpoint> Server::endpoints() const { return accepting_.endpoints(); }

void Server::start() {
  accepting_.start();
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

void Server::publish(std::shared_ptr<const Snapshot> snapshot,
                     const std::vector<zqread::PowerEvent>& events) {
  shared_->publish(std::move(snapshot));
  for (const zqread::PowerEvent& event : events)
    if (event.kind == zqread::PowerEventKind::ServiceLost)
      logLine("UPS service lost: " + event.reason);
    else if (event.kind == zqread::PowerEventKind::ServiceBack)
      logLine("UPS service back");
  watchFreshness();
}

// Says when the data turns fresh or stale, and wakes when it will turn
// stale unless the next reading comes first.
void Server::watchFreshness() {
  const Clock::time_point now = Clock::now();
  const bool fresh = shared_->fresh(now);
  if (fresh != fresh_) {
    const bool reached = shared_->snapshot && shared_->snapshot->reached;
    const auto age = [&] { return std::chrono::floor<Tenths>(now - shared_->snapshot->taken); };
    logLine(fresh     ? "data fresh"
            : reached ? "data stale: no reading for " + durationText(age())
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
  accepting_.stop();
  housekeeping_.cancel();
  staleAt_.cancel();
  passwords_.stop();
  while (!connections_.empty()) connections_.begin()->second->close();
  clientLog_.flush(Clock::now(), true);
}

// The address and what the limits count it as; false when the socket
// has no peer any more.
bool Server::peerOf(const tcp::socket& socket, std::string* address, std::string* source) const {
  boost::system::error_code ec;
  const tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec) return false;
  *address = peer.address().to_string();
  *source = sourceOf(peer.address());
  return true;
}

bool Server::sourceFull(const std::string& source) const {
  const auto found = perSource_.find(source);
  return found != perSource_.end() && found->second >= limits_.maxPerAddress;
}

// At the cap in all: from the newcomer's address when that is at its cap
// too, since its own room is then made there or nowhere.
bool Server::makeRoomFor(const tcp::socket& newcomer) {
  std::string address, source;
  if (!peerOf(newcomer, &address, &source)) return false;
  return sourceFull(source) ? makeRoom(&source) : makeRoom(nullptr);
}

void Server::refuse(tcp::socket& socket) {
  std::string address, source;
  if (!peerOf(socket, &address, &source)) return;
  clientLog_.note(Clock::now(), "refused", address,
                  sourceFull(source) ? "too many connections from its address" : "too many connections");
  // Never waits: what does not fit in the socket's buffer is lost.
  boost::system::error_code ec;
  socket.non_blocking(true, ec);
  socket.send(asio::buffer(kTooMany, sizeof kTooMany - 1), 0, ec);
}

void Server::admit(tcp::socket socket) {
  std::string address, source;
  if (!peerOf(socket, &address, &source)) return;
  if (sourceFull(source) && !makeRoom(&source)) return refuse(socket);
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
