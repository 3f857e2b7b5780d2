// ZqUpsExporter: the UPS for Prometheus, served on /metrics or written once
// for a textfile collector.
#include <prometheus/exposer.h>
#include <prometheus/text_serializer.h>
#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <iostream>
#include <memory>
#include <string>

#include "Textfile.h"
#include "UpsMetrics.h"

namespace {

// In the range that Prometheus' list of default exporter ports leaves
// unallocated.
const char kDefaultListen[] = "127.0.0.1:9967";
// Scrapes served at once; each holds its thread for at most the library's
// bound on a service that does not answer.
const std::size_t kServerThreads = 4;

enum ExitStatus { kOk = 0, kFailed = 1, kUsage = 2, kServiceUnread = 3 };

sigset_t stopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

std::string hostOf(const std::string& address) {
  const std::string::size_type colon = address.rfind(':');
  return colon == std::string::npos ? address : address.substr(0, colon);
}

// Serves until SIGINT or SIGTERM.  The signals are blocked before the
// server starts its threads, so only sigwait() here ever receives them.
int serve(const std::string& address, const std::shared_ptr<zqups::UpsCollector>& collector) {
  const sigset_t stop = stopSignals();
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  // A scraper that hangs up early must not end the exporter.
  signal(SIGPIPE, SIG_IGN);
  std::unique_ptr<prometheus::Exposer> exposer;
  try {
    exposer = std::make_unique<prometheus::Exposer>(address, kServerThreads);
  } catch (const std::exception& e) {
    std::cerr << "ZqUpsExporter: cannot listen on " << address << ": " << e.what() << "\n";
    return kFailed;
  }
  exposer->RegisterCollectable(collector);
  const std::vector<int> ports = exposer->GetListeningPorts();
  std::cout << "ZqUpsExporter: listening on " << hostOf(address) << ":"
            << (ports.empty() ? 0 : ports.front()) << std::endl;
  int received = 0;
  while (sigwait(&stop, &received) != 0) {
  }
  return kOk;
}

int writeTextfile(const std::string& path, const zqups::UpsCollector& collector) {
  bool up = false;
  const std::string text = prometheus::TextSerializer().Serialize(collector.collect(&up));
  std::string error;
  if (!zqups::writeFileAtomically(path, text, &error)) {
    std::cerr << "ZqUpsExporter: " << error << "\n";
    return kFailed;
  }
  return up ? kOk : kServiceUnread;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Serves the UPS's data points as Prometheus metrics.", "ZqUpsExporter"};
  std::string listen = kDefaultListen;
  std::string textfile;
  double minLineVoltage = UPS_MIN_LINE_VOLTAGE;
  CLI::Option* listenOption =
      app.add_option("--listen", listen, "ADDRESS:PORT to serve /metrics on")
          ->capture_default_str();
  app.add_option("--textfile", textfile,
                 "write the metrics once to this file (atomically) and exit")
      ->excludes(listenOption);
  app.add_option("--min-line-voltage", minLineVoltage,
                 "below this input voltage the UPS counts as on battery")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.set_version_flag("--version", std::string("ZqUpsExporter ") + ZQUPSEXPORTER_VERSION);
  try {
    app.parse(argc, argv);
    if (!std::isfinite(minLineVoltage))
      throw CLI::ValidationError("--min-line-voltage", "must be a finite number");
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kOk : kUsage;
  }
  const auto collector = std::make_shared<zqups::UpsCollector>(minLineVoltage);
  return textfile.empty() ? serve(listen, collector) : writeTextfile(textfile, *collector);
}
