#include "Session.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "Log.h"
#include "ReplyLines.h"

#ifndef ZQUPSNETD_VERSION
#define ZQUPSNETD_VERSION "0"
#endif

namespace zqnetd {

namespace {

const char kFixedDescription[] = "UPS on the local UPS service";

bool same(std::string_view word, std::string_view name) { return sameWord(word, name); }

// The keyword among `names` that `word` is in any case, as the protocol
// spells it; null for none.
const char* keyword(std::string_view word, std::initializer_list<const char*> names) {
  for (const char* name : names)
    if (same(word, name)) return name;
  return nullptr;
}

// The value a client sees: ups.status carries FSD, made in `made`.
std::optional<std::string_view> valueOf(const Shared& shared, const Variable& variable,
                                        std::string* made) {
  const std::optional<std::string>& value = shared.snapshot->values[indexOf(variable)];
  if (!shared.forcedShutdown || std::string_view(variable.name) != "ups.status") {
    if (!value) return std::nullopt;
    return std::string_view(*value);
  }
  *made = "FSD";
  if (value) *made += " " + *value;
  return std::string_view(*made);
}

std::string typeOf(const Variable& variable) {
  std::string type = variable.writable ? "RW " : "";
  return type + (isText(variable) ? "STRING:" + std::to_string(textLength(variable)) : "NUMBER");
}

// A random id in the form of a version 4 UUID.
std::string newTrackingId() {
  unsigned char bytes[16];
  if (::getentropy(bytes, sizeof bytes) != 0) {
    // Unique still, if guessable: an id reveals only a write's outcome.
    static std::atomic<unsigned long long> counter{0};
    const unsigned long long next = ++counter;
    for (size_t i = 0; i < sizeof bytes; ++i)
      bytes[i] = static_cast<unsigned char>(i < 8 ? next >> (8 * i) : ::getpid() >> (i % 4));
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
  static const char kHex[] = "0123456789abcdef";
  std::string id;
  for (size_t i = 0; i < sizeof bytes; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
    id += kHex[bytes[i] >> 4];
    id += kHex[bytes[i] & 0x0f];
  }
  return id;
}

// What a row asks of the session before its handler runs.
enum CommandFlag : unsigned {
  kListed = 1,       // named in HELP's reply
  kTls = 2,          // sends a secret or changes the UPS: refused in the clear when TLS is required
  kCredentials = 4,  // USERNAME and PASSWORD first (rights imply it)
};

constexpr size_t kAnyWords = SIZE_MAX;

// Whether `words` begin with the one or two words of `name`.
bool names(const char* name, const Words& words) {
  const std::string_view both(name);
  const size_t space = both.find(' ');
  if (space == std::string_view::npos) return same(words[0], both);
  return words.size() >= 2 && same(words[0], both.substr(0, space)) &&
         same(words[1], both.substr(space + 1));
}

}  // namespace

struct Session::Command {
  const char* name;  // a word, or two for a subcommand with a row of its own
  size_t minWords, maxWords;
  unsigned flags;
  unsigned rights;  // any of these, the password checked; 0: no check
  Reply (Session::*handler)(const Words&, Clock::time_point);
};

bool Shared::fresh(Clock::time_point now) const {
  return snapshot && snapshot->reached && now - snapshot->taken <= staleAfter;
}

void Shared::publish(std::shared_ptr<const Snapshot> next) {
  if (next->reached && !next->model.empty()) lastModel = next->model;
  snapshot = std::move(next);
}

void Shared::writeVerified(const zqread::Point& point, const zqread::Value& value) {
  if (snapshot)
    snapshot = std::make_shared<const Snapshot>(withPoint(*snapshot, point.name, value));
}

std::string Tracked::add() {
  std::string id = newTrackingId();
  if (order_.size() >= kKept) {
    outcomes_.erase(order_.front());
    order_.pop_front();
  }
  outcomes_.emplace(id, State::Pending);
  order_.push_back(id);
  return id;
}

void Tracked::settle(std::string_view id, bool held) {
  const auto found = outcomes_.find(id);
  if (found != outcomes_.end()) found->second = held ? State::Held : State::Failed;
}

const char* Tracked::outcome(std::string_view id) const {
  const auto found = outcomes_.find(id);
  if (found == outcomes_.end()) return nullptr;
  switch (found->second) {
    case State::Pending:
      return "PENDING";
    case State::Held:
      return "SUCCESS";
    case State::Failed:
      break;
  }
  return "ERR FAILED";
}

std::string Shared::upsDescription() const {
  if (!description.empty()) return description;
  return lastModel.empty() ? kFixedDescription : lastModel;
}

Session::~Session() {
  if (!loggedIn_) return;
  const auto found = shared_->logins.find(address_);
  if (found != shared_->logins.end()) shared_->logins.erase(found);
}

Reply Session::handle(std::string_view line, Clock::time_point now) {
  switch (request_.parse(line)) {
    case Parse::Empty:
      return error("UNKNOWN-COMMAND");
    case Parse::Invalid:
      return error("INVALID-ARGUMENT");
    case Parse::Words:
      break;
  }
  return dispatch(request_.words(), now);
}

const std::vector<Session::Command>& Session::commands() {
  // HELP names the kListed rows in this order.
  static const std::vector<Command> kCommands = {
      {"HELP", 1, 1, kListed, 0, &Session::help},
      {"VER", 1, 1, kListed, 0, &Session::version},
      {"GET", 2, 4, kListed, 0, &Session::get},
      {"LIST", 2, 4, kListed, 0, &Session::list},
      {"SET VAR", 5, 5, kTls, kSet, &Session::setVariable},
      {"SET", 2, 3, kListed | kTls, 0, &Session::setTracking},
      {"INSTCMD", 3, kAnyWords, kListed | kCredentials, 0, &Session::instantCommand},
      {"LOGIN", 2, 2, kListed | kTls, kMonitor | kPrimary, &Session::login},
      {"LOGOUT", 1, 1, kListed, 0, &Session::logout},
      {"USERNAME", 2, 2, kListed | kTls, 0, &Session::setUsername},
      {"PASSWORD", 2, 2, kListed | kTls, 0, &Session::setPassword},
      {"STARTTLS", 1, 1, kListed, 0, &Session::startTls},
      {"NETVER", 1, 1, 0, 0, &Session::protocolVersion},
      {"PROTVER", 1, 1, 0, 0, &Session::protocolVersion},
      {"PRIMARY", 2, 2, kTls, kPrimary, &Session::primary},
      {"MASTER", 2, 2, kTls, kPrimary, &Session::primary},
      {"FSD", 2, 2, kTls, kPrimary, &Session::forcedShutdown},
  };
  return kCommands;
}

const Session::Command* Session::commandFor(const Words& words) {
  for (const Command& command : commands())
    if (names(command.name, words)) return &command;
  return nullptr;
}

Reply Session::dispatch(const Words& words, Clock::time_point now) {
  const Command* command = commandFor(words);
  if (command == nullptr) return error("UNKNOWN-COMMAND");
  if ((command->flags & kTls) != 0 && shared_->tlsRequired && !encrypted_)
    return lineReply("ERR ACCESS-DENIED STARTTLS first");
  if (words.size() < command->minWords || words.size() > command->maxWords)
    return error("INVALID-ARGUMENT");
  if (auto refused = refuseUnless(*command)) return *refused;
  return (this->*command->handler)(words, now);
}

Reply Session::version(const Words&, Clock::time_point) {
  return lineReply("ZqUpsNetd " ZQUPSNETD_VERSION " - network UPS protocol server");
}

Reply Session::protocolVersion(const Words&, Clock::time_point) { return lineReply("1.3"); }

Reply Session::help(const Words&, Clock::time_point) {
  static const std::string kHelp = [] {
    std::string text = "Commands:";
    for (const Command& command : commands())
      if ((command.flags & kListed) != 0) text += std::string(" ") + command.name;
    return text;
  }();
  return lineReply(kHelp);
}

Reply Session::list(const Words& words, Clock::time_point now) {
  const char* what = keyword(words[1], {"UPS", "VAR", "RW", "CMD", "CLIENT", "ENUM", "RANGE"});
  if (what == nullptr) return error("INVALID-ARGUMENT");
  const std::string_view ups = shared_->upsName;
  if (same(what, "UPS") && words.size() == 2) {
    beginList(what);
    appendValueLine(&out_, {"UPS", ups}, shared_->upsDescription());
    return endList(what);
  }
  const bool perVariable = same(what, "ENUM") || same(what, "RANGE");
  if (same(what, "UPS") || words.size() != (perVariable ? 4u : 3u))
    return error("INVALID-ARGUMENT");
  if (!isUps(words[2])) return error("UNKNOWN-UPS");
  const Variable* variable = perVariable ? variableNamed(words[3]) : nullptr;
  if (perVariable && variable == nullptr) return error("VAR-NOT-SUPPORTED");
  const bool values = same(what, "VAR") || same(what, "RW");
  if (values && !shared_->fresh(now)) return error("DATA-STALE");
  std::string head = std::string(what) + " " + shared_->upsName;
  if (variable != nullptr) head += std::string(" ") + variable->name;
  beginList(head);
  if (same(what, "CLIENT")) {
    for (const std::string& address : shared_->logins) {
      appendWords(&out_, {"CLIENT", ups, address});
      out_ += '\n';
    }
  } else if (values) {
    out_ += valueLines(ups, same(what, "RW"));
  }
  return endList(head);
}

const std::string& Session::valueLines(std::string_view ups, bool writableOnly) {
  Shared::Listing& made = shared_->listing;
  if (made.snapshot == shared_->snapshot && made.forcedShutdown == shared_->forcedShutdown &&
      made.writableOnly == writableOnly && made.ups == ups)
    return made.lines;
  made.snapshot = shared_->snapshot;
  made.forcedShutdown = shared_->forcedShutdown;
  made.writableOnly = writableOnly;
  made.ups.assign(ups.data(), ups.size());
  made.lines.clear();
  for (const Variable& variable : variables()) {
    if (writableOnly && !variable.writable) continue;
    if (const auto value = valueOf(*shared_, variable, &value_))
      appendValueLine(&made.lines, {writableOnly ? "RW" : "VAR", ups, variable.name}, *value);
  }
  return made.lines;
}

Reply Session::get(const Words& words, Clock::time_point now) {
  if (same(words[1], "TRACKING")) return tracking(words);
  if (words.size() < 3) return error("INVALID-ARGUMENT");
  const char* what =
      keyword(words[1], {"UPSDESC", "NUMLOGINS", "VAR", "TYPE", "DESC", "CMDDESC"});
  const bool perUps = what != nullptr && (same(what, "UPSDESC") || same(what, "NUMLOGINS"));
  if (what == nullptr || words.size() != (perUps ? 3u : 4u)) return error("INVALID-ARGUMENT");
  if (!isUps(words[2])) return error("UNKNOWN-UPS");
  const std::string_view ups = shared_->upsName;
  if (same(what, "UPSDESC")) return valueReply({what, ups}, shared_->upsDescription());
  if (same(what, "NUMLOGINS"))
    return lineReply({what, ups, std::to_string(shared_->logins.size())});
  if (same(what, "CMDDESC")) return error("CMD-NOT-SUPPORTED");
  if (same(what, "VAR") && !shared_->fresh(now)) return error("DATA-STALE");
  const Variable* variable = variableNamed(words[3]);
  if (variable == nullptr) return error("VAR-NOT-SUPPORTED");
  const std::string_view name = variable->name;
  if (same(what, "TYPE")) return lineReply({what, ups, name, typeOf(*variable)});
  if (same(what, "DESC")) return valueReply({what, ups, name}, variable->description);
  if (const auto value = valueOf(*shared_, *variable, &value_))
    return valueReply({what, ups, name}, *value);
  const bool unread = variable->source == Source::Status ||
                      shared_->snapshot->unread.count(name) != 0;
  return error(unread ? "DATA-STALE" : "VAR-NOT-SUPPORTED");
}

Reply Session::tracking(const Words& words) {
  const bool setting = same(words[0], "SET");
  if (words.size() == 2 && !setting) return lineReply(tracking_ ? "ON" : "OFF");
  if (words.size() != 3) return error("INVALID-ARGUMENT");
  if (!setting) {
    const char* outcome = shared_->tracked.outcome(words[2]);
    return outcome != nullptr ? lineReply(outcome) : error("INVALID-ARGUMENT");
  }
  if (!same(words[2], "ON") && !same(words[2], "OFF")) return error("INVALID-ARGUMENT");
  tracking_ = same(words[2], "ON");
  return lineReply("OK");
}

Reply Session::setTracking(const Words& words, Clock::time_point) {
  return same(words[1], "TRACKING") ? tracking(words) : error("INVALID-ARGUMENT");
}

Reply Session::setVariable(const Words& words, Clock::time_point now) {
  if (!isUps(words[2])) return error("UNKNOWN-UPS");
  const Variable* variable = variableNamed(words[3]);
  if (variable == nullptr) return error("VAR-NOT-SUPPORTED");
  if (!variable->writable) return error("READONLY");
  if (isText(*variable) && variable->format == Format::Text &&
      words[4].size() > textLength(*variable))
    return error("TOO-LONG");
  if (!writableAs(*variable, words[4])) return error("INVALID-VALUE");
  const auto point = zqread::resolvePoint(variable->point, zqread::Kind::Hex);
  Reply reply;
  std::string why;
  zqread::Value wanted;
  if (!zqread::encode(*point, std::string(words[4]), &reply.write.bytes, &why) ||
      !zqread::decode(*point, reply.write.bytes, &wanted, &why))
    return error("INVALID-VALUE");
  if (!shared_->fresh(now)) return error("DATA-STALE");
  reply.write.variable = variable->name;
  reply.write.point = *point;
  reply.write.wanted = wanted.text;
  reply.wait = Reply::Wait::Write;
  return reply;
}

Reply Session::written(bool held) {
  if (!tracking_) return held ? lineReply("OK") : error("SET-FAILED");
  const std::string id = shared_->tracked.add();
  shared_->tracked.settle(id, held);
  return lineReply({"OK TRACKING", id});
}

Reply Session::sent(std::string* trackingId) {
  trackingId->clear();
  if (!tracking_) return lineReply("OK");
  *trackingId = shared_->tracked.add();
  return lineReply({"OK TRACKING", *trackingId});
}

Reply Session::setUsername(const Words& words, Clock::time_point) {
  if (!username_.empty()) return error("ALREADY-SET-USERNAME");
  if (words[1].empty()) return error("INVALID-USERNAME");
  username_ = words[1];
  return lineReply("OK");
}

Reply Session::setPassword(const Words& words, Clock::time_point) {
  if (password_) return error("ALREADY-SET-PASSWORD");
  password_ = words[1];
  return lineReply("OK");
}

Reply Session::startTls(const Words&, Clock::time_point) {
  if (!shared_->tlsOffered) return error("FEATURE-NOT-CONFIGURED");
  if (encrypted_) return error("ALREADY-SSL-MODE");
  encrypted_ = true;
  Reply reply = lineReply("OK STARTTLS");
  reply.startTls = true;
  return reply;
}

Reply Session::login(const Words& words, Clock::time_point) {
  if (loggedIn_) return error("ALREADY-LOGGED-IN");
  if (!isUps(words[1])) return error("UNKNOWN-UPS");
  loggedIn_ = true;
  shared_->logins.insert(address_);
  return lineReply("OK");
}

Reply Session::primary(const Words& words, Clock::time_point) {
  if (!isUps(words[1])) return error("UNKNOWN-UPS");
  return lineReply(same(words[0], "MASTER") ? "OK MASTER-GRANTED" : "OK PRIMARY-GRANTED");
}

Reply Session::forcedShutdown(const Words& words, Clock::time_point) {
  if (!isUps(words[1])) return error("UNKNOWN-UPS");
  shared_->forcedShutdown = true;
  zqjournal::Observation seen;
  seen.event = zqjournal::Event::Fsd;
  seen.reason = "set by " + username_ + " from " + address_;
  logLine("FSD " + seen.reason);
  if (shared_->journal) shared_->journal->record(seen);
  return lineReply("OK FSD-SET");
}

Reply Session::logout(const Words&, Clock::time_point) {
  Reply reply = lineReply("OK Goodbye");
  reply.close = true;
  return reply;
}

// No instant command is offered.
Reply Session::instantCommand(const Words& words, Clock::time_point) {
  return error(isUps(words[1]) ? "CMD-NOT-SUPPORTED" : "UNKNOWN-UPS");
}

std::optional<Reply> Session::refuseUnless(const Command& command) {
  if ((command.flags & kCredentials) == 0 && command.rights == 0) return std::nullopt;
  if (username_.empty()) return error("USERNAME-REQUIRED");
  if (!password_) return error("PASSWORD-REQUIRED");
  if (command.rights == 0) return std::nullopt;
  if (!checked_ && (shared_->users == nullptr || shared_->users->empty())) passwordChecked({});
  if (!checked_) {
    Reply reply;
    reply.wait = Reply::Wait::Password;
    return reply;
  }
  if ((rights_ & command.rights) == 0) return error("ACCESS-DENIED");
  return std::nullopt;
}

bool Session::isUps(std::string_view name) const { return same(name, shared_->upsName); }

void Session::replyTaken() {
  if (out_.capacity() > kKeptReply) std::string().swap(out_);
}

Reply Session::lineReply(std::string_view line) { return lineReply(Line{line}); }

Reply Session::lineReply(std::initializer_list<std::string_view> words) {
  out_.clear();
  appendWords(&out_, words);
  out_ += '\n';
  return Reply{out_};
}

Reply Session::error(const char* word) { return lineReply({"ERR", word}); }

Reply Session::valueReply(std::initializer_list<std::string_view> head, std::string_view value) {
  out_.clear();
  appendValueLine(&out_, head, value);
  return Reply{out_};
}

void Session::beginList(std::string_view head) {
  out_.clear();
  appendWords(&out_, {"BEGIN LIST", head});
  out_ += '\n';
}

Reply Session::endList(std::string_view head) {
  appendWords(&out_, {"END LIST", head});
  out_ += '\n';
  return Reply{out_};
}

}  // namespace zqnetd
