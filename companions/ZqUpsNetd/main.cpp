// ZqUpsNetd: the UPS for the network UPS protocol's clients (monitors,
// shutdown agents, NAS systems, dashboards), from one reading of the
// UPS service every poll interval.
#include <CLI/CLI.hpp>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <boost/asio/post.hpp>

#include <algorithm>
#include <iostream>

#include "DurationOption.h"
#include "JournalOption.h"
#include "Request.h"
#include "Server.h"
#include "SharedOptions.h"

namespace {

using namespace zqnetd;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr unsigned short kPort = 3493;
// Descriptors kept free beyond those open at start and the clients'
// (and a connection accepted only to be refused, one per listener): the
// service's sockets (a reading, a write) and a look-up of a user's name.
constexpr size_t kSpareDescriptors = 4;
// Descriptors above this are not looked for: with a limit this high, a
// few more or less hardly matter.
constexpr size_t kDescriptorsLookedAt = 65536;
constexpr size_t kMaxDescription = 200;
// What one reading of the whole catalogue may take on a healthy but busy
// service (a quiet one answers it in tens of milliseconds).
constexpr std::chrono::milliseconds kReadingTime{500};

struct Options {
  std::vector<std::string> listen;
  std::string upsName = "ups";
  std::string description;
  std::chrono::milliseconds pollInterval = std::chrono::seconds(2);
  std::chrono::milliseconds staleAfter = std::chrono::seconds(15);
  std::chrono::milliseconds idleTimeout = std::chrono::seconds(60);
  double lowRuntimeMinutes = zqread::kDefaultLowRuntimeMinutes;
  double minLineVoltage = UPS_MIN_LINE_VOLTAGE;
  std::string users;
  size_t maxConnections = 1024;
  size_t maxPerAddress = 32;
  std::optional<uid_t> serviceOwner;
  bool hashPassword = false;
  std::string tlsCertificate;
  std::string tlsKey;
  bool requireTls = false;
  bool allowPlaintext = false;
  std::string journal;  // empty: none
  std::uintmax_t journalMaxSize = zqjournal::kDefaultMaxSize;
};

int usageError(const std::string& message) {
  std::cerr << "ZqUpsNetd: " << message << "\n";
  return kExitUsage;
}

CLI::Option* addDuration(CLI::App& app, const char* name, std::chrono::milliseconds* duration,
                         const char* help) {
  using namespace std::chrono_literals;
  return zqopt::addDuration(&app, name, duration, help, 100ms, 24h);
}

bool validUpsName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-'))
      return false;
  return true;
}

// The terminal's settings before echo went off, for a signal to put back.
struct termios echoing;
volatile sig_atomic_t echoOff = 0;

void restoreEchoAndDie(int signal) {
  if (echoOff) ::tcsetattr(STDIN_FILENO, TCSANOW, &echoing);
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

// Standard input's echo off while it lives, when it is a terminal.
class EchoOff {
 public:
  EchoOff() {
    if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &echoing) != 0) return;
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP}) ::signal(sig, restoreEchoAndDie);
    struct termios quiet = echoing;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    echoOff = ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0;
  }
  ~EchoOff() {
    if (echoOff) ::tcsetattr(STDIN_FILENO, TCSANOW, &echoing);
    echoOff = 0;
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;
  bool terminal() const { return echoOff != 0; }
};

// One line from standard input, after `prompt` on a terminal.
bool readLine(const EchoOff& echo, const char* prompt, std::string* line) {
  if (echo.terminal()) std::cerr << prompt << std::flush;
  const bool read = static_cast<bool>(std::getline(std::cin, *line));
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return read || !line->empty();
}

int printHash() {
  std::string password, again;
  {
    const EchoOff echo;
    if (!readLine(echo, "Password: ", &password) || password.empty())
      return usageError("--hash-password: no password on standard input");
    const std::string unusable = unsendablePassword(password);
    if (!unusable.empty())
      return usageError("--hash-password: no client could log in with it: " + unusable);
    if (echo.terminal() && (!readLine(echo, "Again: ", &again) || again != password))
      return usageError("--hash-password: the passwords differ");
  }
  std::string error;
  const std::string hash = hashPassword(password, &error);
  if (hash.empty()) {
    std::cerr << "ZqUpsNetd: " << error << std::endl;
    return kExitFailure;
  }
  std::cout << hash << std::endl;
  return std::cout ? 0 : kExitFailure;
}

// The descriptors open below `below`: poll() marks the others invalid.
size_t descriptorsOpen(size_t below) {
  std::vector<pollfd> all(below);
  for (size_t fd = 0; fd < below; ++fd) all[fd] = pollfd{static_cast<int>(fd), 0, 0};
  if (::poll(all.data(), all.size(), 0) < 0) return below;
  return static_cast<size_t>(std::count_if(all.begin(), all.end(), [](const pollfd& one) {
    return (one.revents & POLLNVAL) == 0;
  }));
}

