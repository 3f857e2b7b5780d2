#include "Server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#if !defined(MSG_NOSIGNAL) && !defined(SO_NOSIGPIPE)
#error "no way to keep a write to a closed connection from raising SIGPIPE"
#endif

// Linux's accept() honours SO_RCVTIMEO on a blocking listener (EAGAIN when
// the time runs out) and fails with EINVAL once the listener is shut down
// for reading; elsewhere the server keeps waiting in poll().
#if defined(__linux__) && defined(SO_RCVTIMEO)
#define ZQSIM_BLOCKING_ACCEPT 1
#endif

namespace zqsim {

struct Server::Connection {
  enum class Phase { Reading, Waiting, Sending, Holding, Done };
  int fd = -1;
  Phase phase = Phase::Reading;
  Bytes in;
  size_t total = 0;
  Delivery delivery;
  size_t sent = 0;
  Clock::time_point deadline;  // idle limit, end of a delay, or the next single byte
  ~Connection() {
    if (fd >= 0) ::close(fd);
  }
};

namespace {

bool setNoSigpipe(int fd) {
#if !defined(MSG_NOSIGNAL) && defined(SO_NOSIGPIPE)
  int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) != 0) return false;
#endif
  (void)fd;
  return true;
}

bool setFlags(int fd) {
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0 || ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) != 0) return false;
  if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return false;
  return setNoSigpipe(fd);
}

// A connection ready for the loop: non-blocking and close-on-exec, in one
// call where the platform has accept4 (three fewer calls per exchange).
int acceptConnection(int listenFd) {
#if defined(SOCK_NONBLOCK) && defined(SOCK_CLOEXEC)
  const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd >= 0 && !setNoSigpipe(fd)) {
    ::close(fd);
    return -2;
  }
#else
  const int fd = ::accept(listenFd, nullptr, nullptr);
  if (fd >= 0 && !setFlags(fd)) {
    ::close(fd);
    return -2;
  }
#endif
  return fd;
}

ssize_t sendSome(int fd, const uint8_t* data, size_t size) {
#ifdef MSG_NOSIGNAL
  return ::send(fd, data, size, MSG_NOSIGNAL);
#else
  return ::send(fd, data, size, 0);
#endif
}

bool makeAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// What stands at the path: nothing, a socket nobody listens on, a live
// service, or something we must not touch.
enum class PathState { Free, Stale, Live, Foreign, Unknown };

PathState probePath(const sockaddr_un& address, int* err) {
  struct stat info;
  if (::lstat(address.sun_path, &info) != 0) {
    *err = errno;
    return *err == ENOENT ? PathState::Free : PathState::Unknown;
  }
  if (!S_ISSOCK(info.st_mode)) return PathState::Foreign;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) {
    *err = errno;
    return PathState::Unknown;
  }
  const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  *err = errno;
  ::close(fd);
  if (rc == 0 || *err == EAGAIN) return PathState::Live;  // EAGAIN: a listener with a full queue
  return *err == ECONNREFUSED ? PathState::Stale : PathState::Unknown;
}

#ifdef ZQSIM_BLOCKING_ACCEPT
// One wait in accept() lasts at most this long before run() looks at the
// stop flag again.  stop() ends the wait at once; this only bounds a miss.
constexpr long kAcceptWaitMicros = 150000;

bool makeBlockingListener(int fd) {
  timeval limit{};
  limit.tv_usec = kAcceptWaitMicros;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) return false;
  const int fl = ::fcntl(fd, F_GETFL);
  return fl >= 0 && ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) == 0;
}
#endif

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

// A failed accept() that leaves the listener as good as before.
bool acceptMayRetry(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNABORTED ||
         err == EPROTO;
}

bool outOfResources(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

int millisUntil(std::chrono::steady_clock::time_point from,
                std::chrono::steady_clock::time_point to) {
  if (to <= from) return 0;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count() + 1;
  return static_cast<int>(std::min<long long>(ms, 60000));
}

}  // namespace

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "stop() must be safe in a signal handler");

Server::Server(Store& store, ServerOptions options, std::ostream& log)
    : store_(store), options_(std::move(options)), log_(log) {
  if (::pipe(wake_) != 0) wake_[0] = wake_[1] = -1;
  for (int& fd : wake_) {
    if (fd >= 0 && !setFlags(fd)) {
      ::close(fd);
      fd = -1;
    }
  }
}

Server::~Server() {
  connections_.clear();
  blockingListenFd_.store(-1);
  if (listenFd_ >= 0) ::close(listenFd_);
  removeSocketFile();
  for (int fd : wake_)
    if (fd >= 0) ::close(fd);
}

