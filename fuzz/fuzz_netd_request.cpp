// Fuzzes ZqUpsNetd's request handling: arbitrary bytes, in pieces, through
// the line framer and one session against a fixed snapshot, password
// checks and writes answered either way.  Whatever arrives, no line is
// longer than the bound, and every reply is whole lines of printable
// ASCII of at most 511 bytes each.
#include "Request.h"
#include "Session.h"

#include <cstdlib>

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

zqread::Reading fixedReading() {
  zqread::Reading reading;
  reading.answered = true;
  for (const zqread::Point& point : zqread::catalogue()) {
    zqread::Value value;
    value.kind = point.kind;
    const bool number = point.kind == zqread::Kind::Float || point.kind == zqread::Kind::Int;
    value.text = number ? "230" : point.name + "\"\\\x01\xff";
    if (number) value.number = 230;
    reading.points.push_back({point, value, {}});
  }
  return reading;
}

void checkReply(std::string_view text) {
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    check(end + 1 - start <= 511);
    for (size_t i = start; i < end; ++i) check(text[i] >= 0x20 && text[i] <= 0x7e);
  }
  check(start == text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const zqnetd::Users users = [] {
    zqnetd::Users parsed;
    std::string error;
    check(parsed.parse(
        "admin:$6$salt$" + std::string(86, 'a') + ":monitor,primary,set\n", &error));
    return parsed;
  }();
  const auto now = zqnetd::Clock::now();
  zqnetd::Shared shared;
  shared.users = &users;
  shared.publish(std::make_shared<const zqnetd::Snapshot>(
      zqnetd::snapshotOf(fixedReading(), zqnetd::Rules{}, now)));
  zqnetd::Session session(&shared, "192.0.2.1");
  zqnetd::LineFramer framer;

  // The first byte cuts the rest into pieces, as reads would.
  const size_t piece = size == 0 ? 1 : data[0] % 64 + 1;
  size_t at = size == 0 ? 0 : 1;
  while (at < size) {
    const size_t length = std::min(piece, size - at);
    framer.append(reinterpret_cast<const char*>(data + at), length);
    at += length;
    std::string line;
    for (;;) {
      const auto next = framer.next(&line);
      if (next == zqnetd::LineFramer::Next::TooLong) return 0;
      if (next == zqnetd::LineFramer::Next::NeedMore) break;
      check(line.size() <= zqnetd::kMaxLine);
      zqnetd::Reply reply = session.handle(line, now);
      if (reply.wait == zqnetd::Reply::Wait::Password) {
        session.passwordChecked(line.size() % 2 == 0 ? std::optional<unsigned>(7) : std::nullopt);
        reply = session.handle(line, now);
        check(reply.wait != zqnetd::Reply::Wait::Password);
      }
      if (reply.wait == zqnetd::Reply::Wait::Write) {
        zqread::Value value;
        check(zqread::decode(reply.write.point, reply.write.bytes, &value, &line));
        const bool held = line.size() % 3 != 0;
        if (held) shared.writeVerified(reply.write.point, value);
        reply = session.written(held);
      }
      checkReply(reply.text);
      if (reply.close) return 0;
    }
  }
  return 0;
}
