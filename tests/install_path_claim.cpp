// install_path_claim COMMAND [ARG...]
// Runs COMMAND while holding the claim on "/tmp/UPS0", so that no test's
// service appears there meanwhile.  COMMAND learns from ZQUPS_PATH_CLAIMED
// whether the path is clear (1) or held by a live service that is none of
// the tests' (0).  Exits with COMMAND's status.
#include "FakeUpsService.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>

namespace {

int runCommand(char** argv) {
  const pid_t pid = ::fork();
  if (pid < 0) return 125;
  if (pid == 0) {
    ::execvp(argv[0], argv);
    _exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return 125;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: install_path_claim COMMAND [ARG...]\n";
    return 2;
  }
  upstest::PathClaim claim;
  if (!claim.ok()) std::cout << "path not claimed: " << claim.why() << std::endl;
  ::setenv("ZQUPS_PATH_CLAIMED", claim.ok() ? "1" : "0", 1);
  return runCommand(argv + 1);
}
