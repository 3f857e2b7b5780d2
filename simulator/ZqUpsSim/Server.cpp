#include "Server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <cstring>

#include "ZqUpsWire.h"

namespace zqsim {

struct Server::Connection {
  enum class Phase { Reading, Waiting, Sending, Holding, Done };
  int fd = -1;
  Phase phase = Phase::Reading;
  Bytes in;
  size_t total = 0;
  Delivery delivery;
  size_t sent = 0;
  size_t held = 0;             // bytes of this connection counted in held_
  Clock::time_point limit;     // end of the phase: whole request, the delay, whole reply
  Clock::time_point nextByte;  // when the next byte may go out
  bool awaitWritable = false;  // the last send found the client's buffer full
  Clock::time_point progress;  // when it last moved on
  ~Connection() {
    if (fd >= 0) ::close(fd);
  }
};

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// Descriptors kept free beside the connections: the standard three, the
// listener, the stop pipe and a few for whatever else the process opens.
constexpr rlim_t kSpareDescriptors = 8;
// How long accept() rests after running out of descriptors or memory.
constexpr Millis kAcceptRest(100);
// At most this many connections are taken from the queue per round, so
// that those already in hand are served meanwhile.
constexpr int kAcceptsPerRound = 64;
// Once this much memory held for clients has been let go, the allocator
// is asked to hand its free pages back.
constexpr size_t kReturnMemoryAfter = size_t{1} << 20;

// glibc keeps what is freed for reuse, and once one large block has been
// freed it serves blocks of that size from its heap instead of mapping
// them apart: a burst of large replies would stay resident for good.
// Other allocators return large blocks to the system by themselves.
void returnFreeMemory() {
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
}

bool setFlags(int fd) {
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0 || ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) != 0) return false;
  if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return false;
  return zqwire::keepFromSigpipe(fd);
}

// A connection ready for the loop: non-blocking and close-on-exec, in one
// call where the platform has accept4 (three fewer calls per exchange).
int acceptConnection(int listenFd) {
#if defined(SOCK_NONBLOCK) && defined(SOCK_CLOEXEC)
  const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd >= 0 && !zqwire::keepFromSigpipe(fd)) {
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

bool wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

bool makeAddress(const std::string& path, sockaddr_un* address) {
  return zqwire::unixAddress(path.c_str(), address);
}

// Where the socket is bound before it goes onto the path: the same folder
// (rename and link stay within one file system), named for this process.
std::string privateNameFor(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  return folder + (folder == "/" ? "" : "/") + ".ZqUpsSim." + std::to_string(::getpid());
}

// What stands at the path: nothing, a socket nobody listens on, a live
// service, or something we must not touch.
enum class PathState { Free, Stale, Live, Foreign, Unknown };

// Connects without blocking: a service whose queue is full (or that is
// stopped) answers EAGAIN at once instead of keeping us waiting.
PathState probePath(const std::string& path, int* err) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) {
    *err = errno;
    return *err == ENOENT ? PathState::Free : PathState::Unknown;
  }
  if (!S_ISSOCK(info.st_mode)) return PathState::Foreign;
  sockaddr_un address;
  makeAddress(path, &address);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || !setFlags(fd)) {
    *err = errno;
    if (fd >= 0) ::close(fd);
    return PathState::Unknown;
  }
  const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  *err = errno;
  ::close(fd);
  if (rc == 0 || *err == EAGAIN || *err == EWOULDBLOCK || *err == EINPROGRESS)
    return PathState::Live;
  if (*err == ENOENT) return PathState::Free;
  return *err == ECONNREFUSED ? PathState::Stale : PathState::Unknown;
}

bool outOfResources(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

// The connections that the descriptor limit leaves room for, beside the
// descriptors up to `highestInUse`, which may all be open.
size_t descriptorRoom(int highestInUse) {
  rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  const rlim_t used = rlim_t(highestInUse) + 1 + kSpareDescriptors;
  return limit.rlim_cur > used ? size_t(limit.rlim_cur - used) : 1;
}

int millisUntil(Clock::time_point from, Clock::time_point to) {
  if (to <= from) return 0;
  const auto ms = std::chrono::duration_cast<Millis>(to - from).count() + 1;
  return static_cast<int>(std::min<long long>(ms, 60000));
}

long long millisBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<Millis>(to - from).count();
}

