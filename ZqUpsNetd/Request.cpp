#include "Request.h"

namespace zqnetd {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool isPrintable(char c) { return c >= 0x20 && c <= 0x7e; }

}  // namespace

Parse parseRequest(std::string_view line, std::vector<std::string>* words) {
  words->clear();
  size_t at = 0;
  while (at < line.size()) {
    if (isSpace(line[at])) {
      ++at;
      continue;
    }
    std::string word;
    bool quoted = false;
    for (; at < line.size(); ++at) {
      char c = line[at];
      if (!isSpace(c) && !isPrintable(c)) return Parse::Invalid;
      if (c == '\\') {
        if (++at == line.size() || !isPrintable(line[at])) return Parse::Invalid;
        word += line[at];
      } else if (c == '"') {
        quoted = !quoted;
      } else if (isSpace(c) && !quoted) {
        break;
      } else {
        word += c;
      }
    }
    if (quoted) return Parse::Invalid;
    words->push_back(std::move(word));
  }
  return words->empty() ? Parse::Empty : Parse::Words;
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
