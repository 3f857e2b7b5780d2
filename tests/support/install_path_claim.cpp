// install_path_claim COMMAND [ARG...]
// Runs COMMAND while holding the claim on "/tmp/UPS0", so that no test's
// service appears there meanwhile.  COMMAND learns from ZQUPS_PATH_CLAIMED
// whether the path is clear (1) or held by a live service that is none of
// the tests' (0, only with ZQUPS_ALLOW_SKIP=1: otherwise that fails at
// once).  Exits with COMMAND's status.
#include "FakeUpsService.h"
#include "RunProgram.h"

#include <stdlib.h>

#include <iostream>
#include <string>
#include <vector>

namespace {

// CTest's own time limit ends the run long before this.
constexpr int kCommandSeconds = 3600;

// env finds COMMAND on the PATH.
int runCommand(int argc, char** argv) {
  std::vector<std::string> args = {"env"};
  args.insert(args.end(), argv, argv + argc);
  upstest::ProgramOptions options;
  options.timeoutSeconds = kCommandSeconds;
  const upstest::ProgramRun run = upstest::runProgram("/usr/bin/env", args, options);
  std::cout << run.out << std::flush;
  std::cerr << run.err << run.error;
  if (!run.started) return 127;
  return run.exited ? run.exitStatus : 128 + run.signal;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: install_path_claim COMMAND [ARG...]\n";
    return 2;
  }
  upstest::PathClaim claim;
  if (!claim.ok()) {
    std::cout << "path not claimed: " << claim.why() << std::endl;
    if (!upstest::skipAllowed()) {
      std::cout << "(ZQUPS_ALLOW_SKIP=1 runs the rest without it)" << std::endl;
      return 1;
    }
  }
  ::setenv("ZQUPS_PATH_CLAIMED", claim.ok() ? "1" : "0", 1);
  return runCommand(argc - 1, argv + 1);
}
