// The simulator's protocol on plain bytes: envelopes that do not hold
// together are refused, replies never outgrow the response template, a
// combined request writes before it reads, and faults shape the reply.
#include <gtest/gtest.h>

#include <cstring>

#include "FakeUpsService.h"
#include "Protocol.h"

using namespace zqsim;

namespace {

const uint32_t kPreset = 0xFFFFFFFF;

// Appends host-order words, as the wire carries them.
void put(Bytes& b, std::initializer_list<uint32_t> list) {
  const Bytes raw = upstest::words(list);
  b.insert(b.end(), raw.begin(), raw.end());
}

using upstest::readRequest;
using upstest::wordAt;

Bytes record(uint32_t offset, const Bytes& data) {
  Bytes r;
  put(r, {0x2000, offset, kPreset, static_cast<uint32_t>(data.size())});
  r.insert(r.end(), data.begin(), data.end());
  return r;
}

Bytes envelope(const Bytes& in, const Bytes& out) {
  Bytes e;
  put(e, {static_cast<uint32_t>(12 + in.size() + out.size()), 12,
          static_cast<uint32_t>(12 + in.size())});
  e.insert(e.end(), in.begin(), in.end());
  e.insert(e.end(), out.begin(), out.end());
  return e;
}

Profile sample() {
  Profile p;
  p.steps.resize(1);
  p.steps[0].points = {{{0x2000, 1}, {'Z', 'q', ' ', 'P', 0}, true},
                       {{0x2000, 0x11}, {'2', '0', 0}, false}};
  return p;
}

struct Exchange {
  Store store{sample()};
  Answer run(const Bytes& env) { return handleRequest(store, env.data(), env.size()); }
  void fault(uint32_t offset, const char* rule) {
    FaultDef def;
    std::string error;
    ASSERT_TRUE(
        parseFaultRule(std::string("0x2000:") + std::to_string(offset) + "=" + rule, &def, &error))
        << error;
    store.overrideFault(def);
  }
};

Bytes body(const Answer& a) { return Bytes(a.delivery.bytes.begin() + 4, a.delivery.bytes.end()); }
Bytes dataOf(const Answer& a) {
  return Bytes(a.delivery.bytes.begin() + 20, a.delivery.bytes.end());
}

}  // namespace

TEST(Envelopes, ThatDoNotHoldTogetherAreRefused) {
  Bytes good = readRequest(1, 8);
  auto with = [&](size_t at, uint32_t word) {
    Bytes e = good;
    std::memcpy(e.data() + at, &word, 4);
    return e;
  };
  const struct {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"total below the header", with(0, 11)},
      {"total above the cap", with(0, kEnvelopeCap + 1)},
      {"total beyond the bytes", with(0, static_cast<uint32_t>(good.size() + 1))},
      {"input not right after the header", with(4, 16)},
      {"output before the input", with(8, 8)},
      {"output past the end", with(8, static_cast<uint32_t>(good.size() + 1))},
      {"template length too long", with(12 + 12, 9)},
      {"template length too short", with(12 + 12, 7)},
      {"region too small for a header", envelope({1, 2, 3}, {})},
      {"cut short", Bytes(good.begin(), good.begin() + 10)},
  };
  Exchange x;
  for (const auto& c : cases) {
    const Answer a = x.run(c.bytes);
    EXPECT_TRUE(a.refused) << c.what;
    EXPECT_FALSE(a.why.empty()) << c.what;
    EXPECT_TRUE(a.delivery.bytes.empty()) << c.what;
  }
}

TEST(Envelopes, FramingRefusesAHugeClaimFromItsFirstFourBytes) {
  const Bytes head = {0xff, 0xff, 0xff, 0xff};
  size_t total = 0;
  std::string why;
  EXPECT_EQ(checkFraming(head.data(), 3, kEnvelopeCap, &total, &why), Framing::NeedMore);
  EXPECT_EQ(checkFraming(head.data(), 4, kEnvelopeCap, &total, &why), Framing::Refuse);
  EXPECT_NE(why.find("4294967295"), std::string::npos) << why;
  const Bytes env = readRequest(1, 4);
  EXPECT_EQ(checkFraming(env.data(), env.size() - 1, kEnvelopeCap, &total, &why),
            Framing::NeedMore);
  EXPECT_EQ(total, env.size());
  EXPECT_EQ(checkFraming(env.data(), env.size(), kEnvelopeCap, &total, &why), Framing::Complete);
  Bytes badOffsets = env;
  badOffsets[8] = 0xff;
  EXPECT_EQ(checkFraming(badOffsets.data(), 12, kEnvelopeCap, &total, &why), Framing::Refuse)
      << "offsets are judged as soon as the header is in";
}

