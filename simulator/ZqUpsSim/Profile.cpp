#include "Profile.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "Duration.h"

namespace zqsim {
namespace {

constexpr size_t kLongestLine = size_t{1} << 20;

struct Token {
  std::string text;
  bool quoted = false;
};

bool fail(std::string* error, const std::string& why) {
  *error = why;
  return false;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One escape after a backslash in a quoted text; `i` points at it.
bool unescape(const std::string& line, size_t* i, std::string* out, std::string* error) {
  const char c = line[*i];
  switch (c) {
    case '"':
    case '\\':
      out->push_back(c);
      return true;
    case 'n':
      out->push_back('\n');
      return true;
    case 't':
      out->push_back('\t');
      return true;
    case '0':
      out->push_back('\0');
      return true;
    case 'x': {
      const int hi = *i + 1 < line.size() ? hexDigit(line[*i + 1]) : -1;
      const int lo = *i + 2 < line.size() ? hexDigit(line[*i + 2]) : -1;
      if (hi < 0 || lo < 0) return fail(error, "\\x needs two hex digits");
      out->push_back(static_cast<char>(hi * 16 + lo));
      *i += 2;
      return true;
    }
    default:
      return fail(error, std::string("unknown escape \\") + c);
  }
}

bool readQuoted(const std::string& line, size_t* i, Token* token, std::string* error) {
  token->quoted = true;
  for (++*i; *i < line.size(); ++*i) {
    const char c = line[*i];
    if (c == '"') {
      ++*i;
      return true;
    }
    if (c != '\\') {
      token->text.push_back(c);
    } else if (++*i == line.size() || !unescape(line, i, &token->text, error)) {
      return error->empty() ? fail(error, "unterminated text") : false;
    }
  }
  return fail(error, "unterminated text");
}

// Not strchr: it would find the terminating NUL and never let a word go on.
bool endsWord(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '#' || c == '"'; }

// Splits a line into words and quoted texts; a '#' outside quotes ends it.
bool tokenize(const std::string& line, std::vector<Token>* tokens, std::string* error) {
  // A NUL would end the value that the number parsers see, unnoticed.
  if (line.find('\0') != std::string::npos) return fail(error, "stray NUL byte");
  size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (c == '#') break;
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
      continue;
    }
    Token token;
    if (c == '"') {
      if (!readQuoted(line, &i, &token, error)) return false;
    } else {
      while (i < line.size() && !endsWord(line[i])) token.text.push_back(line[i++]);
    }
    tokens->push_back(token);
  }
  return true;
}

bool parseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  // Hex with 0x, else decimal: a leading zero does not mean octal here.
  const bool hex = text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || v > max) return false;
  *value = v;
  return true;
}

