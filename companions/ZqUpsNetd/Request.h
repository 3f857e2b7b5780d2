// The request side of the network UPS protocol on plain bytes: a stream
// cut into lines of bounded length, and a line split into words.
#ifndef ZQUPSNETD_REQUEST_H
#define ZQUPSNETD_REQUEST_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zqnetd {

// The longest request line, its LF not counted.
constexpr size_t kMaxLine = 512;

enum class Parse {
  Words,    // at least one word
  Empty,    // only whitespace
  Invalid,  // an open quote, a lone backslash at the end, a control character or a
            // byte that is not part of a well-formed UTF-8 character
};

// Whether `word` is `name` but for the case of ASCII letters.
bool sameWord(std::string_view word, std::string_view name);

// A request line split into words.  The words are views into the
// request's own copy of the line, with quotes and escapes undone in
// place, and stay valid until the next parse; the copy's capacity is kept
// from one line to the next, so parsing a line allocates nothing.
using Words = std::vector<std::string_view>;

class Request {
 public:
  // Words split on spaces, tabs and CRs; "..." quotes a word (spaces
  // included, possibly empty) and a backslash takes the next byte as it is.
  Parse parse(std::string_view line);
  const Words& words() const { return words_; }

 private:
  std::string text_;
  Words words_;
};

// Whether `line` holds nothing but whitespace: no request at all.
bool blankLine(std::string_view line);

// Why no client could log in with `password`, sent as clients send it:
// PASSWORD and the bytes as they are, unquoted; empty when one can.
std::string unsendablePassword(std::string_view password);

// Cuts the bytes a client sends into lines.  Holds at most kMaxLine + 1
// bytes more than the caller appends at once.
class LineFramer {
 public:
  enum class Next { Line, NeedMore, TooLong };

  void append(const char* data, size_t size) { pending_.append(data, size); }
  // The next whole line without its LF; TooLong when a line has more than
  // kMaxLine bytes, whether its LF came yet or not.
  Next next(std::string* line);

 private:
  std::string pending_;
  size_t taken_ = 0;  // bytes of pending_ handed out already
};

}  // namespace zqnetd

#endif
