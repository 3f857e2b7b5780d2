// The UPS service as ZqUpsCtl meets it: reads, writes, who owns its
// socket, and what a result code means for the exit status.
#ifndef ZQUPSCTL_SERVICE_H
#define ZQUPSCTL_SERVICE_H

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "Values.h"
#include "ZqUpsWire.h"

namespace zqctl {

// Where the service listens.
constexpr const char* kServicePath = zqwire::kSocketPath;

// Exit statuses of every command (on-mains has its own as well).
enum Exit {
  kExitOk = 0,
  kExitUsage = 2,
  kExitUnreachable = 3,
  kExitStatus = 4,
  kExitMismatch = 5,
};

// 3 when the service could not be reached, 4 when it answered with a status.
int exitFor(uint32_t result);
// "0xeca60201: service socket missing (/tmp/UPS0)", or for a status the
// library does not know, "service status 0x5a000003".
std::string describeResult(uint32_t result);

// A user name or a numeric uid.
std::optional<uid_t> userNamed(const std::string& name);
// Empty when the socket file (and what a symbolic link there points to)
// belongs to `owner` or is missing; otherwise why it is not trusted.
std::string distrustOf(uid_t owner);

// UPSOpen, then a read of `point`: the bytes delivered.  Returns the
// result code.
uint32_t readPoint(const Point& point, Bytes* bytes);
uint32_t writePoint(const Point& point, const Bytes& bytes);

}  // namespace zqctl

#endif
