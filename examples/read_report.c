/* Reads four data points of the UPS through libZqUps and prints them in
 * the lines that ZqUpsTest prints for them.
 * On a failure it names the call and the result and exits with 1. */
#include <ZqUpsApi.h>
#include <ZqUpsResultText.h>

#include <stdio.h>

#define INDEX 0x2000u

static int fail(const char* call, uint32_t offset, uint32_t code) {
  char text[UPS_RESULT_TEXT_SIZE];
  UPSResultText(code, text, sizeof text);
  if (offset != 0)
    fprintf(stderr, "%s failed at offset 0x%lx: 0x%lx: %s\n", call, (unsigned long)offset,
            (unsigned long)code, text);
  else
    fprintf(stderr, "%s failed: 0x%lx: %s\n", call, (unsigned long)code, text);
  return 1;
}

/* Any status other than UPS_OK counts as a failure here, including data
 * delivered with a status. */
static uint32_t read_point(uint32_t offset, void* data, uint32_t size, uint32_t* count) {
  return UPSRead(INDEX, offset, size, data, count);
}

int main(void) {
  char vendor[513] = {0}; /* one byte more than read: always terminated */
  char model[513] = {0};
  float voltage = 0;
  int32_t runtime = 0;
  uint32_t count = 0;
  uint32_t rc = UPSOpen();
  if (rc != UPS_OK) return fail("UPSOpen", 0, rc);

  if ((rc = read_point(1, vendor, 512, &count)) != UPS_OK) return fail("UPSRead", 1, rc);
  if ((rc = read_point(2, model, 512, &count)) != UPS_OK) return fail("UPSRead", 2, rc);
  if ((rc = read_point(6, &voltage, sizeof voltage, &count)) != UPS_OK)
    return fail("UPSRead", 6, rc);
  if ((rc = read_point(26, &runtime, sizeof runtime, &count)) != UPS_OK)
    return fail("UPSRead", 26, rc);
  UPSClose();

  printf("Vendor: %s\n", vendor);
  printf("Model: %s\n", model);
  printf("Input line voltage: %.2f V\n", voltage);
  printf("Estimated runtime: %ld Minutes\n", (long)runtime);
  return 0;
}