bool Server::listen(std::string* why) {
  const std::string& path = options_.socketPath;
  sockaddr_un address;
  if (!makeAddress(path, &address)) {
    *why = "socket path '" + path + "' is empty or too long";
    return false;
  }
  if (wake_[0] < 0 || wake_[1] < 0) {
    *why = std::string("cannot make the stop pipe: ") + std::strerror(errno);
    return false;
  }
  int err = 0;
  switch (probePath(address, &err)) {
    case PathState::Live:
      *why = "a service already listens on " + path;
      return false;
    case PathState::Foreign:
      *why = path + " exists and is not a socket; leaving it alone";
      return false;
    case PathState::Unknown:
      *why = "cannot tell whether " + path + " is in use: " + std::strerror(err);
      return false;
    case PathState::Stale:
      if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        *why = "cannot remove the stale socket " + path + ": " + std::strerror(errno);
        return false;
      }
      break;
    case PathState::Free:
      break;
  }
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (listenFd_ < 0 || !setFlags(listenFd_) ||
      ::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    *why = "cannot bind " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat info;
  if (::stat(path.c_str(), &info) == 0) {
    bound_ = true;
    socketDev_ = info.st_dev;
    socketIno_ = info.st_ino;
  }
  if (::listen(listenFd_, SOMAXCONN) != 0) {
    *why = "cannot listen on " + path + ": " + std::strerror(errno);
    return false;
  }
#ifdef ZQSIM_BLOCKING_ACCEPT
  blockingAccept_ = makeBlockingListener(listenFd_);
  if (blockingAccept_) blockingListenFd_.store(listenFd_);
#endif
  start_ = Clock::now();
  return true;
}

// Removes the socket file only while it is still the one this server made.
void Server::removeSocketFile() {
  struct stat info;
  if (bound_ && ::lstat(options_.socketPath.c_str(), &info) == 0 && info.st_dev == socketDev_ &&
      info.st_ino == socketIno_)
    ::unlink(options_.socketPath.c_str());
  bound_ = false;
}

void Server::stop() {
  const int savedErrno = errno;  // a signal handler must leave errno alone
  stopping_.store(true);
  const char byte = 1;
  if (wake_[1] >= 0 && ::write(wake_[1], &byte, 1) < 0) {
    // The pipe is full: a stop is already pending.
  }
  // Shutting the listener down ends a wait in accept() at once, even from
  // a signal handler, and connects to nothing: the path may be another's.
  const int fd = blockingListenFd_.load();
  if (fd >= 0) ::shutdown(fd, SHUT_RD);
  errno = savedErrno;
}

bool Server::stopPending() const { return stopping_.load() || readable(wake_[0]); }

bool Server::run(std::string* why) {
  std::vector<pollfd> fds;
  for (;;) {
    if (stopping_.load()) return true;
    const Clock::time_point now = Clock::now();
    const bool accepting =
        now >= acceptPausedUntil_ && connections_.size() < options_.maxConnections;
    if (blockingAccept_ && accepting && connections_.empty()) {
      // Nothing to watch but the listener and the stop flag: wait in
      // accept() itself, one call fewer per exchange than through poll().
      if (acceptOne() || acceptMayRetry(errno) || outOfResources(errno)) continue;
      if (stopPending()) return true;
      *why = std::string("accept failed: ") + std::strerror(errno);
      return false;
    }
    fds.assign({{wake_[0], POLLIN, 0}, {listenFd_, short(accepting ? POLLIN : 0), 0}});
    for (const auto& c : connections_) {
      short events = 0;
      if (c->phase == Connection::Phase::Reading || c->phase == Connection::Phase::Holding)
        events = POLLIN;
      else if (c->phase == Connection::Phase::Sending &&
               (!c->delivery.bytewise || c->deadline <= now))
        events = POLLOUT;
      fds.push_back({c->fd, events, 0});
    }
    if (::poll(fds.data(), fds.size(), pollTimeout(now)) < 0 && errno != EINTR) {
      *why = std::string("poll failed: ") + std::strerror(errno);
      return false;
    }
    if (fds[0].revents != 0) return true;
    const Clock::time_point after = Clock::now();
    const size_t count = connections_.size();
    for (size_t i = 0; i < count; ++i) serveConnection(*connections_[i], fds[i + 2].revents, after);
    connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                      [](const std::unique_ptr<Connection>& c) {
                                        return c->phase == Connection::Phase::Done;
                                      }),
                       connections_.end());
    // A blocking listener is accepted from only when a connection waits.
    const bool pending =
        blockingAccept_ ? (fds[1].revents & POLLIN) != 0 : fds[1].revents != 0;
    if (pending) acceptAll();
  }
}

int Server::pollTimeout(Clock::time_point now) const {
  int timeout = -1;
  if (acceptPausedUntil_ > now) timeout = millisUntil(now, acceptPausedUntil_);
  for (const auto& c : connections_) {
    if (c->phase == Connection::Phase::Holding) continue;
    if (c->phase == Connection::Phase::Sending && !c->delivery.bytewise) continue;
    const int t = millisUntil(now, c->deadline);
    if (timeout < 0 || t < timeout) timeout = t;
  }
  return timeout;
}

