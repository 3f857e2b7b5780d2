#include "Access.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <functional>

#include "ZqUpsApi.h"
#include "ZqUpsInternal.h"
#include "ZqUpsResultText.h"

namespace zqread {

const char* const kServicePath = zqwire::kSocketPath;
const Clock::duration kExchangeBound = zqups::kCallBudget;

// While an exchange runs, its Cancel holds a duplicate of the exchange's
// socket; cancelling shuts that down, which ends any wait on the socket
// at once.
class InFlight {
 public:
  explicit InFlight(Cancel* cancel) : cancel_(cancel) {}
  ~InFlight() {
    if (dup_ < 0) return;
    {
      std::lock_guard<std::mutex> lock(cancel_->mutex_);
      auto& held = cancel_->sockets_;
      for (auto it = held.begin(); it != held.end(); ++it)
        if (*it == dup_) {
          held.erase(it);
          break;
        }
    }
    ::close(dup_);
  }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;

  // False when the exchange is cancelled already (or cannot be held).
  bool hold(int fd) {
    if (cancel_ == nullptr) return true;
    std::lock_guard<std::mutex> lock(cancel_->mutex_);
    if (cancel_->cancelled()) return false;
    dup_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (dup_ < 0) return false;
    cancel_->sockets_.push_back(dup_);
    return true;
  }

 private:
  Cancel* cancel_;
  int dup_ = -1;
};

void Cancel::cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_.store(true);
  for (int fd : sockets_) ::shutdown(fd, SHUT_RDWR);
}

namespace {

std::string hexCode(uint32_t value) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
  return "0x" + std::string(digits, end);
}

bool peerUid(int fd, uid_t* uid) {
#if defined(__linux__)
  struct ucred peer;
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  *uid = peer.uid;
  return true;
#else
  gid_t gid;
  return ::getpeereid(fd, uid, &gid) == 0;
#endif
}

// Why the peer on `fd` is not to be trusted, or empty.
std::string distrustOf(int fd, uid_t owner) {
  uid_t peer = 0;
  if (!peerUid(fd, &peer))
    return std::string("cannot tell who serves ") + zqwire::kSocketPath + ": " +
           std::strerror(errno);
  if (peer == owner) return "";
  return std::string(zqwire::kSocketPath) + " is served by " + userName(peer) + ", not by " +
         userName(owner);
}

// The service could not be asked at all; every later exchange would fail
// alike.  A reply that was cut short, too long or empty, or a request the
// service stopped reading, is that point's answer.
bool unreachable(uint32_t result) {
  if (result == UPSERR_SERVICE_MISSING || result == UPSERR_SERVICE_REFUSED) return true;
  if (!UPS_IS_SYSTEM_CODE(result)) return false;
  const int err = UPS_SYSTEM_ERRNO(result);
  return err != EMSGSIZE && err != EBADMSG && err != ECONNRESET && err != EPIPE;
}

using Call = std::function<uint32_t(const zqups::Connector&, const zqups::Deadline&)>;

Outcome failed(Failure failure, uint32_t result, std::string why) {
  return Outcome{failure, result, std::move(why)};
}

// One exchange through `call`, over a connection checked as `access` says.
Outcome exchange(const Access& access, const Call& call) {
  if (access.cancel != nullptr && access.cancel->cancelled())
    return failed(Failure::Cancelled, 0, "cancelled");
  const Clock::time_point now = Clock::now();
  if (now >= access.deadline) return failed(Failure::OutOfTime, 0, "not read in time");
  // Only a budget that the deadline shortened makes a time-out ours.
  const Clock::duration left = access.deadline - now;
  const bool shortened = left < zqups::kCallBudget;
  const zqups::Deadline deadline(shortened ? left : Clock::duration(zqups::kCallBudget));

  InFlight inFlight(access.cancel);
  std::string distrust;
  const zqups::Connector connect = [&](zqups::Socket* socket) -> uint32_t {
    const uint32_t rc = zqups::connectService(socket);
    if (rc != UPS_OK) return rc;
    if (!inFlight.hold(socket->fd())) return zqups::systemCode(ECANCELED);
    if (access.serviceOwner) distrust = distrustOf(socket->fd(), *access.serviceOwner);
    return distrust.empty() ? UPS_OK : zqups::systemCode(EACCES);
  };
  const uint32_t rc = call(connect, deadline);
  if (!distrust.empty()) return failed(Failure::NotTrusted, rc, "not trusted: " + distrust);
  if (access.cancel != nullptr && access.cancel->cancelled())
    return failed(Failure::Cancelled, rc, "cancelled");
  if (rc == UPS_OK) return Outcome{};
  if (shortened && rc == zqups::systemCode(ETIMEDOUT))
    return failed(Failure::OutOfTime, rc, "not read in time");
  return failed(unreachable(rc) ? Failure::Unreachable : Failure::BadAnswer, rc,
                describeResult(rc));
}

}  // namespace

