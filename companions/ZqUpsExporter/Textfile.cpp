#include "Textfile.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace zqups {
namespace {

const mode_t kMode = 0644;

bool writeAll(int fd, const std::string& content) {
  for (size_t done = 0; done < content.size();) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool writeFileAtomically(const std::string& path, const std::string& content, std::string* error) {
  // The name does not end in .prom, so a collector reading the folder
  // meanwhile skips it.  The rename replaces whatever the path names, a
  // symbolic link included, and never writes through it.
  std::string name = path + ".XXXXXX";
  std::vector<char> temporary(name.begin(), name.end());
  temporary.push_back('\0');
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    *error = "cannot create a file beside " + path + ": " + strerror(errno);
    return false;
  }
  // Readable by a collector running as another user whatever the umask,
  // writable by the writer only.
  bool ok = ::fchmod(fd, kMode) == 0 && writeAll(fd, content) && ::fsync(fd) == 0;
  int saved = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && ::rename(temporary.data(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    ::unlink(temporary.data());
    *error = "cannot write " + path + ": " + strerror(saved);
  }
  return ok;
}

}  // namespace zqups
