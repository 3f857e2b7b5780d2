// The facts of the service's wire format and of reaching its socket, in
// one place for the library, the simulator, the tests' services, the fuzz
// targets and the benchmark.  Internal: not installed.
#ifndef ZQUPSWIRE_H
#define ZQUPSWIRE_H

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#if !defined(MSG_NOSIGNAL) && !defined(SO_NOSIGPIPE)
#error "no way to keep a write to a closed connection from raising SIGPIPE"
#endif

namespace zqwire {

// Where the service listens.
constexpr char kSocketPath[] = "/tmp/UPS0";
// The envelope's header: totalLength, inOffset, outOffset.
constexpr uint32_t kEnvelopeHeaderSize = 12;
// The access header before every request's and reply's data: index,
// offset, status, length.
constexpr uint32_t kAccessHeaderSize = 16;
// The length word before every reply.
constexpr uint32_t kReplyLengthSize = 4;

// Status words of the simulator's own; outside the client library's
// 0xECA6xxxx and 0xECA7xxxx ranges and never 0xFFFFFFFF.
constexpr uint32_t kStatusUnknownIndex = 0x5A000001;
constexpr uint32_t kStatusUnknownOffset = 0x5A000002;
constexpr uint32_t kStatusReadOnly = 0x5A000003;
constexpr uint32_t kStatusEmptyRequest = 0x5A000004;

// What a simulator's status word means, or null for any other word.
inline const char* simulatorStatusText(uint32_t status) {
  switch (status) {
    case kStatusUnknownIndex:
      return "no such index";
    case kStatusUnknownOffset:
      return "no such point";
    case kStatusReadOnly:
      return "read-only point";
    case kStatusEmptyRequest:
      return "a request with neither record nor template";
    default:
      return nullptr;
  }
}

// Every number on the wire is a 32-bit word in host byte order.
inline uint32_t loadWord(const void* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void storeWord(void* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }

// The address of a Unix-domain socket at `path`: every other byte zero,
// the BSD length byte included (the kernel takes the length from the
// call's argument).  False when the path does not fit.
inline bool unixAddress(const char* path, struct sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  const size_t length = std::strlen(path);
  if (length == 0 || length >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path, length + 1);
  return true;
}

// Makes a socket's writes to a closed peer fail with EPIPE instead of
// raising SIGPIPE, where that is a socket option; elsewhere sendNoSignal
// asks it per call.
inline bool keepFromSigpipe(int fd) {
#if !defined(MSG_NOSIGNAL) && defined(SO_NOSIGPIPE)
  int on = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) == 0;
#else
  (void)fd;
  return true;
#endif
}

// send() that never raises SIGPIPE (with keepFromSigpipe on the socket
// where MSG_NOSIGNAL is missing); `flags` are send()'s own.
inline ssize_t sendNoSignal(int fd, const void* data, size_t size, int flags = 0) {
#ifdef MSG_NOSIGNAL
  flags |= MSG_NOSIGNAL;
#endif
  return ::send(fd, data, size, flags);
}

}  // namespace zqwire

#endif
