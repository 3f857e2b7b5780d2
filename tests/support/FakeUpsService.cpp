#include "FakeUpsService.h"

#include "ZqUpsPoints.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace upstest {

namespace {

// Beside the path it guards, and shared by every user, since the path is.
const char kLockPath[] = "/tmp/UPS0.test-lock";

sockaddr_un serviceAddress() {
  sockaddr_un address;
  zqwire::unixAddress(kServicePath, &address);
  return address;
}

std::string lockFailure(const char* what) {
  return std::string("cannot ") + what + " " + kLockPath + ": " + std::strerror(errno);
}

// Opens the lock file, creating it open to everyone whatever the umask.
// Read access is all flock needs, so a file another user made readable
// serves as well; an existing file is opened without O_CREAT, which
// Linux's protected_regular refuses on other users' files in /tmp.
int openLockFile() {
  for (;;) {
    const int fd = ::open(kLockPath, O_RDONLY | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT) return fd;
    const int created = ::open(kLockPath, O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (created >= 0) {
      ::fchmod(created, 0666);
      return created;
    }
    if (errno != EEXIST) return -1;
  }
}

// Never blocks: a listener whose queue is full is as live as one that
// takes the connection.
bool someoneListens() {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address = serviceAddress();
  const bool live = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ||
                    errno == EAGAIN || errno == EINPROGRESS;
  ::close(fd);
  return live;
}

void removePath() {
  struct stat info;
  if (::lstat(kServicePath, &info) != 0) return;
  if (S_ISDIR(info.st_mode))
    ::rmdir(kServicePath);
  else
    ::unlink(kServicePath);
}

}  // namespace

bool skipAllowed() {
  const char* allow = std::getenv("ZQUPS_ALLOW_SKIP");
  return allow != nullptr && std::strcmp(allow, "1") == 0;
}

PathClaim::PathClaim() {
  lockFd_ = openLockFile();
  if (lockFd_ < 0) {
    why_ = lockFailure("open");
    return;
  }
  if (::flock(lockFd_, LOCK_EX) != 0) {
    why_ = lockFailure("lock");
    return;
  }
  struct stat info;
  if (::lstat(kServicePath, &info) != 0) return;
  if (someoneListens()) {
    why_ = std::string("a live service listens on ") + kServicePath +
           "; this test leaves it alone (stop that service to run it)";
    return;
  }
  removePath();
}

PathClaim::~PathClaim() {
  if (ok()) removePath();
  if (lockFd_ >= 0) ::close(lockFd_);
}

Bytes Peer::readEnvelope(size_t chunk, int pauseMs) {
  Bytes envelope;
  uint32_t total = zqwire::kEnvelopeHeaderSize;
  Bytes buffer(chunk);
  while (envelope.size() < total) {
    if (!envelope.empty() && pauseMs > 0) pause(pauseMs);
    size_t want = std::min(chunk, total - envelope.size());
    ssize_t n = ::recv(fd_, buffer.data(), want, 0);
    if (n <= 0) break;
    envelope.insert(envelope.end(), buffer.begin(), buffer.begin() + n);
    if (envelope.size() >= 4) total = std::max<uint32_t>(wordAt(envelope, 0), 4);
  }
  service_.record(envelope);
  return envelope;
}

bool Peer::send(const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = zqwire::sendNoSignal(fd_, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void Peer::dribble(const Bytes& bytes, int pauseMs) {
  for (uint8_t b : bytes) {
    if (service_.stopping() || !send({b})) return;
    pause(pauseMs);
  }
}

void Peer::sendWord(uint32_t word) { send(words({word})); }

void Peer::reply(const Bytes& body) {
  Bytes framed;
  putWord(framed, static_cast<uint32_t>(body.size()));
  framed.insert(framed.end(), body.begin(), body.end());
  send(framed);
}

void Peer::stall() {
  while (!service_.stopping()) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 20) > 0) {
      uint8_t sink[512];
      if (::recv(fd_, sink, sizeof sink, 0) <= 0) return;
    }
  }
}

void Peer::pause(int milliseconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!service_.stopping() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void Peer::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

FakeUpsService::FakeUpsService(Handler handler) : handler_(std::move(handler)) {}

FakeUpsService::~FakeUpsService() { stop(); }

bool FakeUpsService::start(std::string* whyNot) {
  claim_.reset(new PathClaim);
  if (!claim_->ok()) {
    *whyNot = claim_->why();
    return false;
  }
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = serviceAddress();
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) ||
      ::listen(listenFd_, 128)) {
    *whyNot = std::string("cannot listen on ") + kServicePath + ": " + std::strerror(errno);
    return false;
  }
  acceptor_ = std::thread([this] { acceptLoop(); });
  return true;
}

