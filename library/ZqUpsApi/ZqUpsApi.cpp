// Client calls of the UPS service: one request envelope and one
// length-prefixed reply over a fresh Unix-domain stream connection.

#include "ZqUpsApi.h"

#include "ZqUpsInternal.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>

namespace zqups {
namespace {

using zqwire::loadWord;
using zqwire::storeWord;

// An array that the call owns; zero-filled, freed on every path.
class Bytes {
 public:
  explicit Bytes(size_t size) : data_(size != 0 ? new unsigned char[size]() : nullptr) {}
  ~Bytes() { delete[] data_; }
  Bytes(const Bytes&) = delete;
  Bytes& operator=(const Bytes&) = delete;
  unsigned char* get() const { return data_; }

 private:
  unsigned char* data_;
};

// A socket time-out shows as EAGAIN; the caller is told the wait ran out.
uint32_t waitFailure(int err) {
  return systemCode(err == EAGAIN || err == EWOULDBLOCK ? ETIMEDOUT : err);
}

int createSocket() {
#ifdef SOCK_CLOEXEC
  return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
#else
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
#endif
}

// Sleeps the whole pause, or up to the deadline; a signal that cuts a
// sleep short does not shorten the pause.
void pauseWithin(const Deadline& deadline, Clock::duration pause) {
  const Clock::time_point until = std::min(Clock::now() + pause, deadline.end());
  for (Clock::duration left = until - Clock::now(); left > Clock::duration::zero();
       left = until - Clock::now()) {
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    struct timespec rest = {};
    rest.tv_sec = static_cast<time_t>(nanos / 1000000000);
    rest.tv_nsec = static_cast<long>(nanos % 1000000000);
    ::nanosleep(&rest, nullptr);
  }
}

uint32_t connectWithRetry(Socket& socket) {
  static_assert(sizeof kSocketPath <= sizeof(sockaddr_un::sun_path), "the path fits");
  struct sockaddr_un address;
  zqwire::unixAddress(kSocketPath, &address);
  for (int attempt = 1;; ++attempt) {
    if (socket.connect(reinterpret_cast<const struct sockaddr*>(&address), sizeof address) == 0)
      return UPS_OK;
    if (errno != ECONNREFUSED) return waitFailure(errno);
    if (attempt == kConnectAttempts) return UPSERR_SERVICE_REFUSED;
    pauseWithin(socket.deadline(), kRetryPause);
  }
}

// Reads exactly `size` bytes; the service closing first is ECONNRESET.
uint32_t receiveExact(Socket& socket, unsigned char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = socket.receive(data + done, size - done);
    if (n < 0) return waitFailure(errno);
    if (n == 0) return systemCode(ECONNRESET);
    done += static_cast<size_t>(n);
  }
  return UPS_OK;
}

// Reads the 4-byte reply length.  No byte at all means the service closed
// without answering, which counts as an empty reply.
uint32_t receiveLength(Socket& socket, uint32_t* length) {
  unsigned char bytes[4] = {};
  ssize_t n = socket.receive(bytes, sizeof bytes);
  if (n < 0) return waitFailure(errno);
  if (n > 0 && n < 4) {
    uint32_t rc = receiveExact(socket, bytes + n, sizeof bytes - static_cast<size_t>(n));
    if (rc != UPS_OK) return rc;
  }
  *length = loadWord(bytes);
  return UPS_OK;
}

bool isDataStatus(uint32_t status) { return status == UPS_OK || status == UPSERR_DATA_WITH_STATUS; }

// An access header followed by `length` data bytes (copied, or zeros).
void fillRecord(unsigned char* record, uint32_t index, uint32_t offset, uint32_t length,
                const void* data) {
  storeWord(record, index);
  storeWord(record + 4, offset);
  storeWord(record + 8, UPS_STATUS_PRESET);
  storeWord(record + 12, length);
  if (data != nullptr) std::memcpy(record + kAccessHeaderSize, data, length);
}

bool accessParamsValid(uint32_t readLength, const void* readData, uint32_t writeLength,
                       const void* writeData) {
  const uint32_t maxLength = 0xFFFFFFFFu - kAccessHeaderSize;
  if (readLength == 0 && writeLength == 0) return false;
  if (readLength != 0 && readData == nullptr) return false;
  if (writeLength != 0 && writeData == nullptr) return false;
  if (readLength > maxLength || writeLength > maxLength) return false;
  uint32_t total;
  return envelopeSize(writeLength == 0 ? 0 : writeLength + kAccessHeaderSize,
                      readLength == 0 ? 0 : readLength + kAccessHeaderSize,
                      &total) == UPS_OK;
}

uint32_t deliverRead(const unsigned char* reply, uint32_t received, uint32_t readLength,
                     void* readData, uint32_t* bytesRead) {
  const uint32_t status = loadWord(reply + 8);
  if (!isDataStatus(status)) return status;
  if (received < kAccessHeaderSize) return systemCode(EBADMSG);
  uint32_t length = received - kAccessHeaderSize;
  if (length > readLength) length = readLength;
  std::memcpy(readData, reply + kAccessHeaderSize, length);
  if (bytesRead != nullptr) *bytesRead = length;
  return status;
}

}  // namespace

