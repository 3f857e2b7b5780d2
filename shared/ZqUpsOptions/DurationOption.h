// Duration options on a CLI11 command line, in the forms of Duration.h.
#ifndef ZQUPS_OPTIONS_DURATION_OPTION_H
#define ZQUPS_OPTIONS_DURATION_OPTION_H

#include <CLI/CLI.hpp>
#include <chrono>
#include <string>

#include "Duration.h"

namespace zqopt {

// An option that takes a duration from `low` to `high` into `duration`,
// whose value beforehand is the default shown.
inline CLI::Option* addDuration(CLI::App* app, const std::string& name,
                                std::chrono::milliseconds* duration, const std::string& help,
                                std::chrono::milliseconds low, std::chrono::milliseconds high) {
  const auto check = [low, high](std::string& text) -> std::string {
    std::chrono::milliseconds parsed;
    if (!parseDuration(text, &parsed))
      return "'" + text + "' is not a duration (" + kDurationForms + ")";
    if (parsed < low || parsed > high)
      return text + " is not from " + durationText(low) + " to " + durationText(high);
    return std::string();
  };
  const auto store = [duration](const std::string& text) { parseDuration(text, duration); };
  return app->add_option_function<std::string>(name, store, help)
      ->check(CLI::Validator(check, ""))
      ->type_name("DURATION")
      ->default_str(durationText(*duration));
}

}  // namespace zqopt

#endif
