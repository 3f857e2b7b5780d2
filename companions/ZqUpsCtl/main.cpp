// ZqUpsCtl: the UPS's data points from the shell, as text or JSON, writes
// that read themselves back, the on-mains question and power events with
// hooks.
#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <iostream>

#include "DurationOption.h"
#include "SharedOptions.h"
#include "History.h"
#include "JournalOption.h"
#include "Reading.h"
#include "Service.h"
#include "Values.h"
#include "Watch.h"

namespace {

using namespace zqctl;
using namespace std::chrono_literals;
using zqread::Kind;
using zqread::Outcome;
using zqread::Point;
using zqread::Value;

const char kUsage[] =
    "usage: ZqUpsCtl points [--json]\n"
    "       ZqUpsCtl get POINT... [--as TYPE] [--json]\n"
    "       ZqUpsCtl report [--json]\n"
    "       ZqUpsCtl set POINT VALUE [--as TYPE] [--no-verify]\n"
    "       ZqUpsCtl on-mains [--min-line-voltage V] [--verbose]\n"
    "       ZqUpsCtl watch [--interval 2s] [--low-runtime MINUTES] [--min-line-voltage V]\n"
    "                      [--exec CMD] [--hook-timeout 5m] [--json]\n"
    "                      [--journal FILE [--journal-max-size 1M]]\n"
    "       ZqUpsCtl events [--journal FILE] [--since TIME] [--json]\n"
    "       ZqUpsCtl stats [--journal FILE] [--json]\n"
    "POINT: a name from 'ZqUpsCtl points' or INDEX:OFFSET; TYPE: text, float, int, version, hex.\n"
    "Commands that ask the service take --service-owner USER.  More: ZqUpsCtl COMMAND --help\n";

// on-mains answers as on_ac_power does.
enum OnMainsExit { kOnMains = 0, kOnBattery = 1, kCannotTell = 255 };
// The others' output could not be written.
constexpr int kExitOutput = 1;

struct Options {
  bool json = false;
  std::vector<std::string> points;
  std::string point;
  std::string as = "hex";
  std::string value;
  bool noVerify = false;
  bool verbose = false;
  WatchSettings watch;
  zqread::Access access;
  std::string journal = zqjournal::kDefaultPath;
  std::string since;
};

int usageError(const std::string& message) {
  std::cerr << "ZqUpsCtl: " << message << "\n" << kUsage;
  return kExitUsage;
}

// `what` is a line for people, texts from the service escaped.
int failure(const std::string& command, const std::string& point, const std::string& what,
            int status) {
  std::cerr << "ZqUpsCtl " << command << " " << point << ": " << what << std::endl;
  return status;
}

int failure(const std::string& command, const std::string& point, const Outcome& outcome) {
  return failure(command, point, outcome.why, exitFor(outcome));
}

std::optional<Point> pointNamed(const std::string& name, Kind as) {
  return zqread::resolvePoint(name, as);
}

int unknownPoint(const std::string& name) {
  return usageError("unknown point '" + escapeText(name) + "'");
}

// The cells, each but the last padded to its column's width.
std::string tableRow(const std::vector<std::string>& cells) {
  static const size_t kEnds[] = {27, 41, 50};
  std::string row;
  for (size_t i = 0; i < cells.size(); ++i) {
    if (i != 0 && cells[i].empty()) break;
    row += cells[i];
    if (i + 1 < cells.size() && !cells[i + 1].empty() && row.size() < kEnds[i])
      row.resize(kEnds[i], ' ');
  }
  return row;
}

int listPoints(bool json) {
  nlohmann::json list = nlohmann::json::array();
  for (const Point& point : zqread::catalogue()) {
    char address[32];
    std::snprintf(address, sizeof address, "0x%x:0x%02x", point.index, point.offset);
    const char* type = zqread::kindName(point.kind);
    if (json)
      list.push_back({{"name", point.name}, {"index", point.index}, {"offset", point.offset},
                      {"address", address}, {"type", type},
                      {"length", point.readLength}, {"unit", point.unit}});
    else
      std::cout << tableRow({point.name, address, type, point.unit}) << "\n";
  }
  if (json) std::cout << jsonText(list) << "\n";
  std::cout.flush();
  return kExitOk;
}

void printValues(const std::vector<std::pair<Point, Value>>& values, bool json, bool bare) {
  if (json) {
    nlohmann::json object = nlohmann::json::object();
    for (const auto& entry : values) object[entry.first.name] = jsonOf(entry.second);
    std::cout << jsonText(object) << std::endl;
  } else if (bare) {
    std::cout << plainText(values.front().second) << std::endl;
  } else {
    for (const auto& entry : values)
      std::cout << entry.first.name << ": " << plainText(entry.second) << "\n";
    std::cout.flush();
  }
}

// Reads every point before printing any: a failure prints nothing on
// standard output.
int getPoints(const Options& options, Kind as) {
  std::vector<std::pair<Point, Value>> values;
  for (const std::string& name : options.points) {
    const auto point = pointNamed(name, as);
    if (!point) return unknownPoint(name);
    values.emplace_back(*point, Value());
  }
  for (auto& entry : values) {
    const Outcome outcome = zqread::readValue(entry.first, options.access, &entry.second);
    if (!outcome.ok()) return failure("get", entry.first.name, outcome);
  }
  printValues(values, options.json, values.size() == 1);
  return kExitOk;
}

// Every point that answered; one that answered badly is said on standard
// error and makes the status 4.  A service that could not be asked
// prints nothing.
int reportAll(const Options& options) {
  const zqread::Reading reading = zqread::readCatalogue(options.access);
  int status = kExitOk;
  std::vector<std::pair<Point, Value>> values;
  for (const zqread::PointReading& entry : reading.points) {
    if (entry.outcome.endsReading() || entry.outcome.failure == zqread::Failure::OutOfTime)
      return failure("report", entry.point.name, entry.outcome);
    if (entry.value) values.emplace_back(entry.point, *entry.value);
    else status = failure("report", entry.point.name, entry.outcome);
  }
  printValues(values, options.json, false);
  return status;
}

int setPoint(const Options& options, Kind as) {
  const auto point = pointNamed(options.point, as);
  if (!point) return unknownPoint(options.point);
  zqread::Bytes written;
  std::string error;
  if (!zqread::encode(*point, options.value, &written, &error))
    return usageError("set " + point->name + ": expected " + error);
  const zqread::WriteResult result = zqread::writeAndVerify(
      *point, written, !options.noVerify, [&options] { return options.access; });
  if (!result.written) return failure("set", point->name, result.outcome);
  if (options.noVerify) return kExitOk;
  if (!result.undecodable.empty())
    return failure("set", point->name, "read back: " + result.undecodable, kExitMismatch);
  if (!result.outcome.ok()) return failure("set", point->name, result.outcome);
  if (!result.held) {
    Value wanted;
    zqread::decode(*point, written, &wanted, &error);
    return failure("set", point->name,
                   "wrote '" + plainText(wanted) + "' but read back '" +
                       plainText(*result.readBack) + "'",
                   kExitMismatch);
  }
  return kExitOk;
}

int onMains(const Options& options) {
  const Point point = *pointNamed("input_voltage", Kind::Float);
  Value value;
  const Outcome outcome = zqread::readValue(point, options.access, &value);
  if (outcome.failure == zqread::Failure::NotTrusted)
    return failure("on-mains", point.name, outcome);
  const zqread::Power power =
      outcome.ok() ? zqread::powerFrom(&value, options.watch.rules) : zqread::Power::Unknown;
  if (power == zqread::Power::Unknown) {
    if (options.verbose) failure("on-mains", point.name, outcome);
    return kCannotTell;
  }
  const bool mains = power == zqread::Power::OnMains;
  if (options.verbose)
    std::cout << (mains ? "on mains: " : "on battery: ") << "input_voltage " << value.text
              << " V, threshold " << shortestNumber(options.watch.rules.minLineVoltage) << " V"
              << std::endl;
  return mains ? kOnMains : kOnBattery;
}

int run(int argc, char** argv) {
  Options options;
  std::optional<uid_t> serviceOwner;
  CLI::App app{"Reads and writes the UPS's data points through the UPS service on " +
                   std::string(kServicePath) + ".",
               "ZqUpsCtl"};
  app.set_version_flag("--version", "ZqUpsCtl " ZQUPSCTL_VERSION);
  app.require_subcommand(1);

  CLI::App* points = app.add_subcommand("points", "List the data points that this tool knows");
  points->add_flag("--json", options.json, "A JSON array");

  CLI::App* get = app.add_subcommand("get", "Print data points");
  get->add_option("POINT", options.points, "A name or INDEX:OFFSET")->required();
  get->add_option("--as", options.as, "The type of a point that the catalogue does not know")
      ->check(CLI::IsMember(zqread::kindNames()))
      ->capture_default_str();
  get->add_flag("--json", options.json, "One JSON object keyed by point");
  zqopt::addServiceOwner(get, &serviceOwner);

  CLI::App* report = app.add_subcommand("report", "Print every catalogue point");
  report->add_flag("--json", options.json, "One JSON object keyed by point");
  zqopt::addServiceOwner(report, &serviceOwner);

  CLI::App* set = app.add_subcommand("set", "Write a data point and read it back");
  set->add_option("POINT", options.point, "A name or INDEX:OFFSET")->required();
  set->add_option("VALUE", options.value, "The value, as the point's type reads")->required();
  set->add_option("--as", options.as, "The type of a point that the catalogue does not know")
      ->check(CLI::IsMember(zqread::kindNames()))
      ->capture_default_str();
  set->add_flag("--no-verify", options.noVerify, "Do not read the point back");
  zqopt::addServiceOwner(set, &serviceOwner);

  CLI::App* onMainsCommand =
      app.add_subcommand("on-mains", "Exit 0 on mains power, 1 on battery, 255 when unknown");
  zqopt::addMinLineVoltage(onMainsCommand, &options.watch.rules.minLineVoltage);
  onMainsCommand->add_flag("--verbose", options.verbose, "Say what was found");
  zqopt::addServiceOwner(onMainsCommand, &serviceOwner);

  CLI::App* watch = app.add_subcommand("watch", "Print power events as they happen");
  zqopt::addDuration(watch, "--interval", &options.watch.interval,
                     "Time between polls: 2s, 500ms, 1m", 100ms, 24h);
  zqopt::addLowRuntime(watch, &options.watch.rules.lowRuntimeMinutes);
  zqopt::addMinLineVoltage(watch, &options.watch.rules.minLineVoltage);
  watch->add_option("--exec", options.watch.hook,
                    "Run this for each event, the event as $1 (see the manual)");
  zqopt::addDuration(watch, "--hook-timeout", &options.watch.hookTimeout,
                     "Stop a hook that runs longer: 30s, 5m", 100ms, 7 * 24h);
  watch->add_flag("--json", options.watch.json, "One JSON object a line");
  zqopt::addServiceOwner(watch, &serviceOwner);
  zqopt::addJournal(watch, &options.watch.journal, &options.watch.journalMaxSize,
                    "Append the events to this power journal, shared with other watchers");

  CLI::App* events = app.add_subcommand("events", "Print the power journal's entries");
  events->add_option("--journal", options.journal, "The journal")->capture_default_str();
  events->add_option("--since", options.since,
                     "From this UTC time or date (2026-12-09T17:00:00Z, 2026-12-09), or this long ago (7d, 12h, 30m)");
  events->add_flag("--json", options.json, "One JSON object a line");

  CLI::App* stats = app.add_subcommand("stats", "Print the power journal's statistics");
  stats->add_option("--journal", options.journal, "The journal")->capture_default_str();
  stats->add_flag("--json", options.json, "One JSON object");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    return usageError(e.what());
  }
  if (*points) return listPoints(options.json);
  if (*stats) return showStats(options.journal, options.json);
  if (*events) {
    zqjournal::Seconds since = 0;
    if (!options.since.empty()) {
      const auto time = sinceTime(options.since, static_cast<zqjournal::Seconds>(::time(nullptr)));
      if (!time) return usageError("--since: '" + escapeText(options.since) + "' is no time");
      since = *time;
    }
    return listEvents(options.journal, since, options.json);
  }
  options.access.serviceOwner = serviceOwner;
  options.watch.serviceOwner = serviceOwner;
  const Kind as = *zqread::kindNamed(options.as);
  if (*watch) {
    if (watch->count("--exec") != 0 && options.watch.hook.empty())
      return usageError("--exec needs a command");
    return runWatch(options.watch);
  }
  if (*get) return getPoints(options, as);
  if (*report) return reportAll(options);
  if (*set) return setPoint(options, as);
  return onMains(options);
}

}  // namespace

int main(int argc, char** argv) {
  const int status = run(argc, argv);
  if (status == kExitOk && !std::cout.flush()) {
    std::cerr << "ZqUpsCtl: cannot write to standard output" << std::endl;
    return kExitOutput;
  }
  return status;
}