uint32_t systemCode(int err) { return UPSERR_SYSTEM_BASE | (static_cast<uint32_t>(err) & 0xFFFFu); }

Socket::~Socket() {
  if (fd_ < 0) return;
  // close() is a cancellation point, and a cancellation must not unwind
  // out of a destructor; a pending one acts at the caller's next point.
  int state = 0;
  ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
  ::close(fd_);
  ::pthread_setcancelstate(state, &state);
}

void Socket::adopt(int fd) {
  fd_ = fd;
  startBy_[kReceive] = startBy_[kSend] = Clock::time_point::min();
}

bool Socket::armTimeouts() {
  if (!zqwire::keepFromSigpipe(fd_)) return false;
  if (!kWaitInSocketCalls) return true;
  // Armed as at the start of the call: no clock reading, and a step that
  // starts late for it is armed anew.
  return arm(kReceive, deadline_.start()) && arm(kSend, deadline_.start());
}

// Sets the direction's time-out to what is left of the budget, less the
// reserve; a zero time-out would mean none, so then the budget is spent.
bool Socket::arm(Direction direction, Clock::time_point now) {
  const auto wait =
      std::chrono::duration_cast<std::chrono::microseconds>(deadline_.end() - now - kStepReserve);
  if (wait.count() <= 0) {
    errno = ETIMEDOUT;
    return false;
  }
  struct timeval limit = {};
  limit.tv_sec = static_cast<time_t>(wait.count() / 1000000);
  limit.tv_usec = static_cast<suseconds_t>(wait.count() % 1000000);
  const int option = direction == kReceive ? SO_RCVTIMEO : SO_SNDTIMEO;
  if (::setsockopt(fd_, SOL_SOCKET, option, &limit, sizeof limit) != 0) return false;
  startBy_[direction] = deadline_.end() - wait;
  return true;
}

// Waits until the direction is ready, the deadline passes or a signal
// comes; false (with errno) only when the step must fail.
bool Socket::awaitReady(Direction direction) {
  const Clock::duration left = deadline_.end() - Clock::now();
  if (left <= Clock::duration::zero()) {
    errno = ETIMEDOUT;
    return false;
  }
  struct pollfd ready = {};
  ready.fd = fd_;
  ready.events = direction == kReceive ? POLLIN : POLLOUT;
  const auto millis = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ::poll(&ready, 1, static_cast<int>(millis)) >= 0 || errno == EINTR;
}

