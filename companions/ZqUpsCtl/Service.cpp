#include "Service.h"

namespace zqctl {

int exitFor(const zqread::Outcome& outcome) {
  switch (outcome.failure) {
    case zqread::Failure::None:
      return kExitOk;
    case zqread::Failure::BadAnswer:
      return kExitStatus;
    default:
      return kExitUnreachable;
  }
}

}  // namespace zqctl
