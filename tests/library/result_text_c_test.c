/* The result-text header as C, with no library linked: its functions are
 * the program's own. */
#include "ZqUpsResultText.h"

#include <stdio.h>
#include <string.h>

static int failures;

static void expect_text(uint32_t code, const char* want) {
  char buffer[UPS_RESULT_TEXT_SIZE];
  UPSResultText(code, buffer, sizeof buffer);
  if (strcmp(buffer, want) != 0) {
    printf("FAILED: 0x%lx gives \"%s\", not \"%s\"\n", (unsigned long)code, buffer, want);
    ++failures;
  }
}

int main(void) {
  char expected[UPS_RESULT_TEXT_SIZE];
  const char* name = UPSResultName(UPSERR_SERVICE_REFUSED);
  snprintf(expected, sizeof expected, "system error %d (EPIPE): broken pipe", EPIPE);
  expect_text(UPSERR_SYSTEM_BASE | EPIPE, expected);
  expect_text(UPSERR_SERVICE_REFUSED, "service refused the connection");
  expect_text(0x5A000001u, "service status 0x5a000001");
  if (name == NULL || strcmp(name, "UPSERR_SERVICE_REFUSED") != 0) {
    printf("FAILED: name of UPSERR_SERVICE_REFUSED\n");
    ++failures;
  }
  if (UPSResultName(0x5A000001u) != NULL) {
    printf("FAILED: a service status has a name\n");
    ++failures;
  }
  if (failures == 0) printf("result text in C: OK\n");
  return failures == 0 ? 0 : 1;
}