// A step whose system call waits itself, within the time-out set on the
// socket; that is set anew only when the step starts too late for it
// (after a pause, a partial transfer or an interruption).
template <typename Call>
ssize_t Socket::timedStep(Direction direction, Call call) {
  if (!kWaitInSocketCalls) return polledStep(direction, call);
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (now > startBy_[direction] && !arm(direction, now)) return -1;
    const ssize_t n = call(0);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// A step that tries without waiting and, when it would block, waits in
// poll() for what is left of the budget.
template <typename Call>
ssize_t Socket::polledStep(Direction direction, Call call) {
  for (;;) {
    const ssize_t n = call(MSG_DONTWAIT);
    if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return n;
    if (!awaitReady(direction)) return -1;
  }
}

int Socket::connect(const struct sockaddr* address, socklen_t size) {
  // A connect waits only for room in a full listen queue, which on Linux
  // the send time-out bounds; elsewhere it does not wait.
  return static_cast<int>(
      timedStep(kSend, [&](int) -> ssize_t { return ::connect(fd_, address, size); }));
}

// Never a waiting send: Linux gives each buffer of a send the whole
// time-out anew, so a service that takes a little now and then could keep
// one send going far past the deadline.
ssize_t Socket::send(const void* data, size_t size) {
  return polledStep(kSend, [&](int flags) { return zqwire::sendNoSignal(fd_, data, size, flags); });
}

ssize_t Socket::receive(void* data, size_t size) {
  return timedStep(kReceive, [&](int flags) { return ::recv(fd_, data, size, flags); });
}

uint32_t connectService(Socket* socket) {
  const int fd = createSocket();
  if (fd < 0) return systemCode(errno);
  socket->adopt(fd);
  if (!socket->armTimeouts()) return systemCode(errno);
  return connectWithRetry(*socket);
}

uint32_t envelopeSize(uint32_t inLength, uint32_t outLength, uint32_t* total) {
  const uint64_t size = uint64_t{kEnvelopeHeaderSize} + inLength + outLength;
  if (size > 0xFFFFFFFFu) return UPSERR_INVALID_PARAM;
  *total = static_cast<uint32_t>(size);
  return UPS_OK;
}

void buildEnvelope(unsigned char* envelope, uint32_t total, const void* inBuffer,
                   uint32_t inLength, const void* outBuffer, uint32_t outLength) {
  storeWord(envelope, total);
  storeWord(envelope + 4, kEnvelopeHeaderSize);
  storeWord(envelope + 8, kEnvelopeHeaderSize + inLength);
  if (inLength != 0) std::memcpy(envelope + kEnvelopeHeaderSize, inBuffer, inLength);
  if (outLength != 0)
    std::memcpy(envelope + kEnvelopeHeaderSize + inLength, outBuffer, outLength);
}

uint32_t sendAll(Socket& socket, const unsigned char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = socket.send(data + done, size - done);
    if (n < 0) return waitFailure(errno);
    done += static_cast<size_t>(n);
  }
  return UPS_OK;
}

uint32_t receiveReply(Socket& socket, unsigned char* area, uint32_t areaSize, uint32_t* received) {
  uint32_t length = 0;
  uint32_t rc = receiveLength(socket, &length);
  if (rc != UPS_OK) return rc;
  // A length beyond the area is not drained: a hostile length must not
  // cost a 4 GiB read.
  if (length > areaSize) return systemCode(EMSGSIZE);
  uint32_t done = 0;
  while (done < length) {
    const uint32_t want = length - done < kReadChunk ? length - done : kReadChunk;
    ssize_t n = socket.receive(area + done, want);
    if (n < 0) return waitFailure(errno);
    if (n == 0) return systemCode(ECONNRESET);
    done += static_cast<uint32_t>(n);
  }
  *received = done;
  return UPS_OK;
}

