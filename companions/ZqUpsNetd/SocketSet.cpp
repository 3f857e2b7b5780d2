#include "SocketSet.h"

#include <boost/asio/post.hpp>

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/epoll.h>
#else
#include <sys/types.h>
#include <sys/event.h>
#include <sys/time.h>
#endif

#include <cstring>

namespace zqnetd {

namespace {

constexpr int kBatch = 256;

}  // namespace

bool SocketSet::open(std::string* error) {
  if (descriptor_.is_open()) return true;
#ifdef __linux__
  const int fd = ::epoll_create1(EPOLL_CLOEXEC);
#else
  const int fd = ::kqueue();
  if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
  if (fd < 0) {
    *error = std::string("cannot watch sockets: ") + std::strerror(errno);
    return false;
  }
  boost::system::error_code ec;
  descriptor_.assign(fd, ec);
  if (ec) {
    ::close(fd);
    *error = "cannot watch sockets: " + ec.message();
    return false;
  }
  return true;
}

void SocketSet::start(Handler handler) {
  handler_ = std::move(handler);
  arm();
}

void SocketSet::stop() {
  stopped_ = true;
  boost::system::error_code ignored;
  descriptor_.close(ignored);
}

void SocketSet::arm() {
  if (stopped_ || !descriptor_.is_open()) return;
  descriptor_.async_wait(zqloop::asio::posix::descriptor_base::wait_read,
                         [this](const boost::system::error_code& ec) {
                           if (!ec) poll();
                         });
}

// While sockets were ready, looks again once the loop has run its other
// work (under load the next are ready by then, and a look costs less than
// waiting for the set's descriptor again); else waits for it.
void SocketSet::poll() {
  if (stopped_) return;
  if (!dispatch()) return arm();
  zqloop::asio::post(descriptor_.get_executor(), [this] { poll(); });
}

bool SocketSet::dispatch() {
  if (!collect()) return false;
  for (next_ = 0; next_ < batch_.size(); ++next_) {
    const Ready ready = batch_[next_];
    if (ready.owner != nullptr) handler_(ready.owner, ready.input, ready.output);
  }
  batch_.clear();
  return true;
}

void SocketSet::remove(int fd, void* owner) {
  for (size_t i = next_ + 1; i < batch_.size(); ++i)
    if (batch_[i].owner == owner) batch_[i].owner = nullptr;
#ifdef __linux__
  ::epoll_ctl(descriptor_.native_handle(), EPOLL_CTL_DEL, fd, nullptr);
#else
  struct kevent changes[2];
  EV_SET(&changes[0], fd, EVFILT_READ, EV_DELETE, 0, 0, nullptr);
  EV_SET(&changes[1], fd, EVFILT_WRITE, EV_DELETE, 0, 0, nullptr);
  ::kevent(descriptor_.native_handle(), changes, 2, nullptr, 0, nullptr);
#endif
}

#ifdef __linux__

bool SocketSet::add(int fd, void* owner) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = owner;
  return ::epoll_ctl(descriptor_.native_handle(), EPOLL_CTL_ADD, fd, &event) == 0;
}

bool SocketSet::change(int fd, void* owner, bool input, bool output) {
  epoll_event event{};
  event.events = (input ? uint32_t(EPOLLIN) : 0u) | (output ? uint32_t(EPOLLOUT) : 0u);
  event.data.ptr = owner;
  return ::epoll_ctl(descriptor_.native_handle(), EPOLL_CTL_MOD, fd, &event) == 0;
}

bool SocketSet::collect() {
  epoll_event events[kBatch];
  const int count = ::epoll_wait(descriptor_.native_handle(), events, kBatch, 0);
  for (int i = 0; i < count; ++i) {
    // A failed socket is reported whatever it is watched for.
    const uint32_t failed = events[i].events & (EPOLLERR | EPOLLHUP);
    batch_.push_back({events[i].data.ptr, (events[i].events & EPOLLIN) || failed,
                      (events[i].events & EPOLLOUT) || failed});
  }
  return count > 0;
}

#else

bool SocketSet::add(int fd, void* owner) { return change(fd, owner, true, false); }

bool SocketSet::change(int fd, void* owner, bool input, bool output) {
  struct kevent changes[2];
  EV_SET(&changes[0], fd, EVFILT_READ, EV_ADD | (input ? EV_ENABLE : EV_DISABLE), 0, 0, owner);
  EV_SET(&changes[1], fd, EVFILT_WRITE, EV_ADD | (output ? EV_ENABLE : EV_DISABLE), 0, 0, owner);
  return ::kevent(descriptor_.native_handle(), changes, 2, nullptr, 0, nullptr) == 0;
}

bool SocketSet::collect() {
  struct kevent events[kBatch];
  const timespec now{0, 0};
  const int count = ::kevent(descriptor_.native_handle(), nullptr, 0, events, kBatch, &now);
  for (int i = 0; i < count; ++i) {
    const bool failed = (events[i].flags & EV_ERROR) != 0;
    batch_.push_back({events[i].udata, events[i].filter == EVFILT_READ || failed,
                      events[i].filter == EVFILT_WRITE || failed});
  }
  return count > 0;
}

#endif

}  // namespace zqnetd