// The pauses of a bytewise reply, added to the reply's limit; capped so
// that no time point overflows.
Millis bytewisePauses(const Delivery& d) {
  if (!d.bytewise || d.bytes.empty()) return Millis(0);
  const long long cap = 1LL << 40;
  const long long pauses = static_cast<long long>(d.bytes.size() - 1);
  if (d.byteGapMillis != 0 && pauses > cap / d.byteGapMillis) return Millis(cap);
  return Millis(pauses * d.byteGapMillis);
}

}  // namespace

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
  if (listenFd_ >= 0) ::close(listenFd_);
  if (!privateName_.empty()) ::unlink(privateName_.c_str());
  removeSocketFile();
  for (int fd : wake_)
    if (fd >= 0) ::close(fd);
}

bool Server::listen(std::string* why) {
  const std::string& path = options_.socketPath;
  sockaddr_un address;
  if (!makeAddress(path, &address) || !makeAddress(privateNameFor(path), &address)) {
    *why = "socket path '" + path + "' is empty or too long";
    return false;
  }
  if (wake_[0] < 0 || wake_[1] < 0) {
    *why = std::string("cannot make the stop pipe: ") + std::strerror(errno);
    return false;
  }
  if (!bindPrivately(privateNameFor(path), why) || !placeOnPath(why)) return false;
  struct stat info;
  if (::stat(path.c_str(), &info) == 0) {
    bound_ = true;
    socketDev_ = info.st_dev;
    socketIno_ = info.st_ino;
  }
  cap_ = std::min(options_.maxConnections,
                  descriptorRoom(std::max({listenFd_, wake_[0], wake_[1]})));
  start_ = Clock::now();
  return true;
}

// A listening socket under a name of this process's own, with its mode
// set, so that it appears on the path ready and reachable in one step.
bool Server::bindPrivately(const std::string& name, std::string* why) {
  sockaddr_un address;
  makeAddress(name, &address);
  ::unlink(name.c_str());  // left by an earlier process of this number, which is gone
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (listenFd_ < 0 || !setFlags(listenFd_) ||
      ::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    *why = "cannot bind " + name + ": " + std::strerror(errno);
    return false;
  }
  privateName_ = name;
  if (::chmod(name.c_str(), options_.socketMode) != 0 || ::listen(listenFd_, SOMAXCONN) != 0) {
    *why = "cannot listen on " + name + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// Moves the socket onto the path.  A free path is taken with link(), which
// never replaces anything; a stale socket is replaced by rename(), which
// never leaves the path empty.  Nothing is ever unlinked from the path,
// so a second simulator's fresh socket cannot be lost to a race.
bool Server::placeOnPath(std::string* why) {
  const std::string& path = options_.socketPath;
  for (int attempt = 0; attempt < 3; ++attempt) {
    int err = 0;
    switch (probePath(path, &err)) {
      case PathState::Live:
        *why = "a service already listens on " + path;
        return false;
      case PathState::Foreign:
        *why = path + " exists and is not a socket; leaving it alone";
        return false;
      case PathState::Unknown:
        *why = "cannot tell whether " + path + " is in use: " + std::strerror(err);
        return false;
      case PathState::Free:
        if (::link(privateName_.c_str(), path.c_str()) == 0) {
          ::unlink(privateName_.c_str());
          privateName_.clear();
          return true;
        }
        if (errno == EEXIST) continue;  // someone was quicker: look again
        break;  // no hard links here: rename instead
      case PathState::Stale:
        break;
    }
    if (::rename(privateName_.c_str(), path.c_str()) != 0) {
      *why = "cannot put the socket on " + path + ": " + std::strerror(errno);
      return false;
    }
    privateName_.clear();
    return true;
  }
  *why = path + " keeps changing; giving up";
  return false;
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
  errno = savedErrno;
}

bool Server::run(std::string* why) {
  std::vector<pollfd> fds;
  for (;;) {
    if (stopping_.load()) return true;
    const Clock::time_point now = Clock::now();
    const bool accepting = now >= acceptPausedUntil_;
    fds.assign({{wake_[0], POLLIN, 0}, {listenFd_, short(accepting ? POLLIN : 0), 0}});
    for (const auto& c : connections_) fds.push_back({c->fd, eventsFor(*c), 0});
    if (::poll(fds.data(), fds.size(), pollTimeout(now)) < 0 && errno != EINTR) {
      *why = std::string("poll failed: ") + std::strerror(errno);
      return false;
    }
    if (fds[0].revents != 0) return true;
    const Clock::time_point after = Clock::now();
    const size_t count = connections_.size();
    for (size_t i = 0; i < count; ++i) serveConnection(*connections_[i], fds[i + 2].revents, after);
    removeDone();
    if (fds[1].revents != 0) acceptAll(after);
    if (released_ >= kReturnMemoryAfter) {
      released_ = 0;
      returnFreeMemory();
    }
  }
}

short Server::eventsFor(const Connection& c) const {
  switch (c.phase) {
    case Connection::Phase::Reading:
    case Connection::Phase::Holding:
      return POLLIN;
    case Connection::Phase::Sending:
      return c.awaitWritable ? POLLOUT : 0;
    default:
      return 0;  // a hang-up is reported all the same
  }
}

int Server::pollTimeout(Clock::time_point now) const {
  int timeout = -1;
  auto until = [&](Clock::time_point at) {
    const int t = millisUntil(now, at);
    if (timeout < 0 || t < timeout) timeout = t;
  };
  if (acceptPausedUntil_ > now) until(acceptPausedUntil_);
  for (const auto& c : connections_) {
    if (c->phase == Connection::Phase::Holding) continue;  // lasts until the client goes
    until(c->limit);
    if (c->phase == Connection::Phase::Sending && !c->awaitWritable) until(c->nextByte);
  }
  return timeout;
}

// Accepts what is pending.  A connection served whole at once ends the
// round: the next client has most likely not connected yet, and poll()
// will say when it has.
void Server::acceptAll(Clock::time_point now) {
  for (int i = 0; i < kAcceptsPerRound && acceptOne(now); ++i) {
    if (connections_.back()->phase == Connection::Phase::Done) {
      connections_.pop_back();
      return;
    }
    if (connections_.size() > cap_) {
      makeRoom(*connections_.back(), now);
      removeDone();
    }
  }
}

void Server::removeDone() {
  connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                    [](const std::unique_ptr<Connection>& c) {
                                      return c->phase == Connection::Phase::Done;
                                    }),
                     connections_.end());
}

