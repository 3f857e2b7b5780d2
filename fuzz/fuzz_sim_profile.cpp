// Fuzzes the simulator's profile parser: any text either parses into a
// profile the simulator can run through to its last step, or fails with
// a message naming the line.
#include "Profile.h"
#include "Store.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  zqsim::Profile profile;
  std::string error;
  if (!zqsim::parseProfile(text, "fuzz", &profile, &error)) {
    if (error.compare(0, 5, "fuzz:") != 0) std::abort();
    return 0;
  }
  zqsim::Store store(profile);
  store.advanceTo(~uint64_t{0});
  zqsim::Bytes value;
  store.read({0x2000, 1}, &value);
  return 0;
}
