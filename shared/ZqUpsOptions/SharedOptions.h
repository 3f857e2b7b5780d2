// The options that the companions share, on a CLI11 command line: whose
// service to trust and the power rules' thresholds.  Each takes the same
// forms and gives the same message in every program.  It looks users up
// through ZqUpsReading, which the companions link.
#ifndef ZQUPS_OPTIONS_SHARED_OPTIONS_H
#define ZQUPS_OPTIONS_SHARED_OPTIONS_H

#include <CLI/CLI.hpp>
#include <sys/types.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>

#include "Access.h"

namespace zqopt {

// The largest threshold taken: more than any UPS shows.
constexpr long kMostThreshold = 1000000;

// A finite number from 0 to kMostThreshold, the whole text.
inline CLI::Validator threshold() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        char* end = nullptr;
        const double number = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !std::isfinite(number))
          return "'" + text + "' is not a finite number";
        if (number < 0 || number > kMostThreshold)
          return text + " is not from 0 to " + std::to_string(kMostThreshold);
        return std::string();
      },
      "");
}

// --service-owner USER: a user name or a numeric uid, looked up as the
// command line is read.
inline CLI::Option* addServiceOwner(CLI::App* app, std::optional<uid_t>* owner) {
  const auto check = [](std::string& name) -> std::string {
    if (name.empty()) return "needs a user";
    return zqread::userNamed(name) ? std::string() : "unknown user '" + name + "'";
  };
  const auto store = [owner](const std::string& name) { *owner = zqread::userNamed(name); };
  return app->add_option_function<std::string>(
                 "--service-owner", store,
                 "Trust only a UPS service that runs as this user (a name or a uid)")
      ->check(CLI::Validator(check, ""))
      ->type_name("USER");
}

// --min-line-voltage V: on mains (on line) while input_voltage is at
// least this.
inline CLI::Option* addMinLineVoltage(CLI::App* app, double* volts) {
  return app
      ->add_option("--min-line-voltage", *volts,
                   "On mains while input_voltage is at least this many volts")
      ->check(threshold())
      ->type_name("VOLTS")
      ->capture_default_str();
}

// --low-runtime MINUTES: battery low, on battery, at this estimated
// runtime or less.
inline CLI::Option* addLowRuntime(CLI::App* app, double* minutes) {
  return app
      ->add_option("--low-runtime", *minutes,
                   "Battery low, on battery, at this estimated runtime (minutes) or less")
      ->check(threshold())
      ->type_name("MINUTES")
      ->capture_default_str();
}

}  // namespace zqopt

#endif
