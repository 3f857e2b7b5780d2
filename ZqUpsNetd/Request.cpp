#include "Request.h"

namespace zqnetd {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool isPrintable(char c) { return c >= 0x20 && c <= 0x7e; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool blankLine(std::string_view line) {
  for (char c : line)
    if (!isSpace(c)) return false;
  return true;
}

bool sameWord(std::string_view word, std::string_view name) {
  if (word.size() != name.size()) return false;
  for (size_t i = 0; i < word.size(); ++i)
    if (lower(word[i]) != lower(name[i])) return false;
  return true;
}

Parse Request::parse(std::string_view line) {
  words_.clear();
  // A word never has more bytes than the line it comes from, so text_
  // never moves while words point into it.
  text_.resize(line.size());
  char* out = &text_[0];
  size_t at = 0;
  while (at < line.size()) {
    if (isSpace(line[at])) {
      ++at;
      continue;
    }
    const char* word = out;
    bool quoted = false;
    for (; at < line.size(); ++at) {
      char c = line[at];
      if (!isSpace(c) && !isPrintable(c)) return Parse::Invalid;
      if (c == '\\') {
        if (++at == line.size() || !isPrintable(line[at])) return Parse::Invalid;
        *out++ = line[at];
      } else if (c == '"') {
        quoted = !quoted;
      } else if (isSpace(c) && !quoted) {
        break;
      } else {
        *out++ = c;
      }
    }
    if (quoted) return Parse::Invalid;
    words_.emplace_back(word, static_cast<size_t>(out - word));
  }
  return words_.empty() ? Parse::Empty : Parse::Words;
}

LineFramer::Next LineFramer::next(std::string* line) {
  const size_t end = pending_.find('\n', taken_);
  const size_t length = (end == std::string::npos ? pending_.size() : end) - taken_;
  if (length > kMaxLine) return Next::TooLong;
  if (end == std::string::npos) {
    pending_.erase(0, taken_);
    taken_ = 0;
    return Next::NeedMore;
  }
  line->assign(pending_, taken_, length);
  taken_ = end + 1;
  return Next::Line;
}

}  // namespace zqnetd
