// ZqUpsCtl: the UPS's data points from the shell, as text or JSON, writes
// that read themselves back, the on-mains question and power events with
// hooks.
#include <CLI/CLI.hpp>

#include <cmath>
#include <cstring>
#include <iostream>
#include <map>

#include "Service.h"
#include "Values.h"
#include "Watch.h"
#include "ZqUpsPoints.h"

namespace {

using namespace zqctl;

const char kUsage[] =
    "usage: ZqUpsCtl points [--json]\n"
    "       ZqUpsCtl get POINT... [--as TYPE] [--json]\n"
    "       ZqUpsCtl report [--json]\n"
    "       ZqUpsCtl set POINT VALUE [--as TYPE] [--no-verify]\n"
    "       ZqUpsCtl on-mains [--min-line-voltage V] [--verbose]\n"
    "       ZqUpsCtl watch [--interval 2s] [--low-runtime MINUTES] [--min-line-voltage V]\n"
    "                      [--exec CMD] [--json]\n"
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
  std::string serviceOwner;
  WatchSettings watch;
};

int usageError(const std::string& message) {
  std::cerr << "ZqUpsCtl: " << message << "\n" << kUsage;
  return kExitUsage;
}

int failure(const std::string& command, const std::string& point, const std::string& what,
            int status) {
  std::cerr << "ZqUpsCtl " << command << " " << point << ": " << what << std::endl;
  return status;
}

int failure(const std::string& command, const std::string& point, uint32_t result) {
  return failure(command, point, describeResult(result), exitFor(result));
}

// -1 when the socket file may be used; else the exit status, said why.
int checkOwner(const std::string& command, const std::string& owner) {
  if (owner.empty()) return -1;
  const auto uid = userNamed(owner);
  if (!uid) return usageError("unknown user '" + owner + "'");
  const std::string why = distrustOf(*uid);
  if (why.empty()) return -1;
  std::cerr << "ZqUpsCtl " << command << ": not trusted: " << why << std::endl;
  return kExitUnreachable;
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
  for (const Point& point : catalogue()) {
    char address[32];
    std::snprintf(address, sizeof address, "0x%x:0x%02x", point.index, point.offset);
    if (json)
      list.push_back({{"name", point.name}, {"index", point.index}, {"offset", point.offset},
                      {"address", address}, {"type", kindName(point.kind)},
                      {"length", point.readLength}, {"unit", point.unit}});
    else
      std::cout << tableRow({point.name, address, kindName(point.kind), point.unit}) << "\n";
  }
  if (json) std::cout << jsonText(list) << "\n";
  std::cout.flush();
  return kExitOk;
}

// Reads every point before printing any: a failure prints nothing on
// standard output.
int showPoints(const std::string& command, const std::vector<std::string>& names, Kind as,
               bool json, bool labelled) {
  std::vector<Point> points;
  for (const std::string& name : names) {
    const auto point = resolvePoint(name, as);
    if (!point) return usageError("unknown point '" + name + "'");
    points.push_back(*point);
  }
  std::vector<Value> values;
  for (const Point& point : points) {
    Bytes bytes;
    const uint32_t result = readPoint(point, &bytes);
    if (result != 0) return failure(command, point.name, result);
    Value value;
    std::string error;
    if (!decode(point, bytes, &value, &error))
      return failure(command, point.name, error, kExitStatus);
    values.push_back(value);
  }
  if (json) {
    nlohmann::json object = nlohmann::json::object();
    for (size_t i = 0; i < points.size(); ++i) object[points[i].name] = values[i].json;
    std::cout << jsonText(object) << std::endl;
  } else if (!labelled && points.size() == 1) {
    std::cout << values[0].plain << std::endl;
  } else {
    for (size_t i = 0; i < points.size(); ++i)
      std::cout << points[i].name << ": " << values[i].plain << "\n";
    std::cout.flush();
  }
  return kExitOk;
}

int setPoint(const Options& options, Kind as) {
  const auto point = resolvePoint(options.point, as);
  if (!point) return usageError("unknown point '" + options.point + "'");
  Bytes written;
  std::string error;
  if (!encode(*point, options.value, &written, &error))
    return usageError("set " + point->name + ": expected " + error);
  uint32_t result = writePoint(*point, written);
  if (result != 0) return failure("set", point->name, result);
  if (options.noVerify) return kExitOk;
  Bytes readBack;
  result = readPoint(*point, &readBack);
  if (result != 0) return failure("set", point->name, result);
  Value wanted, found;
  decode(*point, written, &wanted, &error);
  if (!decode(*point, readBack, &found, &error))
    return failure("set", point->name, "read back: " + error, kExitMismatch);
  if (found.plain != wanted.plain)
    return failure("set", point->name,
                   "wrote '" + wanted.plain + "' but read back '" + found.plain + "'",
                   kExitMismatch);
  return kExitOk;
}