// Accepts one connection and serves it as far as it goes without waiting
// (it may be done already); false when accept() failed.
bool Server::acceptOne(Clock::time_point now) {
  const int fd = acceptConnection(listenFd_);
  if (fd == -2) return false;
  if (fd < 0) {
    noteAcceptFailure(errno, now);
    return false;
  }
  if (acceptStalled_) {
    log_ << "ZqUpsSim: accepting connections again" << std::endl;
    acceptStalled_ = false;
  }
  std::unique_ptr<Connection> c(new Connection);
  c->fd = fd;
  c->progress = now;
  c->limit = now + Millis(options_.requestLimitMillis);
  // The client writes right after connecting: its request is often here
  // already, and the whole exchange is then over before this returns.
  receive(*c, now);
  connections_.push_back(std::move(c));
  return true;
}

// Out of descriptors or memory: rest a moment, and say so once when it
// starts (and once when it ends), not every round.
void Server::noteAcceptFailure(int err, Clock::time_point now) {
  if (!outOfResources(err)) return;
  acceptPausedUntil_ = now + kAcceptRest;
  if (acceptStalled_) return;
  acceptStalled_ = true;
  log_ << "ZqUpsSim: cannot accept more connections for now: " << std::strerror(err)
       << std::endl;
}

// Over the cap: the connection that has made no progress for longest
// gives way to the newcomer `keep`.
void Server::makeRoom(const Connection& keep, Clock::time_point now) {
  Connection* stalest = nullptr;
  for (const auto& c : connections_) {
    if (c.get() == &keep || c->phase == Connection::Phase::Done) continue;
    if (stalest == nullptr || c->progress < stalest->progress) stalest = c.get();
  }
  if (stalest == nullptr) return;
  drop(*stalest, "dropped to make room for a new client; no progress for " +
                     std::to_string(millisBetween(stalest->progress, now)) + " ms");
}

void Server::serveConnection(Connection& c, short revents, Clock::time_point now) {
  using Phase = Connection::Phase;
  if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return hangUp(c);
  switch (c.phase) {
    case Phase::Reading:
      if ((revents & POLLIN) != 0) return receive(c, now);
      if (now >= c.limit)
        drop(c, "no whole request within " + std::to_string(options_.requestLimitMillis) +
                    " ms");
      return;
    case Phase::Waiting:
      if (now >= c.limit) startSending(c, now);
      return;
    case Phase::Sending:
      if ((revents & POLLOUT) != 0 || (!c.awaitWritable && now >= c.nextByte)) transmit(c, now);
      if (c.phase == Phase::Sending && now >= c.limit)
        drop(c, "reply not taken within its limit; " + std::to_string(c.sent) + " of " +
                    std::to_string(c.delivery.bytes.size()) + " bytes sent");
      return;
    case Phase::Holding:
      if ((revents & POLLIN) != 0) discardInput(c);
      return;
    case Phase::Done:
      return;
  }
}

