// The eighteen rows of ZqUpsTest's report, in order: the point each reads,
// the size it asks for, its label and unit, and its value under the
// simulator's default profile.  Written out here as the tool's tests
// expect them, independently of the tool's own table.
#ifndef REPORTROWS_H
#define REPORTROWS_H

#include <cstdint>
#include <string>

namespace upstest {

struct ReportRow {
  uint32_t offset;
  uint32_t length;
  const char* label;
  const char* unit;  // "" for none
  const char* defaultValue;
};

inline constexpr ReportRow kReportRows[] = {
    {0x01, 512, "Vendor", "", "Zq Power Systems"},
    {0x02, 512, "Model", "", "ZQ-R3000 RM 2U"},
    {0x15, 512, "Serial number", "", "ZQR3-2407-004211"},
    {0x16, 512, "Firmware version", "", "4.12.7 (2024-05-02)"},
    {0x36, 512, "Battery serial string", "", "BP-ZQR3-1187-22"},
    {0x03, 512, "Manufacturing date", "", "2024-07-15"},
    {0x04, 512, "Device capabilities", "",
     "online double conversion, 3000 VA / 2700 W, 8 outlets, USB, RS-232, network slot"},
    {0x07, 512, "Copyright", "", "(C) 2024 Zq Power Systems. All rights reserved."},
    {0x11, 512, "Battery replace date", "", "2028-07-01"},
    {0x06, 4, "Input line voltage", "V", "230.00"},
    {0x35, 4, "Battery temperature", "\xC2\xB0" "C", "27.5"},
    {0x31, 4, "Battery hardware version", "", "1.2.3"},
    {0x19, 4, "Battery load level", "%", "38.5"},
    {0x1a, 4, "Estimated runtime", "Minutes", "42"},
    {0x1b, 4, "Internal temperature", "\xC2\xB0" "C", "31.0"},
    {0x1f, 4, "Charging current", "A", "0.45"},
    {0x37, 4, "Discharging current", "A", "0.00"},
    {0x32, 4, "Battery rated capacity", "mAh", "9000"},
};
inline constexpr int kReportRowCount = sizeof kReportRows / sizeof kReportRows[0];

// A row's line, newline included, showing `value`.
inline std::string reportLine(const ReportRow& row, const std::string& value) {
  return row.label + (": " + value) + (row.unit[0] ? std::string(" ") + row.unit : "") + "\n";
}

// The lines of the first `rows` rows under the default profile.
inline std::string defaultReportLines(int rows = kReportRowCount) {
  std::string out;
  for (int i = 0; i < rows; ++i) out += reportLine(kReportRows[i], kReportRows[i].defaultValue);
  return out;
}

}  // namespace upstest

#endif