uint32_t ioControlVia(const Connector& connect, void* inBuffer, uint32_t inLength,
                      void* outBuffer, uint32_t outLength, uint32_t* bytesReturned,
                      const Deadline& deadline) {
  if (outLength != 0 && outBuffer == nullptr) return UPSERR_NO_OUT_BUFFER;
  if (inLength != 0 && inBuffer == nullptr) return UPSERR_INVALID_PARAM;
  uint32_t total;
  if (envelopeSize(inLength, outLength, &total) != UPS_OK) return UPSERR_INVALID_PARAM;

  Bytes envelope(total);
  buildEnvelope(envelope.get(), total, inBuffer, inLength, outBuffer, outLength);
  unsigned char scratch[kAccessHeaderSize] = {};
  unsigned char* area = outLength != 0 ? static_cast<unsigned char*>(outBuffer) : scratch;
  const uint32_t areaSize = outLength != 0 ? outLength : kAccessHeaderSize;
  std::memset(area, 0, areaSize);

  Socket socket(deadline);
  uint32_t rc = connect(&socket);
  if (rc == UPS_OK) rc = sendAll(socket, envelope.get(), total);
  uint32_t received = 0;
  if (rc == UPS_OK) rc = receiveReply(socket, area, areaSize, &received);
  if (rc != UPS_OK) return rc;

  if (bytesReturned != nullptr) *bytesReturned = received;
  if (outLength == 0 && inLength != 0)
    std::memcpy(inBuffer, scratch, inLength < kAccessHeaderSize ? inLength : kAccessHeaderSize);
  return UPS_OK;
}

uint32_t readWriteVia(const Connector& connect, uint32_t index, uint32_t offset,
                      uint32_t readLength, void* readData, uint32_t writeLength,
                      const void* writeData, uint32_t* bytesRead, const Deadline& deadline,
                      uint32_t* replied) {
  if (bytesRead != nullptr) *bytesRead = 0;
  if (replied != nullptr) *replied = 0;
  if (!accessParamsValid(readLength, readData, writeLength, writeData))
    return UPSERR_INVALID_PARAM;

  const uint32_t requestSize = writeLength == 0 ? 0 : writeLength + kAccessHeaderSize;
  Bytes request(requestSize);
  if (requestSize != 0) fillRecord(request.get(), index, offset, writeLength, writeData);
  void* input = requestSize != 0 ? request.get() : nullptr;
  uint32_t received = 0;

  if (readLength == 0) {
    const uint32_t rc =
        ioControlVia(connect, input, requestSize, nullptr, 0, &received, deadline);
    if (replied != nullptr) *replied = received;
    return rc != UPS_OK ? rc : loadWord(request.get() + 8);
  }
  const uint32_t templateSize = readLength + kAccessHeaderSize;
  Bytes response(templateSize);
  fillRecord(response.get(), index, offset, readLength, nullptr);
  const uint32_t rc = ioControlVia(connect, input, requestSize, response.get(), templateSize,
                                   &received, deadline);
  if (replied != nullptr) *replied = received;
  if (rc != UPS_OK) return rc;
  return deliverRead(response.get(), received, readLength, readData, bytesRead);
}

}  // namespace zqups

extern "C" {

ZQUPS_API uint32_t UPSOpen(void) {
  struct stat info;
  if (::stat(zqups::kSocketPath, &info) != 0 || !S_ISSOCK(info.st_mode))
    return UPSERR_SERVICE_MISSING;
  return UPS_OK;
}

ZQUPS_API uint32_t UPSClose(void) { return UPS_OK; }

ZQUPS_API uint32_t UPSRead(uint32_t index, uint32_t offset, uint32_t readLength, void* readData,
                           uint32_t* bytesRead) {
  return UPSReadWrite(index, offset, readLength, readData, 0, nullptr, bytesRead);
}

ZQUPS_API uint32_t UPSWrite(uint32_t index, uint32_t offset, uint32_t writeLength,
                            const void* writeData, uint32_t* bytesWritten) {
  return zqups::readWriteVia(zqups::connectService, index, offset, 0, nullptr, writeLength,
                             writeData, bytesWritten);
}

ZQUPS_API uint32_t UPSReadWrite(uint32_t index, uint32_t offset, uint32_t readLength,
                                void* readData, uint32_t writeLength, const void* writeData,
                                uint32_t* bytesRead) {
  return zqups::readWriteVia(zqups::connectService, index, offset, readLength, readData,
                             writeLength, writeData, bytesRead);
}

}  // extern "C"

ZQUPS_API unsigned int UPSIoControl(void* inBuffer, unsigned int inLength, void* outBuffer,
                                    unsigned int outLength, unsigned int* bytesReturned) {
  return zqups::ioControlVia(zqups::connectService, inBuffer, inLength, outBuffer, outLength,
                             bytesReturned);
}
