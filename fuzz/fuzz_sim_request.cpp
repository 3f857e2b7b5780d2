// Fuzzes the simulator's request handling: arbitrary envelopes and
// request records against the default profile.  Whatever arrives, it
// neither crashes nor allocates what an envelope claims, and a reply
// without a fault is one well-formed frame no longer than the client's
// reply area.
#include "Profile.h"
#include "Protocol.h"
#include "Store.h"
#include "ZqUpsWire.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

const zqsim::Profile& defaultProfile() {
  static const zqsim::Profile profile = [] {
    zqsim::Profile parsed;
    std::string error;
    check(zqsim::parseProfile(zqsim::defaultProfileText(), "default", &parsed, &error));
    return parsed;
  }();
  return profile;
}

// The keys a request may name: the request record's and the template's.
bool faultFree(const zqsim::Store& store, const uint8_t* envelope, size_t total) {
  const uint32_t in = zqwire::loadWord(envelope + 4), out = zqwire::loadWord(envelope + 8);
  for (uint32_t at : {in, out})
    if (at + zqsim::kAccessHeaderSize <= total &&
        store.faultAt({zqwire::loadWord(envelope + at), zqwire::loadWord(envelope + at + 4)}).kind !=
            zqsim::Fault::Kind::None)
      return false;
  return true;
}

void checkReply(const zqsim::Delivery& delivery, const uint8_t* envelope, size_t total) {
  const zqsim::Bytes& bytes = delivery.bytes;
  check(bytes.size() >= 4 + zqsim::kAccessHeaderSize);
  check(zqwire::loadWord(bytes.data()) == bytes.size() - 4);
  const uint32_t out = zqwire::loadWord(envelope + 8);
  const size_t area = out < total ? total - out : zqsim::kAccessHeaderSize;
  check(bytes.size() - 4 <= area);
  check(!delivery.holdOpen);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t total = 0;
  std::string why;
  const zqsim::Framing framing = zqsim::checkFraming(data, size, zqsim::kEnvelopeCap, &total, &why);
  if (framing == zqsim::Framing::Refuse) check(!why.empty());
  if (framing != zqsim::Framing::Complete) return 0;
  check(total >= zqsim::kEnvelopeHeaderSize && total <= size && total <= zqsim::kEnvelopeCap);

  zqsim::Store store(defaultProfile());
  const bool noFault = faultFree(store, data, total);
  const zqsim::Answer answer = zqsim::handleRequest(store, data, total);
  if (answer.refused) {
    check(!answer.why.empty() && answer.delivery.bytes.empty());
    return 0;
  }
  if (noFault) checkReply(answer.delivery, data, total);
  return 0;
}