// Accepts what is pending, up to the cap.  A blocking listener is asked
// again only when poll() says another connection waits.
void Server::acceptAll() {
  while (connections_.size() < options_.maxConnections) {
    if (!acceptOne()) return;
    if (blockingAccept_ && !readable(listenFd_)) return;
  }
}

// Accepts one connection and serves it as far as it goes without waiting;
// false, with errno set, when accept() failed.
bool Server::acceptOne() {
  const int fd = acceptConnection(listenFd_);
  const Clock::time_point now = Clock::now();
  if (fd == -2) return true;
  if (fd < 0) {
    const int err = errno;
    if (outOfResources(err)) {
      log_ << "ZqUpsSim: cannot accept more connections for now: " << std::strerror(err)
           << std::endl;
      acceptPausedUntil_ = now + std::chrono::milliseconds(100);
    }
    errno = err;
    return false;
  }
  std::unique_ptr<Connection> c(new Connection);
  c->fd = fd;
  c->deadline = now + std::chrono::milliseconds(options_.idleLimitMillis);
  // The client writes right after connecting: its request is often here
  // already, and the whole exchange is then over before this returns.
  receive(*c, now);
  if (c->phase != Connection::Phase::Done) connections_.push_back(std::move(c));
  return true;
}

void Server::drop(Connection& c, const std::string& why) {
  if (!why.empty()) log_ << "ZqUpsSim: closed a connection: " << why << std::endl;
  ::close(c.fd);
  c.fd = -1;
  c.phase = Connection::Phase::Done;
}

void Server::serveConnection(Connection& c, short revents, Clock::time_point now) {
  using Phase = Connection::Phase;
  if (c.phase == Phase::Reading && revents != 0) return receive(c, now);
  if (c.phase == Phase::Reading && now >= c.deadline)
    return drop(c, "no request within " + std::to_string(options_.idleLimitMillis) + " ms");
  if (c.phase == Phase::Waiting && now >= c.deadline) {
    c.phase = Phase::Sending;
    return transmit(c, now);
  }
  if (c.phase == Phase::Sending && (revents != 0 || (c.delivery.bytewise && now >= c.deadline)))
    return transmit(c, now);
  if (c.phase == Phase::Holding && revents != 0) {
    uint8_t sink[512];
    const ssize_t n = ::recv(c.fd, sink, sizeof sink, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) drop(c, "");
  }
}

void Server::receive(Connection& c, Clock::time_point now) {
  // Until the length is known, read as much as fits: most envelopes then
  // arrive in one call.
  uint8_t chunk[4096];
  const size_t want = c.total != 0 ? c.total - c.in.size() : sizeof chunk;
  const ssize_t n = ::recv(c.fd, chunk, std::min(want, sizeof chunk), 0);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    return drop(c, std::string("receive failed: ") + std::strerror(errno));
  }
  if (n == 0) {
    return drop(c, c.in.empty() ? std::string()
                                : "client left after " + std::to_string(c.in.size()) +
                                      " bytes of its request");
  }
  c.in.insert(c.in.end(), chunk, chunk + n);
  c.deadline = now + std::chrono::milliseconds(options_.idleLimitMillis);
  std::string why;
  switch (checkFraming(c.in.data(), c.in.size(), options_.envelopeCap, &c.total, &why)) {
    case Framing::Refuse:
      return drop(c, why);
    case Framing::Complete:
      return answer(c, now);
    case Framing::NeedMore:
      return;
  }
}

void Server::answer(Connection& c, Clock::time_point now) {
  store_.advanceTo(static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now - start_).count()));
  Answer a = handleRequest(store_, c.in.data(), c.total, options_.envelopeCap);
  Bytes().swap(c.in);
  if (a.refused) return drop(c, a.why);
  c.delivery = std::move(a.delivery);
  c.deadline = now + std::chrono::milliseconds(c.delivery.delayMillis);
  c.phase = c.delivery.delayMillis != 0 ? Connection::Phase::Waiting : Connection::Phase::Sending;
  if (c.phase == Connection::Phase::Sending) transmit(c, now);
}

void Server::transmit(Connection& c, Clock::time_point now) {
  const Bytes& bytes = c.delivery.bytes;
  while (c.sent < bytes.size()) {
    const size_t chunk = c.delivery.bytewise ? 1 : bytes.size() - c.sent;
    const ssize_t n = sendSome(c.fd, bytes.data() + c.sent, chunk);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      return drop(c, "");  // the client went away; nothing to report
    }
    c.sent += static_cast<size_t>(n);
    if (c.delivery.bytewise && c.sent < bytes.size()) {
      c.deadline = now + std::chrono::milliseconds(c.delivery.byteGapMillis);
      if (c.delivery.byteGapMillis != 0) return;
    }
  }
  if (c.delivery.holdOpen)
    c.phase = Connection::Phase::Holding;
  else
    drop(c, "");
}

}  // namespace zqsim
