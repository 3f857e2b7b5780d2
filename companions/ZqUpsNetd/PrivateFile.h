// Files that hold secrets (the users file, the TLS key): read whole, at
// start, and refused when others could read them.
#ifndef ZQUPSNETD_PRIVATEFILE_H
#define ZQUPSNETD_PRIVATEFILE_H

#include <sys/types.h>

#include <string>

namespace zqnetd {

// The text of `path`, or false with `error` when it cannot be opened, is
// not a regular file, is larger than 1 MiB, or has any of the mode bits
// `forbidden` (`fix` says which mode would do).  The mode is that of the
// file opened, so that a file swapped in after a check is never read.
bool readPrivateFile(const std::string& path, mode_t forbidden, const char* fix, std::string* text,
                     std::string* error);

}  // namespace zqnetd

#endif
