// Diagnostic tool: prints a report on the UPS and its battery.
#include "ZqUpsApi.h"

#include <iostream>

int main() {
  const uint32_t rc = UPSOpen();
  std::cout << (rc == UPS_OK ? "ZqUpsTest: OK" : "UPSOpen failed") << std::endl;
  return rc == UPS_OK ? 0 : 1;
}
