#include "Service.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <vector>

#include "ZqUpsApi.h"
#include "ZqUpsResultText.h"

namespace zqctl {

namespace {

std::string hexCode(uint32_t value) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
  return "0x" + std::string(digits, end);
}

std::string userName(uid_t uid) {
  std::vector<char> buffer(4096);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
    return found->pw_name;
  return "uid " + std::to_string(uid);
}

std::string ownerMismatch(const std::string& what, uid_t found, uid_t owner) {
  return what + " is owned by " + userName(found) + ", not by " + userName(owner);
}

}  // namespace

int exitFor(uint32_t result) {
  if (result == UPS_OK) return kExitOk;
  if (result == UPSERR_SERVICE_MISSING || result == UPSERR_SERVICE_REFUSED ||
      UPS_IS_SYSTEM_CODE(result))
    return kExitUnreachable;
  return kExitStatus;
}

std::string describeResult(uint32_t result) {
  char text[UPS_RESULT_TEXT_SIZE];
  UPSResultText(result, text, sizeof text);
  if (UPSResultName(result) == nullptr && !UPS_IS_SYSTEM_CODE(result)) return text;
  return hexCode(result) + ": " + text;
}

std::optional<uid_t> userNamed(const std::string& name) {
  std::vector<char> buffer(4096);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr)
    return found->pw_uid;
  uid_t uid = 0;
  const auto result = std::from_chars(name.data(), name.data() + name.size(), uid);
  if (name.empty() || result.ec != std::errc() || result.ptr != name.data() + name.size())
    return std::nullopt;
  return uid;
}

std::string distrustOf(uid_t owner) {
  struct stat link;
  if (::lstat(kServicePath, &link) != 0) return "";
  if (link.st_uid != owner) return ownerMismatch(kServicePath, link.st_uid, owner);
  // Only the owner of a file in a sticky /tmp can replace it; a link
  // owned by the right user must still point at a socket of theirs.
  struct stat target;
  if (S_ISLNK(link.st_mode) && ::stat(kServicePath, &target) == 0 && target.st_uid != owner)
    return ownerMismatch(std::string("the socket that ") + kServicePath + " points to",
                         target.st_uid, owner);
  return "";
}

uint32_t readPoint(const Point& point, Bytes* bytes) {
  uint32_t result = UPSOpen();
  if (result != UPS_OK) return result;
  bytes->assign(point.readLength, 0);
  uint32_t got = 0;
  result = UPSRead(point.index, point.offset, point.readLength, bytes->data(), &got);
  bytes->resize(result == UPS_OK ? got : 0);
  return result;
}

uint32_t writePoint(const Point& point, const Bytes& bytes) {
  const uint32_t result = UPSOpen();
  if (result != UPS_OK) return result;
  return UPSWrite(point.index, point.offset, static_cast<uint32_t>(bytes.size()), bytes.data(),
                  nullptr);
}

}  // namespace zqctl
