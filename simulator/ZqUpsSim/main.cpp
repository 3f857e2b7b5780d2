// ZqUpsSim: a stand-in UPS service on a Unix-domain socket, serving the
// data points of a profile, with timed steps and faults on purpose.
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iostream>

#include "Log.h"
#include "Profile.h"
#include "Server.h"
#include "Store.h"

namespace {

const char kUsage[] =
    "Usage: ZqUpsSim [--socket PATH] [--socket-mode MODE] [--profile FILE]\n"
    "                [--fault INDEX:OFFSET=KIND[:ARG]]... [--check] [--help] [--version]\n"
    "Serves UPS data points on a Unix-domain socket (default /tmp/UPS0).\n"
    "  --socket PATH     listen on PATH instead of /tmp/UPS0\n"
    "  --socket-mode MODE  the socket file's mode in octal (default 0666)\n"
    "  --profile FILE    serve the data points, steps and faults of FILE\n"
    "  --fault RULE      a fault for one point, over the profile's; may repeat.\n"
    "                    KIND: status:WORD delay:DURATION close partial[:BYTES]\n"
    "                    bytewise[:DURATION] overlong[:BYTES] hang none\n"
    "  --check           read the profile and faults, report, and exit\n"
    "Stops on SIGINT, SIGTERM or SIGHUP.  See ZqUpsSim(1).\n";

struct Options {
  zqsim::ServerOptions server;
  std::string profilePath;
  std::vector<zqsim::FaultDef> faults;
  bool check = false;
};

// The server a stop signal ends; null outside its lifetime.
std::atomic<zqsim::Server*> g_server{nullptr};

extern "C" void onStopSignal(int) {
  if (zqsim::Server* server = g_server.load()) server->stop();
}

// Points the stop signals at `server` for the lifetime of this object.
struct StopOnSignal {
  explicit StopOnSignal(zqsim::Server& server) { g_server.store(&server); }
  ~StopOnSignal() { g_server.store(nullptr); }
  StopOnSignal(const StopOnSignal&) = delete;
  StopOnSignal& operator=(const StopOnSignal&) = delete;
};

int usageError(const std::string& why) {
  std::cerr << "ZqUpsSim: " << why << "\n" << kUsage;
  return 2;
}

bool parseMode(const std::string& text, mode_t* mode) {
  if (text.empty() || text.size() > 4 || text.find_first_not_of("01234567") != std::string::npos)
    return false;
  const unsigned long value = std::stoul(text, nullptr, 8);
  if (value > 0777) return false;
  *mode = static_cast<mode_t>(value);
  return true;
}

// Returns -1 to go on, or the exit status.
int parseArguments(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--version") {
      std::cout << "ZqUpsSim " ZQUPSSIM_VERSION "\n";
      return 0;
    }
    if (arg == "--check") {
      options->check = true;
      continue;
    }
    if (arg != "--socket" && arg != "--socket-mode" && arg != "--profile" && arg != "--fault")
      return usageError("unknown argument '" + arg + "'");
    if (i + 1 == argc) return usageError(arg + " needs a value");
    const std::string value = argv[++i];
    if (arg == "--socket") options->server.socketPath = value;
    if (arg == "--socket-mode" && !parseMode(value, &options->server.socketMode))
      return usageError("--socket-mode: expected octal digits up to 0777, got '" + value + "'");
    if (arg == "--profile") options->profilePath = value;
    if (arg == "--fault") {
      zqsim::FaultDef def;
      std::string why;
      if (!zqsim::parseFaultRule(value, &def, &why)) return usageError("--fault: " + why);
      options->faults.push_back(def);
    }
  }
  return -1;
}

bool loadProfile(const std::string& path, zqsim::Profile* profile, std::string* why) {
  if (path.empty())
    return zqsim::parseProfile(zqsim::defaultProfileText(), "default profile", profile, why);
  // A folder opens as a stream that seems merely empty.
  struct stat info;
  const int err = ::stat(path.c_str(), &info) != 0 ? errno : S_ISDIR(info.st_mode) ? EISDIR : 0;
  std::ifstream in(path);
  if (err != 0 || !in) {
    *why = "cannot read " + path + ": " + std::strerror(err != 0 ? err : errno);
    return false;
  }
  return zqsim::parseProfile(in, path, profile, why);
}

void handleSignals() {
  static_assert(std::atomic<zqsim::Server*>::is_always_lock_free, "used in a signal handler");
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_handler = onStopSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  action.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int done = parseArguments(argc, argv, &options);
  if (done >= 0) return done;

  zqsim::Profile profile;
  std::string why;
  if (!loadProfile(options.profilePath, &profile, &why)) {
    std::cerr << "ZqUpsSim: " << why << std::endl;
    return 2;
  }
  if (options.check) {
    std::cout << "ZqUpsSim: profile OK, " << profile.steps.size() << " step(s)" << std::endl;
    return 0;
  }
  zqsim::Store store(std::move(profile));
  for (const zqsim::FaultDef& def : options.faults) store.overrideFault(def);

  // Log lines never block the server: a full pipe costs lines, not service.
  zqsim::LineLog logBuffer(2);
  std::ostream log(&logBuffer);
  zqsim::Server server(store, options.server, log);
  const StopOnSignal stopOnSignal(server);
  handleSignals();
  if (!server.listen(&why)) {
    std::cerr << "ZqUpsSim: " << why << std::endl;
    return 1;
  }
  std::cout << "ZqUpsSim: listening on " << options.server.socketPath << std::endl;
  if (!server.run(&why)) {
    std::cerr << "ZqUpsSim: " << why << std::endl;
    return 1;
  }
  return 0;
}