Outcome readBytes(const Point& point, const Access& access, Bytes* bytes) {
  bytes->clear();
  const uint32_t open = UPSOpen();
  if (open != UPS_OK) return failed(Failure::Unreachable, open, describeResult(open));
  Bytes area(point.readLength, 0);
  uint32_t got = 0;
  const Outcome outcome =
      exchange(access, [&](const zqups::Connector& connect, const zqups::Deadline& deadline) {
        return zqups::readWriteVia(connect, point.index, point.offset, point.readLength,
                                   area.data(), 0, nullptr, &got, deadline);
      });
  if (outcome.ok()) bytes->assign(area.begin(), area.begin() + got);
  return outcome;
}

Outcome readValue(const Point& point, const Access& access, Value* value) {
  Bytes bytes;
  Outcome outcome = readBytes(point, access, &bytes);
  std::string error;
  if (outcome.ok() && !decode(point, bytes, value, &error))
    outcome = failed(Failure::BadAnswer, 0, error);
  return outcome;
}

Outcome writeBytes(const Point& point, const Access& access, const Bytes& bytes) {
  const uint32_t open = UPSOpen();
  if (open != UPS_OK) return failed(Failure::Unreachable, open, describeResult(open));
  uint32_t replied = 0;
  const Outcome outcome =
      exchange(access, [&](const zqups::Connector& connect, const zqups::Deadline& deadline) {
        return zqups::readWriteVia(connect, point.index, point.offset, 0, nullptr,
                                   static_cast<uint32_t>(bytes.size()), bytes.data(), nullptr,
                                   deadline, &replied);
      });
  // The library counts a missing status as 0; a write nobody confirmed
  // did not succeed.
  if (outcome.ok() && replied < zqwire::kAccessHeaderSize - 4)
    return failed(Failure::BadAnswer, 0, "the service did not answer the write");
  return outcome;
}

WriteResult writeAndVerify(const Point& point, const Bytes& bytes, bool verify,
                           const std::function<Access()>& access) {
  WriteResult result;
  result.outcome = writeBytes(point, access(), bytes);
  result.written = result.outcome.ok();
  if (!result.written || !verify) return result;
  Bytes found;
  result.outcome = readBytes(point, access(), &found);
  if (!result.outcome.ok()) return result;
  Value value, wanted;
  if (!decode(point, found, &value, &result.undecodable)) {
    result.outcome = failed(Failure::BadAnswer, 0, result.undecodable);
    return result;
  }
  std::string error;
  result.held = decode(point, bytes, &wanted, &error) && value.text == wanted.text;
  result.readBack = value;
  return result;
}

std::string describeResult(uint32_t result) {
  char text[UPS_RESULT_TEXT_SIZE];
  UPSResultText(result, text, sizeof text);
  if (UPSResultName(result) == nullptr && !UPS_IS_SYSTEM_CODE(result)) {
    const char* simulator = zqwire::simulatorStatusText(result);
    return simulator ? std::string(text) + " (simulator: " + simulator + ")" : text;
  }
  return hexCode(result) + ": " + text;
}

std::optional<uid_t> userNamed(const std::string& name) {
  if (name.empty()) return std::nullopt;
  std::vector<char> buffer(4096);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr)
    return found->pw_uid;
  uid_t uid = 0;
  const auto result = std::from_chars(name.data(), name.data() + name.size(), uid);
  if (result.ec != std::errc() || result.ptr != name.data() + name.size()) return std::nullopt;
  return uid;
}

std::string userName(uid_t uid) {
  std::vector<char> buffer(4096);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
    return found->pw_name;
  return "uid " + std::to_string(uid);
}

}  // namespace zqread
