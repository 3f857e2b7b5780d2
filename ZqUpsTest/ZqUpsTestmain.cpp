// Diagnostic tool: prints a report on the UPS and its battery, once, or
// up to 10000 times in a row with "-s" or "/s".  Every line, failures
// included, goes to standard output and is flushed as it ends.
#include "ZqUpsTestmain.h"

#include "ZqUpsApi.h"

#include <algorithm>
#include <cstring>
#include <iomanip>
#include <iostream>

namespace {

const uint32_t kIndex = 0x2000;
const uint32_t kTextSize = 512;

// One report's destinations, cleared once after UPSOpen: a reply shorter
// than its row leaves the previous row's bytes behind it.
struct ReportStorage {
  char text[kTextSize];
  float value;
  int32_t count;
  uint32_t bytesRead;  // handed to every read, never looked at
};

enum class Shown { Text, Fixed1, Fixed2, Version, Integer };

struct Row {
  uint32_t offset;
  Shown shown;
  const char* label;
  const char* unit;
};

// A blank, the degree sign in UTF-8, the letter C.
const char kCelsius[] = " \xC2\xB0" "C";

const Row kRows[] = {
    {0x01, Shown::Text, "Vendor: ", ""},
    {0x02, Shown::Text, "Model: ", ""},
    {0x15, Shown::Text, "Serial number: ", ""},
    {0x16, Shown::Text, "Firmware version: ", ""},
    {0x36, Shown::Text, "Battery serial string: ", ""},
    {0x03, Shown::Text, "Manufacturing date: ", ""},
    {0x04, Shown::Text, "Device capabilities: ", ""},
    {0x07, Shown::Text, "Copyright: ", ""},
    {0x11, Shown::Text, "Battery replace date: ", ""},
    {0x06, Shown::Fixed2, "Input line voltage: ", " V"},
    {0x35, Shown::Fixed1, "Battery temperature: ", kCelsius},
    {0x31, Shown::Version, "Battery hardware version: ", ""},
    {0x19, Shown::Fixed1, "Battery load level: ", " %"},
    {0x1a, Shown::Integer, "Estimated runtime: ", " Minutes"},
    {0x1b, Shown::Fixed1, "Internal temperature: ", kCelsius},
    {0x1f, Shown::Fixed2, "Charging current: ", " A"},
    {0x37, Shown::Fixed2, "Discharging current: ", " A"},
    {0x32, Shown::Integer, "Battery rated capacity: ", " mAh"},
};

uint32_t readLength(Shown shown) { return shown == Shown::Text ? kTextSize : 4; }

void* destination(ReportStorage& storage, Shown shown) {
  switch (shown) {
    case Shown::Fixed1:
    case Shown::Fixed2:
      return &storage.value;
    case Shown::Integer:
      return &storage.count;
    case Shown::Text:
    case Shown::Version:
      break;
  }
  return storage.text;
}

// A text that fills the buffer without a NUL ends with the buffer.
void printText(const char* text) {
  const char* end = std::find(text, text + kTextSize, '\0');
  std::cout.write(text, end - text);
}

void printValue(const ReportStorage& storage, Shown shown) {
  switch (shown) {
    case Shown::Text:
      printText(storage.text);
      break;
    case Shown::Fixed1:
      std::cout << std::fixed << std::setprecision(1) << storage.value;
      break;
    case Shown::Fixed2:
      std::cout << std::fixed << std::setprecision(2) << storage.value;
      break;
    case Shown::Version: {
      TVqDevice_Version version;
      std::memcpy(&version, storage.text, sizeof version);
      std::cout << &version;
      break;
    }
    case Shown::Integer:
      std::cout << std::dec << storage.count;
      break;
  }
}

std::ostream& hexWithBase(std::ostream& out) { return out << std::hex << std::showbase; }

uint32_t reportOpenFailure(uint32_t result) {
  std::cout << "UPSOpen failed: " << hexWithBase << result << std::endl;
  return result;
}

uint32_t reportReadFailure(uint32_t offset, uint32_t result) {
  std::cout << "UPSRead failed:" << hexWithBase << " Idx:" << kIndex << " Offset:" << offset
            << " Error:" << result << std::endl;
  return result;
}

uint32_t reportCloseFailure(uint32_t result) {
  std::cout << "UPSClose failed: " << hexWithBase << result << std::endl;
  return result;
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const TVqDevice_Version* version) {
  const std::ios_base::fmtflags flags = out.flags();
  out << std::dec << unsigned(version->major) << '.' << unsigned(version->minor) << '.'
      << unsigned(version->build);
  out.flags(flags);
  return out;
}

bool GetStresstestEnabled(int argc, char** argv) {
  if (argv == nullptr) return false;
  for (int i = 0; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg != nullptr && (std::strcmp(arg, "-s") == 0 || std::strcmp(arg, "/s") == 0))
      return true;
  }
  return false;
}

uint32_t readOnce() {
  uint32_t result = UPSOpen();
  if (result != UPS_OK) return reportOpenFailure(result);

  ReportStorage storage;
  std::memset(&storage, 0, sizeof storage);
  for (const Row& row : kRows) {
    result = UPSRead(kIndex, row.offset, readLength(row.shown), destination(storage, row.shown),
                     &storage.bytesRead);
    if (result != UPS_OK) return reportReadFailure(row.offset, result);
    std::cout << row.label;
    printValue(storage, row.shown);
    std::cout << row.unit << std::endl;
  }

  result = UPSClose();
  if (result != UPS_OK) return reportCloseFailure(result);
  std::cout << "ZqUpsTest: OK" << std::endl;
  return UPS_OK;
}

#ifndef ZQUPSTEST_NO_MAIN
// A report whose lines could not be written has not succeeded either.
int main(int argc, char** argv) {
  const int reports = GetStresstestEnabled(argc, argv) ? 10000 : 1;
  for (int i = 0; i < reports; ++i)
    if (readOnce() != UPS_OK || !std::cout) return 1;
  return 0;
}
#endif