// The client is gone (or its connection broke): nothing more to do for it.
void Server::hangUp(Connection& c) {
  if (c.phase == Connection::Phase::Reading && !c.in.empty())
    return drop(c, "client left after " + std::to_string(c.in.size()) +
                       " bytes of its request");
  drop(c, "");
}

void Server::receive(Connection& c, Clock::time_point now) {
  // Until the length is known, read as much as fits: most envelopes then
  // arrive in one call.
  uint8_t chunk[4096];
  const size_t want = c.total != 0 ? c.total - c.in.size() : sizeof chunk;
  const ssize_t n = ::recv(c.fd, chunk, std::min(want, sizeof chunk), 0);
  if (n < 0) {
    if (wouldBlock(errno)) return;
    return drop(c, std::string("receive failed: ") + std::strerror(errno));
  }
  if (n == 0) return hangUp(c);
  if (!hold(c, size_t(n))) return;
  // Grows as usual, but never past the envelope's length: a request just
  // over a power of two in size does not hold nearly twice that.
  if (c.total != 0 && c.in.size() + size_t(n) > c.in.capacity())
    c.in.reserve(std::min(c.total, std::max(c.in.capacity() * 2, c.in.size() + size_t(n))));
  c.in.insert(c.in.end(), chunk, chunk + n);
  c.progress = now;
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
  store_.advanceTo(static_cast<uint64_t>(millisBetween(start_, now)));
  Answer a = handleRequest(store_, c.in.data(), c.total, options_.envelopeCap);
  Bytes().swap(c.in);
  release(c);
  if (a.refused) return drop(c, a.why);
  if (!hold(c, a.delivery.bytes.capacity())) return;
  c.delivery = std::move(a.delivery);
  if (c.delivery.delayMillis == 0) return startSending(c, now);
  c.phase = Connection::Phase::Waiting;
  c.limit = now + Millis(c.delivery.delayMillis);
}

void Server::startSending(Connection& c, Clock::time_point now) {
  c.phase = Connection::Phase::Sending;
  c.progress = now;
  c.nextByte = now;
  c.limit = now + Millis(options_.replyLimitMillis) + bytewisePauses(c.delivery);
  transmit(c, now);
}

void Server::transmit(Connection& c, Clock::time_point now) {
  const Bytes& bytes = c.delivery.bytes;
  while (c.sent < bytes.size()) {
    const size_t chunk = c.delivery.bytewise ? 1 : bytes.size() - c.sent;
    const ssize_t n = zqwire::sendNoSignal(c.fd, bytes.data() + c.sent, chunk);
    if (n < 0) {
      c.awaitWritable = wouldBlock(errno);
      if (c.awaitWritable) return;
      return drop(c, "");  // the client went away; nothing to report
    }
    c.awaitWritable = false;
    c.sent += static_cast<size_t>(n);
    c.progress = now;
    if (c.delivery.bytewise && c.sent < bytes.size()) {
      c.nextByte = now + Millis(c.delivery.byteGapMillis);
      if (c.delivery.byteGapMillis != 0) return;
    }
  }
  if (!c.delivery.holdOpen) return drop(c, "");
  release(c);
  Bytes().swap(c.delivery.bytes);
  c.phase = Connection::Phase::Holding;
}

// A hung connection reads and forgets what the client sends, so that its
// hang-up is seen.
void Server::discardInput(Connection& c) {
  uint8_t sink[512];
  const ssize_t n = ::recv(c.fd, sink, sizeof sink, 0);
  if (n == 0 || (n < 0 && !wouldBlock(errno))) drop(c, "");
}

// Counts `bytes` more against the memory cap for `c`; drops it when they
// do not fit.
bool Server::hold(Connection& c, size_t bytes) {
  if (held_ + bytes > options_.memoryCap) {
    drop(c, "memory for clients exhausted (" + std::to_string(held_) + " bytes held, cap " +
                std::to_string(options_.memoryCap) + ")");
    return false;
  }
  held_ += bytes;
  c.held += bytes;
  return true;
}

void Server::release(Connection& c) {
  held_ -= c.held;
  released_ += c.held;
  c.held = 0;
}

void Server::drop(Connection& c, const std::string& why) {
  if (!why.empty()) log_ << "ZqUpsSim: closed a connection: " << why << std::endl;
  release(c);
  ::close(c.fd);
  c.fd = -1;
  c.phase = Connection::Phase::Done;
  Bytes().swap(c.in);
  Bytes().swap(c.delivery.bytes);
}

}  // namespace zqsim
