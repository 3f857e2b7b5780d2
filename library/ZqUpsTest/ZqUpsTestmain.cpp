// Diagnostic tool: prints a report on the UPS and its battery, once, or
// up to 10000 times in a row with "-s" or "/s".  Every line, failures
// included, goes to standard output and is flushed as it ends.
#include "ZqUpsTestmain.h"

#include "ZqUpsApi.h"
#include "ZqUpsPoints.h"

#include <algorithm>
#include <cstring>
#include <iomanip>
#include <iostream>

namespace {

const uint32_t kIndex = UPS_POINTS_INDEX;
const uint32_t kTextSize = UPS_POINT_TEXT_LENGTH;

// One report's destinations, cleared once after UPSOpen: a reply shorter
// than its row leaves the previous row's bytes behind it.
struct ReportStorage {
  char text[kTextSize];
  float value;
  int32_t count;
  uint32_t bytesRead;  // handed to every read, never looked at
};

void* destination(ReportStorage& storage, UPSPointType type) {
  switch (type) {
    case UPS_POINT_FLOAT:
      return &storage.value;
    case UPS_POINT_INTEGER:
      return &storage.count;
    case UPS_POINT_TEXT:
    case UPS_POINT_VERSION:
      break;
  }
  return storage.text;
}

// A text that fills the buffer without a NUL ends with the buffer.
void printText(const char* text) {
  const char* end = std::find(text, text + kTextSize, '\0');
  std::cout.write(text, end - text);
}

void printValue(const ReportStorage& storage, const UPSPoint& point) {
  switch (point.type) {
    case UPS_POINT_TEXT:
      printText(storage.text);
      break;
    case UPS_POINT_FLOAT:
      std::cout << std::fixed << std::setprecision(point.decimals) << storage.value;
      break;
    case UPS_POINT_VERSION: {
      TVqDevice_Version version;
      std::memcpy(&version, storage.text, sizeof version);
      std::cout << &version;
      break;
    }
    case UPS_POINT_INTEGER:
      std::cout << std::dec << storage.count;
      break;
  }
}

void printRow(const ReportStorage& storage, const UPSPoint& point) {
  std::cout << point.label << ": ";
  printValue(storage, point);
  if (point.unit[0] != '\0') std::cout << ' ' << point.unit;
  std::cout << std::endl;
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
  const UPSPoint* points = UPSPoints();
  for (int i = 0; i < UPS_POINT_COUNT; ++i) {
    const UPSPoint& point = points[i];
    result = UPSRead(kIndex, point.offset, point.readLength, destination(storage, point.type),
                     &storage.bytesRead);
    if (result != UPS_OK) return reportReadFailure(point.offset, result);
    printRow(storage, point);
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
