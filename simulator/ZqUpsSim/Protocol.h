// The service's side of one exchange, on plain bytes: check an envelope,
// serve its request record and response template from a Store, and say
// which bytes go back and how (faults included).  No sockets here.
#ifndef ZQUPSSIM_PROTOCOL_H
#define ZQUPSSIM_PROTOCOL_H

#include <cstddef>
#include <string>

#include "Store.h"
#include "ZqUpsWire.h"

namespace zqsim {

using zqwire::kAccessHeaderSize;
using zqwire::kEnvelopeHeaderSize;
// No envelope may claim more; the claim is refused before anything is read.
constexpr size_t kEnvelopeCap = size_t{1} << 20;

enum class Framing { NeedMore, Complete, Refuse };

// Looks at the first `size` bytes of an envelope: is it all there, is
// more to come, or do its header words rule it out?  Refuses as soon as
// the words that have arrived do, so a bad claim is never waited for.
// Sets `total` once the length is known and `why` on refusal.
Framing checkFraming(const uint8_t* data, size_t size, size_t cap, size_t* total, std::string* why);

// How the reply goes out.
struct Delivery {
  Bytes bytes;                 // what is sent, in order; may be empty
  uint32_t delayMillis = 0;    // before the first byte
  bool bytewise = false;       // one byte at a time...
  uint32_t byteGapMillis = 0;  // ...with this pause between bytes
  bool holdOpen = false;       // afterwards keep the connection until the client closes
};

struct Answer {
  bool refused = false;  // the envelope does not hold together: close, answer nothing
  std::string why;
  Delivery delivery;
};

// Serves one complete envelope of `size` bytes: a write stores its data,
// a read answers from the store, a combined request writes, then reads.
Answer handleRequest(Store& store, const uint8_t* envelope, size_t size, size_t cap = kEnvelopeCap);

}  // namespace zqsim

#endif
