#include "History.h"

#include <time.h>

#include <iostream>

#include "Duration.h"
#include "Service.h"
#include "Values.h"

namespace zqctl {

namespace {

using zqjournal::Seconds;

Seconds wallNow() { return static_cast<Seconds>(::time(nullptr)); }

int unreadable(const std::string& command, const std::string& why) {
  std::cerr << "ZqUpsCtl " << command << ": " << escapeText(why) << std::endl;
  return kExitJournal;
}

nlohmann::json entryJson(const zqjournal::Entry& entry) {
  nlohmann::json object = {{"time", zqjournal::timeText(entry.time)},
                           {"event", zqjournal::eventName(entry.event)}};
  if (entry.lineVoltage) object["line_voltage"] = *entry.lineVoltage;
  if (entry.runtimeMinutes) object["runtime_min"] = *entry.runtimeMinutes;
  if (entry.batterySpell) object["battery_s"] = *entry.batterySpell;
  if (entry.lostSpell) object["lost_s"] = *entry.lostSpell;
  if (entry.unknownSpell) object["unknown_s"] = *entry.unknownSpell;
  if (!entry.reason.empty()) object["reason"] = entry.reason;
  return object;
}

std::string timeOrNone(Seconds time) { return time == 0 ? "none" : zqjournal::timeText(time); }

void printStats(const std::string& path, const zqjournal::State& state,
                const zqjournal::Stats& stats, Seconds now) {
  std::cout << "journal: " << escapeText(path) << " (since " << timeOrNone(stats.firstEntry) << ")\n"
            << "power: " << zqjournal::powerName(state.power);
  if (state.powerSince != 0)
    std::cout << " since " << zqjournal::timeText(state.powerSince) << " ("
              << std::max<Seconds>(0, now - state.powerSince) << " s)";
  if (state.batteryLow) std::cout << ", battery low";
  if (state.serviceLost) std::cout << ", service lost";
  if (state.fsd) std::cout << ", forced shutdown";
  std::cout << "\ntransfers to battery: " << stats.transfers
            << "\nseconds on battery: " << stats.batterySeconds << " (longest spell "
            << stats.longestBatterySpell << ", last " << stats.lastBatterySpell << ")"
            << "\nlast transfer: " << timeOrNone(stats.lastTransfer.value_or(0));
  if (!stats.lastTransferReason.empty()) std::cout << ", " << escapeText(stats.lastTransferReason);
  std::cout << "\nservice lost: " << stats.lostSpells << " spell(s), " << stats.lostSeconds << " s"
            << "\nunknown (nobody watched): " << stats.unknownSeconds << " s" << std::endl;
}

nlohmann::json statsJson(const std::string& path, const zqjournal::State& state,
                         const zqjournal::Stats& stats) {
  const auto timeOrNull = [](Seconds time) {
    return time == 0 ? nlohmann::json() : nlohmann::json(zqjournal::timeText(time));
  };
  return {{"journal", path},
          {"since", timeOrNull(stats.firstEntry)},
          {"power", zqjournal::powerName(state.power)},
          {"power_since", timeOrNull(state.powerSince)},
          {"battery_low", state.batteryLow},
          {"service_lost", state.serviceLost},
          {"fsd", state.fsd},
          {"transfers", stats.transfers},
          {"battery_seconds", stats.batterySeconds},
          {"longest_battery_spell", stats.longestBatterySpell},
          {"last_battery_spell", stats.lastBatterySpell},
          {"last_transfer", timeOrNull(stats.lastTransfer.value_or(0))},
          {"last_transfer_reason", stats.lastTransferReason},
          {"service_lost_spells", stats.lostSpells},
          {"service_lost_seconds", stats.lostSeconds},
          {"unknown_seconds", stats.unknownSeconds}};
}

}  // namespace

std::optional<Seconds> sinceTime(const std::string& text, Seconds now) {
  if (const auto time = zqjournal::parseTime(text)) return time;
  const char unit = text.empty() ? 0 : text.back();
  if (unit == 'd' || unit == 'h') {
    std::chrono::milliseconds count;
    if (!zqopt::parseDuration(text.substr(0, text.size() - 1) + "s", &count)) return std::nullopt;
    return now - std::chrono::duration_cast<std::chrono::seconds>(count).count() *
                     (unit == 'd' ? 86400 : 3600);
  }
  std::chrono::milliseconds ago;
  if (!zqopt::parseDuration(text, &ago)) return std::nullopt;
  return now - std::chrono::duration_cast<std::chrono::seconds>(ago).count();
}

int listEvents(const std::string& path, Seconds since, bool json) {
  std::vector<zqjournal::Entry> entries;
  std::string why;
  if (!zqjournal::readJournal(path, since, &entries, nullptr, &why))
    return unreadable("events", why);
  for (const zqjournal::Entry& entry : entries) {
    if (json) {
      std::cout << jsonText(entryJson(entry)) << "\n";
    } else {
      // Printable ASCII only, as the journal holds it.
      std::cout << zqjournal::entryLine(entry);
    }
  }
  std::cout.flush();
  return kExitOk;
}

int showStats(const std::string& path, bool json) {
  zqjournal::Ledger ledger;
  std::string why;
  if (!zqjournal::readJournal(path, 0, nullptr, &ledger, &why)) return unreadable("stats", why);
  const Seconds now = wallNow();
  const zqjournal::Stats stats = ledger.statsAt(now);
  if (json) std::cout << jsonText(statsJson(path, ledger.state(), stats)) << std::endl;
  else printStats(path, ledger.state(), stats, now);
  return kExitOk;
}

}  // namespace zqctl
