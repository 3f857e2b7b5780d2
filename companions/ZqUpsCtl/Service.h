// The UPS service as ZqUpsCtl meets it: where it listens and what the
// outcome of an exchange means for the exit status.
#ifndef ZQUPSCTL_SERVICE_H
#define ZQUPSCTL_SERVICE_H

#include "Access.h"

namespace zqctl {

using zqread::kServicePath;

// Exit statuses of every command (on-mains has its own as well).
enum Exit {
  kExitOk = 0,
  kExitUsage = 2,
  kExitUnreachable = 3,
  kExitStatus = 4,
  kExitMismatch = 5,
  kExitJournal = 6,  // the power journal refused or unreadable
};

// 4 when the service answered badly, 3 when it could not be asked (or
// was not trusted).
int exitFor(const zqread::Outcome& outcome);

}  // namespace zqctl

#endif