void FakeUpsService::acceptLoop() {
  while (!stopping_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    int fd = ::accept(listenFd_, nullptr, nullptr);
    if (fd < 0) continue;
    ++connections_;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++active_;
    }
    std::thread([this, fd] {
      Peer peer(*this, fd);
      handler_(peer);
      peer.close();
      std::lock_guard<std::mutex> lock(mutex_);
      if (--active_ == 0) idle_.notify_all();
    }).detach();
  }
}

void FakeUpsService::stop() {
  stopping_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  waitIdle();
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = -1;
  claim_.reset();
}

void FakeUpsService::waitIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return active_ == 0; });
}

std::vector<Bytes> FakeUpsService::envelopes() const {
  std::lock_guard<std::mutex> lock(recordMutex_);
  return envelopes_;
}

Bytes FakeUpsService::lastEnvelope() const {
  std::lock_guard<std::mutex> lock(recordMutex_);
  return envelopes_.empty() ? Bytes() : envelopes_.back();
}

void FakeUpsService::record(const Bytes& envelope) {
  std::lock_guard<std::mutex> lock(recordMutex_);
  envelopes_.push_back(envelope);
}

void putWord(Bytes& bytes, uint32_t word) {
  uint8_t raw[4];
  zqwire::storeWord(raw, word);
  bytes.insert(bytes.end(), raw, raw + 4);
}

uint32_t wordAt(const Bytes& bytes, size_t offset) {
  return offset + 4 <= bytes.size() ? zqwire::loadWord(bytes.data() + offset) : 0;
}

Bytes words(std::initializer_list<uint32_t> list) {
  Bytes bytes;
  for (uint32_t w : list) putWord(bytes, w);
  return bytes;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes bytes;
  for (const Bytes& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
  return bytes;
}

Bytes readRequest(uint32_t offset, uint32_t length) {
  return concat(
      {words({28 + length, 12, 12, 0x2000, offset, 0xFFFFFFFF, length}), Bytes(length, 0)});
}

Bytes writeRequest(uint32_t offset, const Bytes& data) {
  const uint32_t n = uint32_t(data.size());
  return concat({words({28 + n, 12, 28 + n, 0x2000, offset, 0xFFFFFFFF, n}), data});
}

Bytes accessReply(uint32_t index, uint32_t offset, uint32_t status, const Bytes& data) {
  return concat({words({index, offset, status, static_cast<uint32_t>(data.size())}), data});
}

FakeUpsService::Handler replyWith(const Bytes& body) {
  return [body](Peer& peer) {
    peer.readEnvelope();
    peer.reply(body);
  };
}

FakeUpsService::Handler upsWith(std::map<uint32_t, Answer> odd,
                                const std::atomic<float>* lineVoltage, int pauseMs) {
  return [odd, lineVoltage, pauseMs](Peer& peer) {
    const Bytes envelope = peer.readEnvelope();
    if (envelope.size() < 20) return;
    const uint32_t index = wordAt(envelope, 12), offset = wordAt(envelope, 16);
    peer.pause(pauseMs);
    const auto it = odd.find(offset);
    // A write is answered with its status alone, and stores nothing.
    if (wordAt(envelope, 8) != zqwire::kEnvelopeHeaderSize)
      return peer.reply(accessReply(index, offset, it != odd.end() ? it->second.status : 0, {}));
    if (it != odd.end())
      return peer.reply(accessReply(index, offset, it->second.status, it->second.data));
    const UPSPoint& point = *UPSPointAt(index, offset);
    Bytes data;
    if (offset == UPS_OFFSET_MANUFACTURING_DATE)
      data = textBytes("2024-02-29");
    else if (offset == UPS_OFFSET_BATTERY_REPLACE_DATE)
      data = textBytes("2028-07-01");
    else if (point.type == UPS_POINT_TEXT)
      data = textBytes(point.name);
    else if (point.type == UPS_POINT_VERSION)
      data = {1, 2, 3, 0};
    else if (point.type == UPS_POINT_INTEGER)
      data = bytesOf<int32_t>(42);
    else
      data = bytesOf<float>(offset != UPS_OFFSET_INPUT_VOLTAGE ? 1.5f
                            : lineVoltage                      ? lineVoltage->load()
                                                               : 230.0f);
    peer.reply(accessReply(index, offset, 0, data));
  };
}

int connectToService() {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address = serviceAddress();
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  ::close(fd);
  return -1;
}

int openDescriptorCount() {
  int count = 0;
  const long limit = std::min(::sysconf(_SC_OPEN_MAX), 4096L);
  for (int fd = 0; fd < limit; ++fd)
    if (::fcntl(fd, F_GETFD) != -1) ++count;
  return count;
}

DeadSocketFile::DeadSocketFile() {
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = serviceAddress();
  if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

DeadSocketFile::~DeadSocketFile() {
  if (fd_ >= 0) {
    ::close(fd_);
    ::unlink(kServicePath);
  }
}

}  // namespace upstest
