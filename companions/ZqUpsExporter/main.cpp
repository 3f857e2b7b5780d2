// ZqUpsExporter: the UPS for Prometheus, served on /metrics or written once
// for a textfile collector.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DurationOption.h"
#include "JournalMetrics.h"
#include "JournalOption.h"
#include "Listen.h"
#include "MetricsServer.h"
#include "SharedOptions.h"
#include "SharedReading.h"
#include "Textfile.h"
#include "UpsMetrics.h"

namespace {

using zqread::Clock;

// In the range that Prometheus' list of default exporter ports leaves
// unallocated.
const char kDefaultListen[] = "127.0.0.1:9967";
constexpr std::chrono::seconds kDefaultScrapeTimeout{10};
// Long enough for every point to take the library's whole bound once.
constexpr std::chrono::seconds kMaxScrapeTimeout{300};
// Fresher than any scrape interval in common use asks for, at a few
// exchanges a second.
constexpr std::chrono::seconds kDefaultReadInterval{5};
constexpr std::chrono::milliseconds kMinReadInterval{100};
constexpr std::chrono::minutes kMaxReadInterval{5};

enum ExitStatus { kOk = 0, kFailed = 1, kUsage = 2, kServiceUnread = 3 };

struct Settings {
  std::vector<zqloop::tcp::endpoint> endpoints;
  std::string textfile;
  std::chrono::milliseconds scrapeTimeout = kDefaultScrapeTimeout;
  std::chrono::milliseconds readInterval = kDefaultReadInterval;
  std::optional<uid_t> serviceOwner;
  zqups::MetricOptions metrics;
  std::string journal;  // empty: none
  std::uintmax_t journalMaxSize = zqjournal::kDefaultMaxSize;
};

// The latest reading, or before the first one, none: the service not
// reached yet.
std::string scrapeExposition(const zqread::Reading* latest, const zqups::MetricOptions& options,
                             Clock::time_point start, const zqups::ReadCounters& counters,
                             zqups::JournalMetrics* journal) {
  const Clock::time_point now = Clock::now();
  const std::chrono::duration<double> took = now - start;
  zqups::Families families =
      zqups::readingFamilies(latest ? *latest : zqread::Reading(), options, took.count());
  if (latest) {
    const std::chrono::duration<double> age = now - latest->started;
    families.push_back(zqups::readingAgeFamily(age.count()));
  }
  const zqups::Families counted = counters.families();
  families.insert(families.end(), counted.begin(), counted.end());
  if (journal) {
    const zqups::Families kept = journal->families();
    families.insert(families.end(), kept.begin(), kept.end());
  }
  return zqups::exposition(families);
}

// One line on standard error when the service is lost and when it is
// back, rather than one a scrape.
void sayServiceChange(const std::vector<zqread::PowerEvent>& events) {
  for (const zqread::PowerEvent& event : events)
    if (event.kind == zqread::PowerEventKind::ServiceLost)
      std::cerr << "ZqUpsExporter: UPS service lost: " << event.reason << std::endl;
    else if (event.kind == zqread::PowerEventKind::ServiceBack)
      std::cerr << "ZqUpsExporter: UPS service back" << std::endl;
}

// Serves until SIGINT or SIGTERM, all on this thread but the reading.
int serve(const Settings& settings) {
  std::unique_ptr<zqjournal::Journal> journal;
  std::optional<zqups::JournalMetrics> journalMetrics;
  if (!settings.journal.empty()) {
    zqjournal::Options options;
    options.maxSize = settings.journalMaxSize;
    options.say = [](const std::string& line) {
      std::cerr << "ZqUpsExporter: " << line << std::endl;
    };
    std::string why;
    journal = zqjournal::Journal::open(settings.journal, options, &why);
    if (!journal) {
      std::cerr << "ZqUpsExporter: " << why << std::endl;
      return kFailed;
    }
    journalMetrics.emplace(journal.get());
  }
  zqloop::asio::io_context io;
  zqups::ReadCounters counters;
  zqups::SharedReading reading(io, settings.serviceOwner);
  zqread::PowerTracker power(settings.metrics.power);
  const Clock::duration interval = settings.readInterval;
  // A reading may take as long as one exchange may, or the interval.
  reading.start(interval, std::max(interval, zqread::kExchangeBound),
                [&counters, &power, &journal](const zqread::Reading& ended) {
                  counters.count(ended);
                  const auto events = power.take(ended, zqread::PowerTime::now());
                  sayServiceChange(events);
                  if (journal) journal->take(events);
                },
                [](const std::string& line) {
                  std::cerr << "ZqUpsExporter: UPS point " << line << std::endl;
                });
  zqups::MetricsServer server(
      io, settings.scrapeTimeout,
      [&](Clock::time_point deadline, zqups::MetricsServer::Reply reply) {
        const Clock::time_point start = Clock::now();
        reading.latest(deadline, [&, start, reply](const zqread::Reading* latest) {
          reply(scrapeExposition(latest, settings.metrics, start, counters,
                                 journalMetrics ? &*journalMetrics : nullptr));
        });
      });
  const auto signals = zqloop::onStopSignals(io, [&] {
    server.stop();
    io.stop();
  });
  for (const zqloop::tcp::endpoint& endpoint : settings.endpoints) {
    zqloop::tcp::endpoint bound;
    std::string error;
    if (!server.listen(endpoint, &bound, &error)) {
      std::cerr << "ZqUpsExporter: " << error << "\n";
      return kFailed;
    }
    std::cout << "ZqUpsExporter: listening on " << zqloop::endpointText(bound) << std::endl;
  }
  io.run();
  reading.stop();
  if (journal) journal->stop();
  return kOk;
}

int writeTextfile(const Settings& settings) {
  zqread::Access access;
  access.serviceOwner = settings.serviceOwner;
  const Clock::time_point start = Clock::now();
  access.deadline = start + settings.scrapeTimeout;
  const zqread::Reading reading = zqread::readCatalogue(access);
  const std::chrono::duration<double> took = Clock::now() - start;
  zqups::Families families = zqups::readingFamilies(reading, settings.metrics, took.count());
  families.push_back(zqups::readFailedFamily(reading));
  std::string error;
  if (!zqups::writeFileAtomically(settings.textfile, zqups::exposition(families), &error)) {
    std::cerr << "ZqUpsExporter: " << error << "\n";
    return kFailed;
  }
  if (reading.reached()) return kOk;
  std::cerr << "ZqUpsExporter: UPS service not read: " << reading.end.why << "\n";
  return kServiceUnread;
}

// What the options leave to be checked after parsing; throws CLI's
// ValidationError.
void validate(const CLI::App& app, const std::vector<std::string>& listen,
              Settings* settings) {
  if (app.count("--textfile") && settings->textfile.empty())
    throw CLI::ValidationError("--textfile", "needs a path");
  for (const std::string& text : listen) {
    std::string error;
    const auto endpoints = zqloop::parseListen(text, &error);
    if (endpoints.empty()) throw CLI::ValidationError("--listen", error);
    settings->endpoints.insert(settings->endpoints.end(), endpoints.begin(), endpoints.end());
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Serves the UPS's data points as Prometheus metrics.", "ZqUpsExporter"};
  Settings settings;
  settings.metrics.version = ZQUPSEXPORTER_VERSION;
  std::vector<std::string> listen{kDefaultListen};
  CLI::Option* listenOption =
      app.add_option("--listen", listen,
                     "HOST:PORT or [IPV6]:PORT to serve /metrics on; may be repeated")
          ->capture_default_str();
  app.add_option("--textfile", settings.textfile,
                 "write the metrics once to this file (atomically) and exit")
      ->excludes(listenOption);
  zqopt::addMinLineVoltage(&app, &settings.metrics.power.minLineVoltage);
  zqopt::addLowRuntime(&app, &settings.metrics.power.lowRuntimeMinutes);
  zqopt::addDuration(&app, "--scrape-timeout", &settings.scrapeTimeout,
                     "the longest a scrape may wait for a first reading (a scraper may "
                     "ask for less); with --textfile, the longest the reading may take",
                     std::chrono::milliseconds(1), kMaxScrapeTimeout);
  zqopt::addDuration(&app, "--read-interval", &settings.readInterval,
                     "how often the UPS is read, start to start, for the scrapes to serve",
                     kMinReadInterval, kMaxReadInterval)
      ->excludes("--textfile");
  zqopt::addServiceOwner(&app, &settings.serviceOwner);
  zqopt::addJournal(&app, &settings.journal, &settings.journalMaxSize,
                    "record the power events in this power journal, shared with the host's "
                    "other watchers, and serve its statistics")
      ->excludes("--textfile");
  app.set_version_flag("--version", std::string("ZqUpsExporter ") + ZQUPSEXPORTER_VERSION);
  try {
    app.parse(argc, argv);
    validate(app, settings.textfile.empty() ? listen : std::vector<std::string>{}, &settings);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::cerr << "ZqUpsExporter: " << e.what() << "\n";
    return kUsage;
  }
  return app.count("--textfile") ? writeTextfile(settings) : serve(settings);
}
