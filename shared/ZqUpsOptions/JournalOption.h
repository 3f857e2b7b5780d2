// The power journal's options, alike on every program that keeps it.  A
// program that includes this links ZqUpsJournal.
#ifndef ZQUPS_OPTIONS_JOURNAL_OPTION_H
#define ZQUPS_OPTIONS_JOURNAL_OPTION_H

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

#include "Journal.h"

namespace zqopt {

// --journal FILE into `path` and --journal-max-size SIZE into `maxSize`
// (bytes).  The last of each given counts, so that a service's own
// options may replace what its service file passes.
inline CLI::Option* addJournal(CLI::App* app, std::string* path, std::uintmax_t* maxSize,
                               const std::string& help) {
  const auto named = [](const std::string& text) {
    return text.empty() ? std::string("needs a file") : std::string();
  };
  CLI::Option* journal = app->add_option("--journal", *path, help)
                             ->type_name("FILE")
                             ->check(CLI::Validator(named, ""))
                             ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  const auto inBytes = [](std::string& text) {
    std::uintmax_t size = 0;
    if (!zqjournal::parseSize(text, &size))
      return "'" + text + "' is no size of at least 4k (65536, 512k, 1M)";
    text = std::to_string(size);
    return std::string();
  };
  app->add_option("--journal-max-size", *maxSize,
                  "Rotate the journal past this size: 1M, 512k, 65536")
      ->type_name("SIZE")
      ->transform(CLI::Validator(inBytes, ""))
      ->default_str("1M")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->needs(journal);
  return journal;
}

}  // namespace zqopt

#endif
