#include "Request.h"

#include "Text.h"

namespace zqnetd {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool isPrintable(char c) { return c >= 0x20 && c <= 0x7e; }

// The bytes of the character at line[at] that a word may hold: printable
// ASCII or a well-formed UTF-8 sequence (passwords may be UTF-8); 0 for
// anything else.
size_t characterAt(std::string_view line, size_t at) {
  if (isPrintable(line[at])) return 1;
  return static_cast<unsigned char>(line[at]) >= 0x80 ? zqread::utf8SequenceAt(line, at) : 0;
}

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
    while (at < line.size()) {
      const char c = line[at];
      if (isSpace(c) && !quoted) break;
      if (c == '"' || isSpace(c)) {
        if (c == '"') quoted = !quoted;
        else *out++ = c;
        ++at;
        continue;
      }
      if (c == '\\' && ++at == line.size()) return Parse::Invalid;
      const size_t length = characterAt(line, at);
      if (length == 0) return Parse::Invalid;
      for (const size_t end = at + length; at < end;) *out++ = line[at++];
    }
    if (quoted) return Parse::Invalid;
    words_.emplace_back(word, static_cast<size_t>(out - word));
  }
  return words_.empty() ? Parse::Empty : Parse::Words;
}

std::string unsendablePassword(std::string_view password) {
  // Clients make each request in a buffer of the line's size, its LF and
  // a C string's NUL included: a longer one loses its LF and runs into
  // the next request.
  constexpr std::string_view kCommand = "PASSWORD ";
  constexpr size_t kLongest = kMaxLine - kCommand.size() - 2;
  if (password.empty()) return "it is empty";
  if (password.size() > kLongest)
    return "it is longer than " + std::to_string(kLongest) + " bytes: clients make \"PASSWORD\", "
           "the password and LF in " + std::to_string(kMaxLine) +
           " bytes with a NUL, and cut a longer request before its LF";
  for (size_t at = 0; at < password.size();) {
    const char c = password[at];
    if (c == '\0') return "it holds a NUL byte, which ends it for every client";
    if (c == ' ' || c == '"' || c == '\\')
      return "it holds a space, \" or \\: clients send the password as it is, unquoted, and "
             "the server would split it or read it as quoting";
    const size_t length = characterAt(password, at);
    if (length == 0)
      return "it holds a control character or bytes that are not UTF-8, which the protocol "
             "refuses";
    at += length;
  }
  return "";
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
