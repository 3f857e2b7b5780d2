#include "PrivateFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace zqnetd {

namespace {

constexpr off_t kMaxFile = 1 << 20;

}  // namespace

bool readPrivateFile(const std::string& path, mode_t forbidden, const char* fix, std::string* text,
                     std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  struct stat status;
  error->clear();
  text->clear();
  if (::fstat(fd, &status) != 0) {
    *error = path + ": " + std::strerror(errno);
  } else if (!S_ISREG(status.st_mode)) {
    *error = path + ": not a regular file";
  } else if ((status.st_mode & forbidden) != 0) {
    *error = path + ": others may read or write it (" + fix + ")";
  } else if (status.st_size > kMaxFile) {
    *error = path + ": larger than 1 MiB";
  } else {
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0 &&
           text->size() <= static_cast<size_t>(kMaxFile))
      text->append(buffer, static_cast<size_t>(got));
    if (got < 0) *error = path + ": " + std::strerror(errno);
    if (text->size() > static_cast<size_t>(kMaxFile)) *error = path + ": larger than 1 MiB";
  }
  ::close(fd);
  return error->empty();
}

}  // namespace zqnetd
