// One exchange with the UPS service through the library, bound to the
// connection it used: the peer that accepted is checked before anything is
// sent, the exchange ends by a deadline, and another thread can cut it
// short.
#ifndef ZQUPSREADING_ACCESS_H
#define ZQUPSREADING_ACCESS_H

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Point.h"

namespace zqread {

using Clock = std::chrono::steady_clock;

// Where the service listens.
extern const char* const kServicePath;
// The library's own bound on one exchange, whatever the deadline.
extern const Clock::duration kExchangeBound;

// Ends the exchanges in flight and every later one, from any thread (not
// from a signal handler: it takes a lock).
class Cancel {
 public:
  Cancel() = default;
  Cancel(const Cancel&) = delete;
  Cancel& operator=(const Cancel&) = delete;

  void cancel();
  bool cancelled() const { return cancelled_.load(); }

 private:
  friend class InFlight;
  // Each is a duplicate of a connected socket, so that shutting it down
  // ends that exchange and can never reach a descriptor reused since.
  std::mutex mutex_;
  std::vector<int> sockets_;
  std::atomic<bool> cancelled_{false};
};

// What an exchange may use.
struct Access {
  // Only a service whose process runs as this user is asked anything.
  std::optional<uid_t> serviceOwner;
  // No exchange goes past this; each has the library's own budget too.
  Clock::time_point deadline = Clock::time_point::max();
  Cancel* cancel = nullptr;
};

enum class Failure {
  None,
  Unreachable,  // no socket, refused, no connection, the library's time-out
  NotTrusted,   // the socket is served by another user than serviceOwner
  Cancelled,
  OutOfTime,    // the deadline of Access passed first
  BadAnswer,    // a status, an oversized or cut-short reply, no value in it
  Skipped,      // not asked: it took its whole share of time lately
  Silent,       // no answer within the library's bound while others answered
};

struct Outcome {
  Failure failure = Failure::None;
  uint32_t result = 0;  // the library's code, where it gave one
  std::string why;      // one line for people; texts from the service escaped

  bool ok() const { return failure == Failure::None; }
  // Every later exchange would fail alike.  A time-out is the point's
  // own: the reading's end is told apart by its deadline.
  bool endsReading() const {
    return failure != Failure::None && failure != Failure::BadAnswer &&
           failure != Failure::OutOfTime && failure != Failure::Skipped &&
           failure != Failure::Silent;
  }
};

// UPSOpen, then a read of `point` into `bytes` (what the reply held).
Outcome readBytes(const Point& point, const Access& access, Bytes* bytes);
// readBytes, then decode.
Outcome readValue(const Point& point, const Access& access, Value* value);
// A write of `bytes` to `point`; a reply without a status is a BadAnswer.
Outcome writeBytes(const Point& point, const Access& access, const Bytes& bytes);

struct WriteResult {
  // Of the first exchange that failed, or ok; a read-back whose bytes
  // hold no value is a BadAnswer.
  Outcome outcome;
  bool written = false;           // the service took the write
  std::optional<Value> readBack;  // the point as read after the write
  std::string undecodable;        // why the bytes read back hold no value
  bool held = false;              // read back as written
};

// writeBytes, then, when `verify`, the point read back and compared with
// what was written; each exchange within the Access that `access` gives
// for it.
WriteResult writeAndVerify(const Point& point, const Bytes& bytes, bool verify,
                           const std::function<Access()>& access);

// "0xeca60201: service socket missing (/tmp/UPS0)", or for a status the
// library does not know, "service status 0x5a000007", naming the
// simulator's own: "service status 0x5a000003 (simulator: read-only point)".
std::string describeResult(uint32_t result);
// A user name or a numeric uid.
std::optional<uid_t> userNamed(const std::string& name);
// "root", or "uid 1234" for a uid without a name.
std::string userName(uid_t uid);

}  // namespace zqread

#endif
