// Reads four data points of the UPS through libZqUps and prints them in
// the lines that ZqUpsTest prints for them.
// A failed call becomes an exception that names the call and the result.
#include <ZqUpsApi.h>
#include <ZqUpsResultText.h>

#include <cstdio>
#include <iomanip>
#include <iostream>
#include <stdexcept>
#include <string>

namespace {

constexpr uint32_t kIndex = 0x2000;

class UpsError : public std::runtime_error {
 public:
  UpsError(const char* call, uint32_t offset, uint32_t code)
      : std::runtime_error(describe(call, offset, code)) {}

 private:
  static std::string describe(const char* call, uint32_t offset, uint32_t code) {
    char where[48] = "";
    char text[UPS_RESULT_TEXT_SIZE];
    if (offset != 0)
      std::snprintf(where, sizeof where, " at offset 0x%lx", static_cast<unsigned long>(offset));
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%lx", static_cast<unsigned long>(code));
    return std::string(call) + " failed" + where + ": " + hex + ": " +
           UPSResultText(code, text, sizeof text);
  }
};

// Any status other than UPS_OK counts as a failure here, including data
// delivered with a status.
void check(uint32_t rc, const char* call, uint32_t offset = 0) {
  if (rc != UPS_OK) throw UpsError(call, offset, rc);
}

// A text point: up to 512 bytes, up to its first NUL.
std::string readText(uint32_t offset) {
  char buffer[512] = {};
  uint32_t count = 0;
  check(UPSRead(kIndex, offset, sizeof buffer, buffer, &count), "UPSRead", offset);
  std::string text(buffer, count);
  return text.substr(0, text.find('\0'));
}

template <typename T>
T readValue(uint32_t offset) {
  T value{};
  uint32_t count = 0;
  check(UPSRead(kIndex, offset, sizeof value, &value, &count), "UPSRead", offset);
  return value;
}

}  // namespace

int main() {
  try {
    check(UPSOpen(), "UPSOpen");
    const std::string vendor = readText(1);
    const std::string model = readText(2);
    const float voltage = readValue<float>(6);
    const int32_t runtime = readValue<int32_t>(26);
    UPSClose();
    std::cout << "Vendor: " << vendor << "\nModel: " << model << "\nInput line voltage: "
              << std::fixed << std::setprecision(2) << voltage << " V\nEstimated runtime: "
              << runtime << " Minutes\n";
    return 0;
  } catch (const UpsError& error) {
    std::cerr << error.what() << '\n';
    return 1;
  }
}