int onMains(const Options& options) {
  const auto point = resolvePoint("input_voltage", Kind::Float);
  Bytes bytes;
  Value value;
  std::string error;
  const uint32_t result = readPoint(*point, &bytes);
  if (result != 0) error = describeResult(result);
  else if (!decode(*point, bytes, &value, &error) || !value.json.is_number())
    error = error.empty() ? "input_voltage is not a number" : error;
  if (!error.empty()) {
    if (options.verbose) failure("on-mains", point->name, error, kCannotTell);
    return kCannotTell;
  }
  const double volts = value.json.get<double>();
  const bool mains = volts >= options.watch.minLineVoltage;
  if (options.verbose)
    std::cout << (mains ? "on mains: " : "on battery: ") << "input_voltage " << value.plain
              << " V, threshold " << shortestDecimal(static_cast<float>(options.watch.minLineVoltage))
              << " V" << std::endl;
  return mains ? kOnMains : kOnBattery;
}

void addServiceOwner(CLI::App* command, Options* options) {
  command->add_option("--service-owner", options->serviceOwner,
                      "Trust the socket file only when this user owns it");
}

void addMinLineVoltage(CLI::App* command, Options* options) {
  command
      ->add_option("--min-line-voltage", options->watch.minLineVoltage,
                   "On mains when input_voltage is at least this many volts")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
}

int run(int argc, char** argv) {
  Options options;
  options.watch.minLineVoltage = UPS_MIN_LINE_VOLTAGE;
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
      ->check(CLI::IsMember(kindNames()))
      ->capture_default_str();
  get->add_flag("--json", options.json, "One JSON object keyed by point");
  addServiceOwner(get, &options);

  CLI::App* report = app.add_subcommand("report", "Print every catalogue point");
  report->add_flag("--json", options.json, "One JSON object keyed by point");
  addServiceOwner(report, &options);

  CLI::App* set = app.add_subcommand("set", "Write a data point and read it back");
  set->add_option("POINT", options.point, "A name or INDEX:OFFSET")->required();
  set->add_option("VALUE", options.value, "The value, as the point's type reads")->required();
  set->add_option("--as", options.as, "The type of a point that the catalogue does not know")
      ->check(CLI::IsMember(kindNames()))
      ->capture_default_str();
  set->add_flag("--no-verify", options.noVerify, "Do not read the point back");
  addServiceOwner(set, &options);

  CLI::App* onMainsCommand =
      app.add_subcommand("on-mains", "Exit 0 on mains power, 1 on battery, 255 when unknown");
  addMinLineVoltage(onMainsCommand, &options);
  onMainsCommand->add_flag("--verbose", options.verbose, "Say what was found");
  addServiceOwner(onMainsCommand, &options);

  CLI::App* watch = app.add_subcommand("watch", "Print power events as they happen");
  watch
      ->add_option("--interval", options.watch.intervalSeconds,
                   "Time between polls: 2s, 500ms, 1min")
      ->transform(CLI::AsNumberWithUnit(std::map<std::string, double>{
          {"ms", 0.001}, {"s", 1}, {"min", 60}}))
      ->check(CLI::Range(0.1, 86400.0))
      ->default_str("2s");
  watch
      ->add_option("--low-runtime", options.watch.lowRuntimeMinutes,
                   "battery-low at this estimated runtime (minutes) or less")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  addMinLineVoltage(watch, &options);
  watch->add_option("--exec", options.watch.hook,
                    "Run this through /bin/sh -c for each event, the event as $1");
  watch->add_flag("--json", options.watch.json, "One JSON object a line");
  addServiceOwner(watch, &options);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    return usageError(e.what());
  }
  const Kind as = *kindNamed(options.as);
  const std::string command = app.get_subcommands().front()->get_name();
  if (*points) return listPoints(options.json);
  if (*watch) {
    if (watch->count("--exec") != 0 && options.watch.hook.empty())
      return usageError("--exec needs a command");
    if (!options.serviceOwner.empty()) {
      options.watch.serviceOwner = userNamed(options.serviceOwner);
      if (!options.watch.serviceOwner) return usageError("unknown user '" + options.serviceOwner + "'");
    }
    return runWatch(options.watch);
  }
  const int distrust = checkOwner(command, options.serviceOwner);
  if (distrust >= 0) return distrust;
  if (*get) return showPoints("get", options.points, as, options.json, false);
  if (*report) {
    std::vector<std::string> names;
    for (const Point& point : catalogue()) names.push_back(point.name);
    return showPoints("report", names, as, options.json, true);
  }
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