bool parseWord(const std::string& text, uint32_t* value) {
  uint64_t v;
  if (!parseUnsigned(text, 0xFFFFFFFFu, &v)) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

bool parseKey(const std::string& text, PointKey* key) {
  const size_t colon = text.find(':');
  return colon != std::string::npos && parseWord(text.substr(0, colon), &key->index) &&
         parseWord(text.substr(colon + 1), &key->offset);
}

void appendWord(Bytes* bytes, uint32_t word) {
  uint8_t raw[4];
  std::memcpy(raw, &word, sizeof raw);
  bytes->insert(bytes->end(), raw, raw + 4);
}

bool encodeFloat(const std::string& text, Bytes* value) {
  errno = 0;
  char* end = nullptr;
  const float f = std::strtof(text.c_str(), &end);
  if (text.empty() || errno != 0 || *end != '\0' || !std::isfinite(f)) return false;
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  appendWord(value, bits);
  return true;
}

// Decimal with an optional sign, or a 0x bit pattern of up to 32 bits.
bool encodeInt(const std::string& text, Bytes* value) {
  uint32_t bits;
  if (text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0) {
    if (!parseWord(text, &bits)) return false;
  } else {
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
    bits = static_cast<uint32_t>(static_cast<int32_t>(v));
  }
  appendWord(value, bits);
  return true;
}

// MAJOR.MINOR.BUILD: two bytes and a 16-bit build number.
bool encodeVersion(const std::string& text, Bytes* value) {
  const size_t a = text.find('.');
  const size_t b = a == std::string::npos ? a : text.find('.', a + 1);
  uint64_t major, minor, build;
  if (b == std::string::npos || !parseUnsigned(text.substr(0, a), 255, &major) ||
      !parseUnsigned(text.substr(a + 1, b - a - 1), 255, &minor) ||
      !parseUnsigned(text.substr(b + 1), 65535, &build))
    return false;
  const uint16_t build16 = static_cast<uint16_t>(build);
  uint8_t raw[2];
  std::memcpy(raw, &build16, sizeof raw);
  *value = {static_cast<uint8_t>(major), static_cast<uint8_t>(minor), raw[0], raw[1]};
  return true;
}

bool encodeHex(const std::vector<Token>& words, Bytes* value) {
  for (const Token& word : words) {
    if (word.quoted || word.text.size() % 2 != 0) return false;
    for (size_t i = 0; i < word.text.size(); i += 2) {
      const int hi = hexDigit(word.text[i]), lo = hexDigit(word.text[i + 1]);
      if (hi < 0 || lo < 0) return false;
      value->push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
  }
  return !value->empty();
}

bool encodeValue(const std::string& type, const std::vector<Token>& words, Bytes* value,
                 std::string* error) {
  if (type == "hex") {
    if (encodeHex(words, value)) return true;
    return fail(error, "hex wants pairs of hex digits, e.g. 01 a0 ff");
  }
  if (words.size() != 1) return fail(error, "type " + type + " takes exactly one value");
  const Token& word = words[0];
  if (type == "text") {
    if (!word.quoted) return fail(error, "text values are written in double quotes");
    value->assign(word.text.begin(), word.text.end());
    value->push_back(0);
    return true;
  }
  if (word.quoted) return fail(error, "only text values are quoted");
  if (type == "float" && encodeFloat(word.text, value)) return true;
  if (type == "int" && encodeInt(word.text, value)) return true;
  if (type == "version" && encodeVersion(word.text, value)) return true;
  if (type != "float" && type != "int" && type != "version")
    return fail(error, "unknown type '" + type + "' (text, float, int, version, hex)");
  return fail(error, "'" + word.text + "' is not a valid " + type + " value");
}

// INDEX:OFFSET TYPE VALUE... [readonly]
bool parsePointLine(std::vector<Token> tokens, PointDef* def, std::string* error) {
  if (tokens[0].quoted || !parseKey(tokens[0].text, &def->key))
    return fail(error, "expected INDEX:OFFSET, 'at' or 'fault', got '" + tokens[0].text + "'");
  if (tokens.size() < 3 || tokens[1].quoted) return fail(error, "expected INDEX:OFFSET TYPE VALUE");
  if (!tokens.back().quoted && tokens.back().text == "readonly") {
    def->readOnly = true;
    tokens.pop_back();
    if (tokens.size() < 3) return fail(error, "expected a value before 'readonly'");
  }
  const std::vector<Token> words(tokens.begin() + 2, tokens.end());
  return encodeValue(tokens[1].text, words, &def->value, error);
}

struct StepBuilder {
  Step step;
  std::map<PointKey, int> pointLines;
  std::map<PointKey, int> faultLines;
};

bool claimLine(std::map<PointKey, int>* lines, const PointKey& key, int line, const char* what,
               std::string* error) {
  auto inserted = lines->emplace(key, line);
  if (inserted.second) return true;
  return fail(error, std::string(what) + " set twice in this step (first on line " +
                         std::to_string(inserted.first->second) + ")");
}

bool parseMillis(const std::string& text, uint64_t* millis) {
  std::chrono::milliseconds duration;
  if (!zqopt::parseDuration(text, &duration)) return false;
  *millis = static_cast<uint64_t>(duration.count());
  return true;
}

bool parseLine(const std::vector<Token>& tokens, int line, std::vector<StepBuilder>* steps,
               std::string* error) {
  const std::string& head = tokens[0].quoted ? std::string() : tokens[0].text;
  if (head == "at") {
    uint64_t at = 0;
    if (tokens.size() != 2 || tokens[1].quoted || !parseMillis(tokens[1].text, &at))
      return fail(error, std::string("expected 'at DURATION': ") + zqopt::kDurationForms);
    if (at <= steps->back().step.atMillis)
      return fail(error, "steps must come in rising order of time");
    steps->emplace_back();
    steps->back().step.atMillis = at;
    return true;
  }
  StepBuilder& current = steps->back();
  if (head == "fault") {
    FaultDef def;
    if (tokens.size() != 2 || tokens[1].quoted)
      return fail(error, "expected 'fault INDEX:OFFSET=KIND[:ARG]'");
    if (!parseFaultRule(tokens[1].text, &def, error) ||
        !claimLine(&current.faultLines, def.key, line, "fault", error))
      return false;
    current.step.faults.push_back(def);
    return true;
  }
  PointDef def;
  if (!parsePointLine(tokens, &def, error) ||
      !claimLine(&current.pointLines, def.key, line, "point", error))
    return false;
  current.step.points.push_back(def);
  return true;
}

bool parseFaultKind(const std::string& kind, const std::string& arg, bool hasArg, Fault* fault,
                    std::string* error) {
  using Kind = Fault::Kind;
  uint64_t n = 0;
  if (kind == "none" || kind == "close" || kind == "hang") {
    fault->kind = kind == "none" ? Kind::None : kind == "close" ? Kind::Close : Kind::Hang;
    return !hasArg || fail(error, "fault " + kind + " takes no argument");
  }
  if (kind == "status") {
    fault->kind = Kind::Status;
    return (hasArg && parseWord(arg, &fault->status)) ||
           fail(error, "expected status:WORD, e.g. status:0xECA60102");
  }
  if (kind == "delay" || kind == "bytewise") {
    fault->kind = kind == "delay" ? Kind::Delay : Kind::Bytewise;
    if (!hasArg && kind == "bytewise") n = 1;
    if ((hasArg && !parseMillis(arg, &n)) || n > 3600000 || (!hasArg && kind == "delay"))
      return fail(error, "expected " + kind + ":DURATION up to 1 hour: " + zqopt::kDurationForms);
    fault->millis = static_cast<uint32_t>(n);
    return true;
  }
  if (kind == "partial" || kind == "overlong") {
    fault->kind = kind == "partial" ? Kind::Partial : Kind::Overlong;
    if (!hasArg) n = kind == "partial" ? Fault::kHalf : 1;
    const uint64_t max = kind == "partial" ? Fault::kHalf - 1 : 65536;
    if ((hasArg && !parseUnsigned(arg, max, &n)) || (kind == "overlong" && n == 0))
      return fail(error, "expected " + kind + "[:BYTES]" +
                             (kind == "overlong" ? " with BYTES from 1 to 65536" : ""));
    fault->bytes = static_cast<uint32_t>(n);
    return true;
  }
  return fail(error, "unknown fault '" + kind +
                         "' (status, delay, close, partial, bytewise, overlong, hang, none)");
}

enum class LineRead { Line, End, TooLong };

// One line without its newline, never longer than kLongestLine; a read
// error ends the text like its end does, and leaves `in` bad.
LineRead readLine(std::istream& in, std::string* line) {
  line->clear();
  char c;
  while (in.get(c)) {
    if (c == '\n') return LineRead::Line;
    if (line->size() == kLongestLine) return LineRead::TooLong;
    line->push_back(c);
  }
  return line->empty() ? LineRead::End : LineRead::Line;
}

}  // namespace

bool parseFaultRule(const std::string& rule, FaultDef* def, std::string* error) {
  const size_t eq = rule.find('=');
  if (eq == std::string::npos || !parseKey(rule.substr(0, eq), &def->key))
    return fail(error, "expected INDEX:OFFSET=KIND[:ARG], got '" + rule + "'");
  const std::string rest = rule.substr(eq + 1);
  const size_t colon = rest.find(':');
  const bool hasArg = colon != std::string::npos;
  def->fault = Fault();
  return parseFaultKind(rest.substr(0, colon), hasArg ? rest.substr(colon + 1) : std::string(),
                        hasArg, &def->fault, error);
}

bool parseProfile(std::istream& in, const std::string& source, Profile* profile,
                  std::string* error) {
  std::vector<StepBuilder> steps(1);
  std::string line;
  int number = 1;
  for (;; ++number) {
    const LineRead read = readLine(in, &line);
    if (read == LineRead::End || in.bad()) break;
    std::vector<Token> tokens;
    std::string why = read == LineRead::TooLong ? "line longer than 1 MiB" : "";
    if (read == LineRead::Line && tokenize(line, &tokens, &why) &&
        (tokens.empty() || parseLine(tokens, number, &steps, &why)))
      continue;
    *error = source + ":" + std::to_string(number) + ": " + why;
    return false;
  }
  if (in.bad()) {
    *error = source + ":" + std::to_string(number) + ": read error";
    return false;
  }
  profile->steps.clear();
  for (StepBuilder& builder : steps) profile->steps.push_back(std::move(builder.step));
  return true;
}

bool parseProfile(const std::string& text, const std::string& source, Profile* profile,
                  std::string* error) {
  std::istringstream in(text);
  return parseProfile(in, source, profile, error);
}

}  // namespace zqsim
