// Fuzzes the client against a broken or hostile service: the input is what
// the service sends back (and where it cuts the stream), served to the
// access calls and to the transport through a socket pair.
//
// Input: byte 0 selects the call (low 2 bits) and whether the service hangs
// up before taking the request (bit 2); bytes 1-2 and 3-4 are buffer
// lengths; the rest is the service's byte stream, after which it closes.
#include "ZqUpsApi.h"
#include "ZqUpsInternal.h"
#include "ZqUpsWire.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kGuard = 16;
constexpr uint8_t kGuardByte = 0xA5;
constexpr uint32_t kMaxLength = 2048;

struct Service {
  const uint8_t* stream;
  size_t size;
  bool hangUpFirst;
  int peer = -1;  // the service's end, open until the call is over

  ~Service() {
    if (peer >= 0) ::close(peer);
  }
};

void check(bool ok) {
  if (!ok) std::abort();
}

// A caller's buffer with guard bytes behind it.
struct Guarded {
  std::vector<uint8_t> bytes;
  uint32_t size;
  explicit Guarded(uint32_t n, uint8_t fill) : bytes(n + kGuard, kGuardByte), size(n) {
    std::memset(bytes.data(), fill, n);
  }
  uint8_t* data() { return bytes.data(); }
  void checkGuard() const {
    for (size_t i = size; i < bytes.size(); ++i) check(bytes[i] == kGuardByte);
  }
};

// The service of the input being run.
Service* current = nullptr;

// Hands over the client end of a socket pair whose service end already
// holds the whole reply stream and has stopped sending.
uint32_t pairConnector(zqups::Socket* socket) {
  Service& service = *current;
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return zqups::systemCode(errno);
  int bigger = 1 << 20;
  ::setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &bigger, sizeof bigger);
  size_t sent = 0;
  while (sent < service.size) {
    ssize_t n = ::send(fds[1], service.stream + sent, service.size - sent, MSG_DONTWAIT);
    if (n <= 0) break;  // a full buffer cuts the stream there
    sent += size_t(n);
  }
  if (service.hangUpFirst) {
    ::close(fds[1]);
  } else {
    ::shutdown(fds[1], SHUT_WR);
    if (service.peer >= 0) ::close(service.peer);
    service.peer = fds[1];
  }
  socket->adopt(fds[0]);
  return UPS_OK;
}

bool isLibraryFailure(uint32_t rc) {
  for (int err : {ECONNRESET, EMSGSIZE, EPIPE, EBADMSG, ETIMEDOUT})
    if (rc == (UPSERR_SYSTEM_BASE | uint32_t(err))) return true;
  return rc == UPSERR_INVALID_PARAM || rc == UPSERR_NO_OUT_BUFFER;
}

// The status word of the reply as the client reads it: reply bytes 8-11,
// zero where the reply is shorter.
uint32_t replyStatus(const Service& service) {
  const uint32_t length = service.size >= 4 ? zqwire::loadWord(service.stream) : 0;
  uint8_t word[4] = {};
  for (size_t i = 0; i < 4; ++i)
    if (8 + i < length && 4 + 8 + i < service.size) word[i] = service.stream[4 + 8 + i];
  return zqwire::loadWord(word);
}

void fuzzRead(Service& service, uint32_t readLength, uint32_t writeLength) {
  Guarded data(readLength, 0x3C);
  Guarded payload(writeLength, 0x5D);
  uint32_t count = 0xDEAD;
  const uint32_t rc =
      zqups::readWriteVia(pairConnector, 0x2000, 1, readLength, readLength ? data.data() : nullptr,
                          writeLength, writeLength ? payload.data() : nullptr, &count);
  data.checkGuard();
  payload.checkGuard();
  check(count <= readLength);
  const bool delivered = rc == UPS_OK || rc == UPSERR_DATA_WITH_STATUS;
  if (!delivered || readLength == 0) check(count == 0);
  if (!isLibraryFailure(rc)) check(rc == replyStatus(service));
  if (!delivered)
    for (uint32_t i = 0; i < readLength; ++i) check(data.bytes[i] == 0x3C);
}

void fuzzIoControl(uint32_t outLength, uint32_t inLength) {
  Guarded out(outLength, 0x3C);
  Guarded in(inLength, 0x5D);
  uint32_t returned = 0xDEAD;
  const uint32_t rc = zqups::ioControlVia(pairConnector, inLength ? in.data() : nullptr, inLength,
                                          outLength ? out.data() : nullptr, outLength, &returned);
  out.checkGuard();
  in.checkGuard();
  check(rc == UPS_OK || isLibraryFailure(rc));
  if (rc == UPS_OK)
    check(returned <= (outLength ? outLength : zqwire::kAccessHeaderSize));
  else
    check(returned == 0xDEAD);
}

uint32_t lengthAt(const uint8_t* p) { return uint32_t(p[0] | p[1] << 8) % kMaxLength; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  Service service{data + 5, size - 5, (data[0] & 4) != 0};
  current = &service;
  const uint32_t a = lengthAt(data + 1), b = lengthAt(data + 3);
  switch (data[0] & 3) {
    case 0: fuzzIoControl(a, b); break;
    case 1: fuzzRead(service, a, 0); break;
    case 2: fuzzRead(service, 0, b); break;
    default: fuzzRead(service, a, b); break;
  }
  return 0;
}
