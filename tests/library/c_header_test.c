/* The public headers as C: every constant, the five plain calls, the
 * parameter checks that need no service, and the point catalogue. */
#include "ZqUpsApi.h"
#include "ZqUpsPoints.h"

#include <stdio.h>

static int failures;

static void expect(int ok, const char* what) {
  if (!ok) {
    printf("FAILED: %s\n", what);
    ++failures;
  }
}

int main(void) {
  const uint32_t codes[] = {UPS_OK,                 UPSERR_DATA_WITH_STATUS, UPSERR_NO_OUT_BUFFER,
                            UPSERR_INVALID_PARAM,   UPSERR_SERVICE_REFUSED, UPSERR_SERVICE_MISSING,
                            UPSERR_SYSTEM_BASE,     UPS_STATUS_PRESET};
  uint32_t count = 7;
  char buffer[4];
  expect(sizeof codes == 8 * sizeof(uint32_t), "result codes are 32-bit");
  expect(codes[1] == 0xECA60102u && codes[7] == 0xFFFFFFFFu, "result code values");
  expect(UPSClose() == UPS_OK, "UPSClose");
  expect(UPSRead(0x2000, 1, 0, buffer, &count) == UPSERR_INVALID_PARAM && count == 0,
         "UPSRead with length 0");
  expect(UPSWrite(0x2000, 1, 4, NULL, &count) == UPSERR_INVALID_PARAM, "UPSWrite without data");
  expect(UPSReadWrite(0x2000, 1, 0, NULL, 0, NULL, NULL) == UPSERR_INVALID_PARAM,
         "UPSReadWrite with nothing to do");
  expect(UPS_IS_SYSTEM_CODE(UPSERR_SYSTEM_BASE | 2u) && UPS_SYSTEM_ERRNO(UPSERR_SYSTEM_BASE | 2u) == 2,
         "system code helpers");
  expect(UPSPointByName("input_voltage") == UPSPointAt(0x2000, 0x06) &&
             UPSPointByName("input_voltage") != NULL && UPSPointByName("nothing") == NULL,
         "point catalogue lookups");
  if (failures == 0) printf("c header: OK\n");
  return failures == 0 ? 0 : 1;
}
