// Duration options on a CLI11 command line, in the forms of Duration.h.
#ifndef ZQUPS_OPTIONS_DURATION_OPTION_H
#define ZQUPS_OPTIONS_DURATION_OPTION_H

#include <CLI/CLI.hpp>
#include <chrono>
#include <string>

#include "Duration.h"

namespace zqopt {

// An option that takes a duration from `low` to `high` and stores it in
// `seconds`.
inline CLI::Option* addDuration(CLI::App* app, const std::string& name, double* seconds,
                                const std::string& help, std::chrono::milliseconds low,
                                std::chrono::milliseconds high) {
  const auto inSeconds = [low, high](std::string& text) -> std::string {
    std::chrono::milliseconds duration;
    if (!parseDuration(text, &duration))
      return "'" + text + "' is not a duration (" + kDurationForms + ")";
    if (duration < low || duration > high)
      return text + " is not from " + durationText(low) + " to " + durationText(high);
    const auto ms = duration.count();
    text = std::to_string(ms / 1000) + "." + std::to_string(1000 + ms % 1000).substr(1);
    return std::string();
  };
  return app->add_option(name, *seconds, help)
      ->transform(CLI::Validator(inSeconds, ""))
      ->type_name("DURATION");
}

}  // namespace zqopt

#endif