TEST(Replies, ReadAnswersWithHeaderAndDataCutToTheTemplate) {
  Exchange x;
  Answer a = x.run(readRequest(1, 512));
  ASSERT_FALSE(a.refused) << a.why;
  EXPECT_EQ(wordAt(a.delivery.bytes, 0), 21u);
  Bytes expected;
  put(expected, {0x2000, 1, 0, 5});
  expected.insert(expected.end(), {'Z', 'q', ' ', 'P', 0});
  EXPECT_EQ(body(a), expected);

  a = x.run(readRequest(1, 2));
  EXPECT_EQ(body(a).size(), 18u) << "never longer than the template";
  EXPECT_EQ(wordAt(body(a), 12), 2u);
}

TEST(Replies, StatusWordsOfTheSimulatorItself) {
  Exchange x;
  EXPECT_EQ(wordAt(body(x.run(readRequest(0x99, 4))), 8), kStatusUnknownOffset);
  Bytes other = readRequest(1, 4);
  other[12] = 0x01;  // index 0x2001
  EXPECT_EQ(wordAt(body(x.run(other)), 8), kStatusUnknownIndex);
  const Answer ro = x.run(envelope(record(1, {'x', 0}), {}));
  EXPECT_EQ(body(ro).size(), 16u) << "without a template the header comes alone";
  EXPECT_EQ(wordAt(body(ro), 8), kStatusReadOnly);
  EXPECT_EQ(wordAt(body(x.run(envelope({}, {}))), 8), kStatusEmptyRequest);
}

TEST(Replies, CombinedRequestWritesThenReads) {
  Exchange x;
  Answer a = x.run(envelope(record(0x11, {'2', '0', '3', '1', 0}), record(0x11, Bytes(16, 0))));
  EXPECT_EQ(wordAt(body(a), 8), 0u);
  EXPECT_EQ(dataOf(a), (Bytes{'2', '0', '3', '1', 0}));
  a = x.run(envelope(record(1, {'x'}), record(1, Bytes(16, 0))));
  EXPECT_EQ(wordAt(body(a), 8), kStatusReadOnly);
  EXPECT_EQ(body(a).size(), 16u) << "a failed write reads nothing";
}

TEST(Faults, StatusReplacesTheAnswerAndStoresNothing) {
  Exchange x;
  x.fault(1, "status:0xECA60102");
  Answer a = x.run(readRequest(1, 16));
  EXPECT_EQ(wordAt(body(a), 8), 0xECA60102u);
  EXPECT_EQ(body(a).size(), 16u + 5u) << "this status still carries the data";
  x.fault(0x11, "status:0x12345678");
  a = x.run(envelope(record(0x11, {'9', 0}), record(0x11, Bytes(8, 0))));
  EXPECT_EQ(wordAt(body(a), 8), 0x12345678u);
  EXPECT_EQ(body(a).size(), 16u);
  x.fault(0x11, "none");
  a = x.run(readRequest(0x11, 8));
  EXPECT_EQ(dataOf(a), (Bytes{'2', '0', 0}));
}

// The timed faults (delay, bytewise, hang) are tried against the library.
TEST(Faults, PartialAndOverlongRepliesAreCutOrPaddedAsAsked) {
  Exchange x;
  const Bytes full = x.run(readRequest(1, 64)).delivery.bytes;  // 4 + 21 bytes
  for (const auto& c : {std::make_pair("partial:3", 7u), std::make_pair("partial:999", 24u)}) {
    x.fault(1, c.first);
    const Bytes cut = x.run(readRequest(1, 64)).delivery.bytes;
    EXPECT_EQ(cut, Bytes(full.begin(), full.begin() + c.second)) << c.first;
  }
  x.fault(1, "overlong:3");
  Delivery d = x.run(readRequest(1, 64)).delivery;
  EXPECT_EQ(wordAt(d.bytes, 0), 16u + 64u + 3u);
  EXPECT_EQ(d.bytes.size(), 4u + 83u);
  x.fault(0x11, "overlong");
  d = x.run(envelope(record(0x11, {'1', 0}), {})).delivery;
  EXPECT_EQ(wordAt(d.bytes, 0), 17u) << "without a template the area is 16 bytes";
}
