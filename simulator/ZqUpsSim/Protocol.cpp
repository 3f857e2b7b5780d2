#include "Protocol.h"

#include <algorithm>
#include <cstring>

namespace zqsim {
namespace {

using zqwire::loadWord;

// One access header and the data after it, as found in a region.
struct Record {
  bool present = false;
  PointKey key;
  const uint8_t* data = nullptr;
  size_t length = 0;
};

// A region is empty or one record whose `length` fills it exactly.
bool readRecord(const uint8_t* region, size_t size, const char* what, Record* record,
                std::string* why) {
  if (size == 0) return true;
  if (size < kAccessHeaderSize || loadWord(region + 12) != size - kAccessHeaderSize) {
    *why = std::string(what) + " of " + std::to_string(size) +
           " bytes does not hold a header with a matching length";
    return false;
  }
  record->present = true;
  record->key = PointKey{loadWord(region), loadWord(region + 4)};
  record->data = region + kAccessHeaderSize;
  record->length = size - kAccessHeaderSize;
  return true;
}

bool splitEnvelope(const uint8_t* envelope, size_t size, size_t cap, Record* request,
                   Record* response, std::string* why) {
  size_t total = 0;
  if (checkFraming(envelope, size, cap, &total, why) != Framing::Complete) {
    if (why->empty()) *why = "envelope of " + std::to_string(size) + " bytes is cut short";
    return false;
  }
  const uint32_t inOffset = loadWord(envelope + 4), outOffset = loadWord(envelope + 8);
  return readRecord(envelope + inOffset, outOffset - inOffset, "request record", request, why) &&
         readRecord(envelope + outOffset, total - outOffset, "response template", response, why);
}

Fault faultFor(const Store& store, const Record& request, const Record& response) {
  const Fault fault = request.present ? store.faultAt(request.key) : Fault();
  if (fault.kind != Fault::Kind::None || !response.present) return fault;
  return store.faultAt(response.key);
}

// The reply body: header with `status`, then `data` cut to what the template allows.
Bytes replyBody(const Record& request, const Record& response, uint32_t status, Bytes data) {
  const PointKey key = response.present ? response.key : request.key;
  if (data.size() > response.length) data.resize(response.length);
  Bytes body(zqwire::kAccessHeaderSize + data.size());
  zqwire::storeWord(&body[0], key.index);
  zqwire::storeWord(&body[4], key.offset);
  zqwire::storeWord(&body[8], status);
  zqwire::storeWord(&body[12], static_cast<uint32_t>(data.size()));
  std::copy(data.begin(), data.end(), body.begin() + zqwire::kAccessHeaderSize);
  return body;
}

Bytes serve(Store& store, const Record& request, const Record& response, const Fault& fault) {
  uint32_t status = 0;
  Bytes data;
  if (fault.kind == Fault::Kind::Status) {
    // The point fails as a whole: nothing is stored; data comes only
    // with the status that still delivers it.
    status = fault.status;
    if (status == kStatusDataWithStatus && response.present) store.read(response.key, &data);
    return replyBody(request, response, status, data);
  }
  if (request.present)
    status = store.write(request.key, Bytes(request.data, request.data + request.length));
  if (status == 0 && response.present) status = store.read(response.key, &data);
  return replyBody(request, response, status, data);
}

Bytes frame(const Bytes& body) {
  Bytes framed(zqwire::kReplyLengthSize + body.size());
  zqwire::storeWord(framed.data(), static_cast<uint32_t>(body.size()));
  std::copy(body.begin(), body.end(), framed.begin() + zqwire::kReplyLengthSize);
  return framed;
}

Delivery deliver(const Bytes& body, size_t replyArea, const Fault& fault) {
  Delivery d;
  switch (fault.kind) {
    case Fault::Kind::Close:
      return d;
    case Fault::Kind::Hang:
      d.holdOpen = true;
      return d;
    case Fault::Kind::Partial: {
      const size_t keep = fault.bytes == Fault::kHalf
                              ? body.size() / 2
                              : std::min<size_t>(fault.bytes, body.size() - 1);
      const Bytes framed = frame(body);
      d.bytes.assign(framed.begin(), framed.begin() + zqwire::kReplyLengthSize + keep);
      return d;
    }
    case Fault::Kind::Overlong: {
      const size_t claimed = replyArea + fault.bytes;
      d.bytes = frame(body);
      zqwire::storeWord(d.bytes.data(), static_cast<uint32_t>(claimed));
      d.bytes.resize(zqwire::kReplyLengthSize + claimed);
      return d;
    }
    case Fault::Kind::Delay:
      d.delayMillis = fault.millis;
      break;
    case Fault::Kind::Bytewise:
      d.bytewise = true;
      d.byteGapMillis = fault.millis;
      break;
    default:
      break;
  }
  d.bytes = frame(body);
  return d;
}

}  // namespace

Framing checkFraming(const uint8_t* data, size_t size, size_t cap, size_t* total,
                     std::string* why) {
  if (size < 4) return Framing::NeedMore;
  const uint32_t claimed = loadWord(data);
  if (claimed < kEnvelopeHeaderSize || claimed > cap) {
    *why = "envelope claims " + std::to_string(claimed) +
           " bytes (allowed: " + std::to_string(kEnvelopeHeaderSize) + " to " +
           std::to_string(cap) + ")";
    return Framing::Refuse;
  }
  *total = claimed;
  if (size < kEnvelopeHeaderSize) return Framing::NeedMore;
  const uint32_t inOffset = loadWord(data + 4), outOffset = loadWord(data + 8);
  if (inOffset != kEnvelopeHeaderSize || outOffset < inOffset || outOffset > claimed) {
    *why = "envelope offsets " + std::to_string(inOffset) + " and " + std::to_string(outOffset) +
           " do not fit its length " + std::to_string(claimed);
    return Framing::Refuse;
  }
  return size >= claimed ? Framing::Complete : Framing::NeedMore;
}

Answer handleRequest(Store& store, const uint8_t* envelope, size_t size, size_t cap) {
  Answer answer;
  Record request, response;
  if (!splitEnvelope(envelope, size, cap, &request, &response, &answer.why)) {
    answer.refused = true;
    return answer;
  }
  if (!request.present && !response.present) {
    answer.delivery = deliver(replyBody(request, response, kStatusEmptyRequest, Bytes()),
                              kAccessHeaderSize, Fault());
    return answer;
  }
  const Fault fault = faultFor(store, request, response);
  const Bytes body = serve(store, request, response, fault);
  const size_t area = response.present ? response.length + kAccessHeaderSize : kAccessHeaderSize;
  answer.delivery = deliver(body, area, fault);
  return answer;
}

}  // namespace zqsim