// The clients that fit in the descriptor limit beside what is open now,
// `listeners` and the spare ones, at most `wanted`.
size_t descriptorBound(size_t wanted, size_t listeners) {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return wanted;
  const size_t most = static_cast<size_t>(limit.rlim_cur);
  const size_t kept =
      descriptorsOpen(std::min(most, kDescriptorsLookedAt)) + listeners + kSpareDescriptors;
  return kept < most ? std::min(wanted, most - kept) : 0;
}

// The endpoints to listen on, and whether failing to listen on each ends
// the start.  By default the IPv6 loopback may be missing.
bool endpointsOf(const Options& options, std::vector<std::pair<tcp::endpoint, bool>>* endpoints,
                 std::string* error) {
  if (options.listen.empty()) {
    endpoints->push_back({tcp::endpoint(asio::ip::address_v4::loopback(), kPort), true});
    endpoints->push_back({tcp::endpoint(asio::ip::address_v6::loopback(), kPort), false});
    return true;
  }
  for (const std::string& text : options.listen) {
    const auto parsed = zqloop::parseListen(text, error);
    if (parsed.empty()) return false;
    for (const auto& endpoint : parsed) endpoints->push_back({endpoint, true});
  }
  return true;
}

bool beyondLoopback(const std::vector<std::pair<tcp::endpoint, bool>>& endpoints) {
  for (const auto& endpoint : endpoints)
    if (!endpoint.first.address().is_loopback()) return true;
  return false;
}

// Whether logins need TLS first; an error when they would need it and
// TLS is not configured.
bool tlsRequired(const Options& options, const std::vector<std::pair<tcp::endpoint, bool>>& endpoints,
                 std::string* error) {
  const bool required =
      options.requireTls || (beyondLoopback(endpoints) && !options.allowPlaintext);
  if (!required || !options.tlsCertificate.empty()) return required;
  *error = options.requireTls
               ? "--require-tls needs --tls-cert and --tls-key"
               : "listening beyond loopback without TLS would let passwords cross the network "
                 "in the clear: give --tls-cert and --tls-key (or --allow-plaintext)";
  return required;
}

int serve(const Options& options, const Users* users, std::optional<uid_t> serviceOwner,
          TlsContext* tls, zqjournal::Journal* journal) {
  // Before the loop: handlers that the loop drops when it goes end
  // sessions, which leave the shared state.
  Shared shared;
  // Only this thread runs the loop: the hint spares it locking for its own
  // posts; the service queue and the worker post from theirs under the
  // lock kept.
  asio::io_context io(1);
  shared.upsName = options.upsName;
  shared.description = printable(options.description.substr(0, kMaxDescription));
  shared.staleAfter = options.staleAfter;
  shared.users = users;
  shared.journal = journal;

  std::vector<std::pair<tcp::endpoint, bool>> endpoints;
  std::string error;
  if (!endpointsOf(options, &endpoints, &error)) return usageError(error);
  shared.tlsOffered = tls != nullptr;
  shared.tlsRequired = tlsRequired(options, endpoints, &error);
  if (!error.empty()) return usageError(error);

  Worker passwords;
  zqread::ServiceQueue service(serviceOwner, [&io](std::function<void()> result) {
    asio::post(io, std::move(result));
  });
  // A reading ends in time for its snapshot to be fresh when it arrives;
  // each exchange of a write is bound alike.
  const Clock::duration budget =
      std::min<Clock::duration>(std::chrono::seconds(10), shared.staleAfter / 2);
  Limits limits;
  limits.maxConnections = options.maxConnections;
  limits.maxPerAddress = options.maxPerAddress;
  limits.idleTimeout = options.idleTimeout;
  Server server(io, &shared, limits, Offload{&passwords, &service, budget}, tls);
  for (const auto& [endpoint, required] : endpoints) {
    if (server.listen(endpoint, &error)) continue;
    std::cerr << "ZqUpsNetd: " << error << std::endl;
    if (required) return kExitFailure;
  }
  if (server.endpoints().empty()) return kExitFailure;
  const auto signals = zqloop::onStopSignals(io, [&] {
    server.stop();
    service.stop();
    io.stop();
  });
  // Counted with every descriptor of the loop open and before a reading
  // opens its own.
  const size_t room = descriptorBound(options.maxConnections, server.endpoints().size());
  if (room == 0) {
    std::cerr << "ZqUpsNetd: the descriptor limit leaves no room for clients (ulimit -n)"
              << std::endl;
    return kExitFailure;
  }
  server.limitConnections(room);
  for (const auto& endpoint : server.endpoints())
    std::cout << "ZqUpsNetd: listening on " << zqloop::endpointText(endpoint) << "\n";
  std::cout.flush();

  Rules rules;
  rules.power = zqread::PowerRules{options.minLineVoltage, options.lowRuntimeMinutes};
  service.sayTo([](const std::string& line) { logLine("UPS point " + line); });
  zqread::PowerTracker power(rules.power);
  service.readEvery(options.pollInterval, budget,
                    [&server, &power, journal, rules](const zqread::Reading& reading) {
                      const auto events = power.take(reading, zqread::PowerTime::now());
                      std::optional<zqjournal::Stats> stats;
                      if (journal) {
                        journal->take(events);
                        stats = journal->stats();
                      }
                      const zqjournal::Stats* kept = stats ? &*stats : nullptr;
                      server.publish(std::make_shared<const Snapshot>(
                                         snapshotOf(reading, rules, reading.started, kept)),
                                     events);
                    });
  server.start();
  io.run();
  service.stop();
  passwords.stop();
  if (journal) journal->stop();
  return 0;
}

