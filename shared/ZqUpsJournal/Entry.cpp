// The journal's lines: entries, times and the ledger that folds them.
#include <time.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Journal.h"

namespace zqjournal {

namespace {

// In the order of zqread::Power.
const char* const kPowerNames[] = {"on-mains", "on-battery", "unknown"};

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

// Quoted, with the quote and the backslash escaped and every byte but
// printable ASCII as \xhh, so that a line is safe on a terminal as it is.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// KEY=VALUE words after the time and the name; a quoted value ends at its
// closing quote.
bool splitFields(const std::string& line, size_t at,
                 std::vector<std::pair<std::string, std::string>>* fields, std::string* why) {
  while (at < line.size()) {
    if (line[at] == ' ') {
      ++at;
      continue;
    }
    const size_t equals = line.find('=', at);
    if (equals == std::string::npos) return *why = "a word without '='", false;
    std::string key = line.substr(at, equals - at);
    std::string value;
    at = equals + 1;
    if (at < line.size() && line[at] == '"') {
      for (++at;; ++at) {
        if (at >= line.size()) return *why = "an unclosed quote", false;
        const char c = line[at];
        if (c == '"') break;
        if (c != '\\') {
          value += c;
        } else if (at + 1 < line.size() && line[at + 1] == 'x' && at + 3 < line.size()) {
          value += static_cast<char>(std::strtol(line.substr(at + 2, 2).c_str(), nullptr, 16));
          at += 3;
        } else if (++at < line.size()) {
          value += line[at];
        }
      }
      ++at;
    } else {
      const size_t end = std::min(line.find(' ', at), line.size());
      value = line.substr(at, end - at);
      at = end;
    }
    fields->emplace_back(std::move(key), std::move(value));
  }
  return true;
}

bool parseNumber(const std::string& text, double* value) {
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0';
}

bool parseCount(const std::string& text, std::int64_t* value) {
  char* end = nullptr;
  *value = std::strtoll(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && *value >= 0;
}

std::optional<Power> powerNamed(const std::string& name) {
  for (int i = 0; i < 3; ++i)
    if (name == kPowerNames[i]) return static_cast<Power>(i);
  return std::nullopt;
}

Seconds clampedSince(Seconds from, Seconds to) { return std::max<Seconds>(0, to - from); }

const char kCarried[] = "carried";

}  // namespace

const char* powerName(Power power) { return kPowerNames[static_cast<int>(power)]; }

bool parseSize(const std::string& text, std::uintmax_t* size) {
  char* end = nullptr;
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  const unsigned long long number = std::strtoull(text.c_str(), &end, 10);
  const std::string unit = end;
  const unsigned long long scale = unit.empty() ? 1 : unit == "k" || unit == "K" ? 1024
                                                   : unit == "M" ? 1024 * 1024 : 0;
  if (scale == 0 || number > (1ULL << 40) / scale || number * scale < 4096) return false;
  *size = number * scale;
  return true;
}

const char* eventName(Event event) {
  switch (event) {
    case Event::Fsd: return "fsd";
    case Event::Unknown: return "unknown";
    default: return zqread::eventName(static_cast<zqread::PowerEventKind>(event));
  }
}

std::optional<Event> eventNamed(const std::string& name) {
  for (int i = 0; i <= static_cast<int>(Event::Unknown); ++i)
    if (name == eventName(static_cast<Event>(i))) return static_cast<Event>(i);
  return std::nullopt;
}

Observation observed(const zqread::PowerEvent& event) {
  Observation seen;
  seen.event = static_cast<Event>(event.kind);
  seen.lineVoltage = event.lineVoltage;
  seen.runtimeMinutes = event.runtimeMinutes;
  seen.reason = event.reason;
  seen.at = event.at;
  return seen;
}

std::string timeText(Seconds time) {
  const time_t t = static_cast<time_t>(time);
  struct tm parts;
  char text[40] = "";
  if (::gmtime_r(&t, &parts) != nullptr) ::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::optional<Seconds> parseTime(const std::string& text) {
  struct tm parts;
  std::memset(&parts, 0, sizeof parts);
  char zone = 0;
  int used = 0;
  const int n = std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &parts.tm_year, &parts.tm_mon,
                            &parts.tm_mday, &used);
  if (n != 3 || used != 10) return std::nullopt;
  if (text.size() != 10) {
    int more = 0;
    if (std::sscanf(text.c_str() + 10, "T%2d:%2d:%2d%c%n", &parts.tm_hour, &parts.tm_min,
                    &parts.tm_sec, &zone, &more) != 4 ||
        zone != 'Z' || text.size() != static_cast<size_t>(10 + more))
      return std::nullopt;
  }
  if (parts.tm_mon < 1 || parts.tm_mon > 12 || parts.tm_mday < 1 || parts.tm_mday > 31 ||
      parts.tm_hour > 23 || parts.tm_min > 59 || parts.tm_sec > 60)
    return std::nullopt;
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  return static_cast<Seconds>(::timegm(&parts));
}

std::string entryLine(const Entry& entry) {
  std::string line = timeText(entry.time) + " " + eventName(entry.event);
  if (entry.lineVoltage) line += " line_voltage=" + number(*entry.lineVoltage);
  if (entry.runtimeMinutes) line += " runtime_min=" + number(*entry.runtimeMinutes);
  if (entry.batterySpell) line += " battery_s=" + std::to_string(*entry.batterySpell);
  if (entry.lostSpell) line += " lost_s=" + std::to_string(*entry.lostSpell);
  if (entry.unknownSpell) line += " unknown_s=" + std::to_string(*entry.unknownSpell);
  if (!entry.reason.empty()) line += " reason=" + quoted(entry.reason);
  return line + "\n";
}

bool parseEntry(const std::string& line, Entry* entry, std::string* why) {
  const size_t space = line.find(' ');
  const auto time = parseTime(line.substr(0, space));
  if (!time) return *why = "no time first", false;
  const size_t nameEnd = std::min(line.find(' ', space + 1), line.size());
  const auto event =
      space == std::string::npos ? std::nullopt : eventNamed(line.substr(space + 1, nameEnd - space - 1));
  if (!event) return *why = "no event after the time", false;
  std::vector<std::pair<std::string, std::string>> fields;
  if (!splitFields(line, nameEnd, &fields, why)) return false;
  Entry parsed;
  parsed.time = *time;
  parsed.event = *event;
  for (const auto& field : fields) {
    double value = 0;
    std::int64_t count = 0;
    const std::string& key = field.first;
    bool good = true;
    if (key == "reason") parsed.reason = field.second;
    else if (key == "line_voltage" && (good = parseNumber(field.second, &value))) parsed.lineVoltage = value;
    else if (key == "runtime_min" && (good = parseNumber(field.second, &value))) parsed.runtimeMinutes = value;
    else if (key == "battery_s" && (good = parseCount(field.second, &count))) parsed.batterySpell = count;
    else if (key == "lost_s" && (good = parseCount(field.second, &count))) parsed.lostSpell = count;
    else if (key == "unknown_s" && (good = parseCount(field.second, &count))) parsed.unknownSpell = count;
    // Other keys are a later version's additions within this format.
    if (!good) return *why = "a bad " + key, false;
  }
  *entry = std::move(parsed);
  return true;
}

void Ledger::apply(const Entry& entry) {
  State& s = state_;
  if (stats_.firstEntry == 0) stats_.firstEntry = entry.time;
  if (s.unwatched && entry.event != Event::Unknown) {
    stats_.unknownSeconds += entry.unknownSpell.value_or(clampedSince(s.powerSince, entry.time));
    s.unwatched = false;
  }
  const auto endBattery = [&] {
    if (s.power != Power::OnBattery) return;
    const Seconds spell = entry.batterySpell.value_or(clampedSince(s.powerSince, entry.time));
    stats_.batterySeconds += spell;
    stats_.longestBatterySpell = std::max(stats_.longestBatterySpell, spell);
    stats_.lastBatterySpell = spell;
  };
  const auto endLost = [&] {
    if (!s.serviceLost) return;
    stats_.lostSeconds += entry.lostSpell.value_or(clampedSince(s.lostSince, entry.time));
    s.serviceLost = false;
  };
  switch (entry.event) {
    case Event::OnBattery:
      if (s.power == Power::OnBattery) break;
      // After a gap that began on battery the outage may be the same one.
      if (!(s.power == Power::Unknown && powerBeforeGap_ == Power::OnBattery)) {
        ++stats_.transfers;
        stats_.lastTransfer = entry.time;
        stats_.lastTransferReason = entry.reason;
      }
      s.power = Power::OnBattery;
      s.powerSince = entry.time;
      break;
    case Event::OnMains:
      if (s.power == Power::OnMains) break;
      endBattery();
      s.power = Power::OnMains;
      s.powerSince = entry.time;
      s.batteryLow = s.fsd = false;
      break;
    case Event::BatteryLow: s.batteryLow = true; break;
    case Event::BatteryOk: s.batteryLow = false; break;
    case Event::ServiceLost:
      if (s.serviceLost) break;
      s.serviceLost = true;
      s.lostSince = entry.time;
      ++stats_.lostSpells;
      break;
    case Event::ServiceBack: endLost(); break;
    case Event::Fsd: s.fsd = true; break;
    case Event::Unknown:
      if (s.unwatched) break;
      endBattery();
      endLost();
      powerBeforeGap_ = s.power;
      s = State{Power::Unknown, false, false, false, true, entry.time, 0, 0};
      break;
  }
  if (s.power != Power::Unknown) powerBeforeGap_.reset();
  s.lastEntry = entry.time;
}

bool Ledger::changes(Event event) const {
  const State& s = state_;
  switch (event) {
    case Event::OnBattery: return s.power != Power::OnBattery;
    case Event::OnMains: return s.power != Power::OnMains;
    case Event::BatteryLow: return !s.batteryLow;
    case Event::BatteryOk: return s.batteryLow;
    case Event::ServiceLost: return !s.serviceLost;
    case Event::ServiceBack: return s.serviceLost;
    case Event::Fsd: return !s.fsd;
    case Event::Unknown: return !s.unwatched && s.lastEntry != 0;
  }
  return false;
}

Seconds Ledger::batterySpellAt(Seconds now) const {
  return state_.power == Power::OnBattery ? clampedSince(state_.powerSince, now) : 0;
}

Stats Ledger::statsAt(Seconds now) const {
  Stats stats = stats_;
  const Seconds battery = batterySpellAt(now);
  stats.batterySeconds += battery;
  if (state_.power == Power::OnBattery) {
    stats.longestBatterySpell = std::max(stats.longestBatterySpell, battery);
    stats.lastBatterySpell = battery;
  }
  if (state_.serviceLost) stats.lostSeconds += clampedSince(state_.lostSince, now);
  if (state_.unwatched) stats.unknownSeconds += clampedSince(state_.powerSince, now);
  return stats;
}

namespace {
std::string timeOrDash(Seconds time) { return time == 0 ? "-" : timeText(time); }
Seconds timeOrZero(const std::string& text) { return text == "-" ? 0 : parseTime(text).value_or(0); }
}  // namespace

std::string Ledger::carriedLine(Seconds now) const {
  const State& s = state_;
  const Stats& t = stats_;
  std::string line = timeText(now) + " " + kCarried;
  line += std::string(" power=") + powerName(s.power);
  line += " low=" + std::to_string(s.batteryLow) + " lost=" + std::to_string(s.serviceLost) +
          " fsd=" + std::to_string(s.fsd) + " unwatched=" + std::to_string(s.unwatched);
  line += " power_since=" + timeOrDash(s.powerSince) + " lost_since=" + timeOrDash(s.lostSince) +
          " last_entry=" + timeOrDash(s.lastEntry);
  line += std::string(" before_gap=") +
          (powerBeforeGap_ ? powerName(*powerBeforeGap_) : "-");
  line += " transfers=" + std::to_string(t.transfers) +
          " battery_s=" + std::to_string(t.batterySeconds) +
          " longest_s=" + std::to_string(t.longestBatterySpell) +
          " last_s=" + std::to_string(t.lastBatterySpell) +
          " last_transfer=" + timeOrDash(t.lastTransfer.value_or(0)) +
          " lost_spells=" + std::to_string(t.lostSpells) + " lost_s=" + std::to_string(t.lostSeconds) +
          " unknown_s=" + std::to_string(t.unknownSeconds) + " first_entry=" + timeOrDash(t.firstEntry);
  if (!t.lastTransferReason.empty()) line += " last_reason=" + quoted(t.lastTransferReason);
  return line + "\n";
}

bool Ledger::takeCarried(const std::string& line) {
  const size_t space = line.find(' ');
  if (space == std::string::npos || line.compare(space + 1, sizeof kCarried - 1, kCarried) != 0)
    return false;
  std::vector<std::pair<std::string, std::string>> fields;
  std::string why;
  if (!splitFields(line, space + sizeof kCarried, &fields, &why)) return false;
  Ledger taken;
  State& s = taken.state_;
  Stats& t = taken.stats_;
  for (const auto& field : fields) {
    const std::string& key = field.first;
    const std::string& value = field.second;
    std::int64_t count = 0;
    const bool isCount = parseCount(value, &count);
    if (key == "power") s.power = powerNamed(value).value_or(Power::Unknown);
    else if (key == "before_gap") { if (auto p = powerNamed(value)) taken.powerBeforeGap_ = p; }
    else if (key == "low") s.batteryLow = value == "1";
    else if (key == "lost") s.serviceLost = value == "1";
    else if (key == "fsd") s.fsd = value == "1";
    else if (key == "unwatched") s.unwatched = value == "1";
    else if (key == "power_since") s.powerSince = timeOrZero(value);
    else if (key == "lost_since") s.lostSince = timeOrZero(value);
    else if (key == "last_entry") s.lastEntry = timeOrZero(value);
    else if (key == "first_entry") t.firstEntry = timeOrZero(value);
    else if (key == "last_transfer") { if (Seconds at = timeOrZero(value)) t.lastTransfer = at; }
    else if (key == "last_reason") t.lastTransferReason = value;
    else if (!isCount) continue;
    else if (key == "transfers") t.transfers = static_cast<std::uint64_t>(count);
    else if (key == "battery_s") t.batterySeconds = count;
    else if (key == "longest_s") t.longestBatterySpell = count;
    else if (key == "last_s") t.lastBatterySpell = count;
    else if (key == "lost_spells") t.lostSpells = static_cast<std::uint64_t>(count);
    else if (key == "lost_s") t.lostSeconds = count;
    else if (key == "unknown_s") t.unknownSeconds = count;
  }
  *this = taken;
  return true;
}

}  // namespace zqjournal
