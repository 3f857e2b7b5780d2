// The diagnostic tool's own calls, for the tests that link its unit
// without its main().
#ifndef ZQUPSTESTMAIN_H
#define ZQUPSTESTMAIN_H

#include <cstdint>
#include <ostream>

// The battery hardware version as the service delivers it: 4 bytes.
struct TVqDevice_Version {
  uint8_t major;
  uint8_t minor;
  uint16_t build;  // host byte order
};

// Writes "major.minor.build" in decimal whatever the stream's base; no line end.
std::ostream& operator<<(std::ostream& out, const TVqDevice_Version* version);

// True when some argument, the program name included, is exactly "-s" or "/s".
bool GetStresstestEnabled(int argc, char** argv);

// One report on standard output; 0, or the result of the call that failed.
uint32_t readOnce();

#endif
