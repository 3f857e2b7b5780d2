// One exposition written for a textfile collector: readers of the folder
// see the old file or the whole new one, never a part.
#ifndef TEXTFILE_H
#define TEXTFILE_H

#include <string>

namespace zqups {

// Writes `content` to a new file beside `path` and renames it to `path`:
// a new file of mode 0644 owned by the writer, in place of what was there
// (a symbolic link is replaced, not followed).  On failure nothing is left
// behind and *error says what failed.
bool writeFileAtomically(const std::string& path, const std::string& content, std::string* error);

}  // namespace zqups

#endif