// Why the options would serve wrong or stale data; empty when they would not.
std::string nonsense(const Options& options) {
  using zqopt::durationText;
  if (options.staleAfter < 2 * kReadingTime)
    return "--stale-after " + durationText(options.staleAfter) +
           " is shorter than a reading may take: a reading is given half of it, and one may "
           "need " + durationText(kReadingTime);
  if (options.pollInterval + kReadingTime > options.staleAfter)
    return "--poll-interval " + durationText(options.pollInterval) + " and one reading (" +
           durationText(kReadingTime) + ") are longer than --stale-after " +
           durationText(options.staleAfter) + ": the data would go stale between readings";
  return "";
}

int run(int argc, char** argv) {
  Options options;
  CLI::App app{"Serves the UPS to network UPS protocol clients (TCP port 3493).", "ZqUpsNetd"};
  app.set_version_flag("--version", "ZqUpsNetd " ZQUPSNETD_VERSION);
  app.add_option("--listen", options.listen,
                 "ADDRESS:PORT or [IPV6]:PORT to listen on; may repeat (default 127.0.0.1:3493 "
                 "and [::1]:3493)");
  app.add_option("--ups-name", options.upsName, "The UPS's name for clients")->capture_default_str();
  app.add_option("--description", options.description,
                 "The UPS's description (default: vendor and model as read)");
  addDuration(app, "--poll-interval", &options.pollInterval, "Time between readings: 2s, 500ms, 1m");
  addDuration(app, "--stale-after", &options.staleAfter, "Data older than this is stale");
  addDuration(app, "--idle-timeout", &options.idleTimeout,
              "Drop a client that sends no request for this long");
  zqopt::addLowRuntime(&app, &options.lowRuntimeMinutes);
  zqopt::addMinLineVoltage(&app, &options.minLineVoltage);
  app.add_option("--users", options.users, "The users file: NAME:HASH:RIGHTS lines");
  app.add_option("--max-connections", options.maxConnections, "Clients connected at once")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
  app.add_option("--max-per-address", options.maxPerAddress, "Clients at once from one address")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
  zqopt::addServiceOwner(&app, &options.serviceOwner);
  auto* certificate = app.add_option("--tls-cert", options.tlsCertificate,
                                     "Offer STARTTLS with this certificate chain (PEM)");
  auto* key = app.add_option("--tls-key", options.tlsKey,
                             "The certificate's private key (PEM, mode 600)");
  certificate->needs(key);
  key->needs(certificate);
  auto* require = app.add_flag("--require-tls", options.requireTls,
                               "Refuse credentials and orders before STARTTLS (the default when "
                               "listening beyond loopback)");
  app.add_flag("--allow-plaintext", options.allowPlaintext,
               "Listen beyond loopback without requiring TLS")
      ->excludes(require);
  zqopt::addJournal(&app, &options.journal, &options.journalMaxSize,
                    "Record the power events and FSD in this power journal, shared with the "
                    "host's other watchers, and serve its statistics");
  app.add_flag("--hash-password", options.hashPassword,
               "Print a hash for the users file of the password read from standard input");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    return usageError(e.what());
  }
  if (options.hashPassword) return printHash();
  const std::string wrong = nonsense(options);
  if (!wrong.empty()) return usageError(wrong);
  if (!validUpsName(options.upsName))
    return usageError("--ups-name: letters, digits and . _ - (at most 64)");
  Users users;
  std::string error;
  if (!options.users.empty() && !users.load(options.users, &error)) return usageError(error);
  std::shared_ptr<TlsContext> tls;
  if (!options.tlsCertificate.empty()) {
    std::string warning;
    tls = loadTls(options.tlsCertificate, options.tlsKey, &error, &warning);
    if (!tls) return usageError(error);
    if (!warning.empty()) std::cerr << "ZqUpsNetd: warning: " << warning << std::endl;
  }
  std::unique_ptr<zqjournal::Journal> journal;
  if (!options.journal.empty()) {
    zqjournal::Options kept;
    kept.maxSize = options.journalMaxSize;
    kept.say = logLine;
    journal = zqjournal::Journal::open(options.journal, kept, &error);
    if (!journal) {
      std::cerr << "ZqUpsNetd: " << error << std::endl;
      return kExitFailure;
    }
  }
  return serve(options, &users, options.serviceOwner, tls.get(), journal.get());
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
