// The access calls against a scripted service: the records they send,
// how they turn replies that the simulator cannot make into a result,
// their parameter checks, UPSOpen on what may stand at "/tmp/UPS0", and
// many threads at once.  Each simulator fault's result is in
// sim_service_test.
#include "FakeUpsService.h"
#include "ZqUpsApi.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>

using namespace upstest;

namespace {

const uint8_t kUntouched = 0xEE;

Bytes text(const char* s) { return Bytes(s, s + std::strlen(s)); }

// A handler answering with {index, offset, status, length} and `data`.
FakeUpsService::Handler answer(uint32_t status, const Bytes& data) {
  return [status, data](Peer& peer) {
    Bytes envelope = peer.readEnvelope();
    peer.reply(accessReply(wordAt(envelope, 12), wordAt(envelope, 16), status, data));
  };
}

}  // namespace

TEST(ReadRecords, ReadSendsAResponseTemplateAndDeliversTheData) {
  FakeUpsService service(answer(0, concat({text("ACME Power"), Bytes(2, 0)})));
  START_OR_SKIP(service);
  Bytes data(512 + 8, kUntouched);
  uint32_t count = 99;
  ASSERT_EQ(UPSRead(0x2000, 1, 512, data.data(), &count), UPS_OK);
  EXPECT_EQ(service.lastEnvelope(),
            concat({words({540, 12, 12, 0x2000, 1, 0xFFFFFFFF, 512}), Bytes(512, 0)}));
  EXPECT_EQ(count, 12u);
  EXPECT_EQ(Bytes(data.begin(), data.begin() + 10), text("ACME Power"));
  EXPECT_EQ(data[12], kUntouched) << "only the delivered bytes are written";
  EXPECT_EQ(data[512], kUntouched);
}

TEST(ReadRecords, CombinedCallSendsRequestAndTemplateInOneEnvelope) {
  FakeUpsService service(answer(0, {7, 7, 7, 7}));
  START_OR_SKIP(service);
  const Bytes payload = {1, 2, 3};
  Bytes data(4);
  uint32_t count = 0;
  ASSERT_EQ(UPSReadWrite(0x2000, 9, 4, data.data(), 3, payload.data(), &count), UPS_OK);
  EXPECT_EQ(service.lastEnvelope(),
            concat({words({12 + 19 + 20, 12, 12 + 19}), words({0x2000, 9, 0xFFFFFFFF, 3}), payload,
                    words({0x2000, 9, 0xFFFFFFFF, 4}), Bytes(4, 0)}));
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(data, Bytes(4, 7));
}

TEST(ReadStatus, ShortReplyWithAStatusReturnsItAndCopiesNothing) {
  FakeUpsService service(replyWith(words({0x2000, 6, 0x1234})));
  START_OR_SKIP(service);
  Bytes data(4, kUntouched);
  uint32_t count = 99;
  EXPECT_EQ(UPSRead(0x2000, 6, 4, data.data(), &count), 0x1234u);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(data, Bytes(4, kUntouched));
}

TEST(ReadStatus, ReplyWithoutAHeaderIsNotASuccess) {
  // Byte-level cases; an empty reply is the simulator's "close" fault.
  const Bytes bodies[] = {words({0x2000, 6}), words({0x2000, 6, 0}),
                          concat({words({0x2000, 6, UPSERR_DATA_WITH_STATUS}), Bytes(3, 0)})};
  for (const Bytes& body : bodies) {
    FakeUpsService service(replyWith(body));
    START_OR_SKIP(service);
    Bytes data(4, kUntouched);
    uint32_t count = 99;
    EXPECT_EQ(UPSRead(0x2000, 6, 4, data.data(), &count), UPSERR_SYSTEM_BASE | EBADMSG)
        << body.size() << " reply bytes";
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(data, Bytes(4, kUntouched));
  }
}

TEST(WriteRecords, WriteSendsARequestRecordAndReturnsTheStatus) {
  FakeUpsService service(replyWith(words({0x2000, 17, 0x55, 0})));
  START_OR_SKIP(service);
  const Bytes payload = text("2027-01-01");
  uint32_t written = 99;
  EXPECT_EQ(UPSWrite(0x2000, 17, uint32_t(payload.size()), payload.data(), &written), 0x55u);
  EXPECT_EQ(service.lastEnvelope(),
            concat({words({12 + 26, 12, 12 + 26, 0x2000, 17, 0xFFFFFFFF, 10}), payload}));
  EXPECT_EQ(written, 0u);
}

TEST(WriteRecords, ShortOrEmptyWriteReplyMeansSuccess) {
  for (const Bytes& body : {Bytes{}, words({0x2000, 17})}) {
    FakeUpsService service(replyWith(body));
    START_OR_SKIP(service);
    const uint8_t payload[2] = {1, 2};
    uint32_t written = 99;
    EXPECT_EQ(UPSWrite(0x2000, 17, 2, payload, &written), UPS_OK);
    EXPECT_EQ(written, 0u);
    Bytes untouched(4, kUntouched);
    EXPECT_EQ(UPSReadWrite(0x2000, 17, 0, untouched.data(), 2, payload, &written), UPS_OK);
    EXPECT_EQ(untouched, Bytes(4, kUntouched)) << "a write-only call writes no read data";
  }
}

TEST(Parameters, FaultsAreRejectedBeforeAnythingIsSent) {
  FakeUpsService service(replyWith({}));
  START_OR_SKIP(service);
  uint8_t buffer[8] = {};
  uint32_t count = 99;
  EXPECT_EQ(UPSRead(0x2000, 1, 0, buffer, &count), UPSERR_INVALID_PARAM);
  EXPECT_EQ(count, 0u);
  count = 99;
  EXPECT_EQ(UPSRead(0x2000, 1, 4, nullptr, &count), UPSERR_INVALID_PARAM);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(UPSWrite(0x2000, 1, 0, buffer, &count), UPSERR_INVALID_PARAM);
  EXPECT_EQ(UPSWrite(0x2000, 1, 4, nullptr, &count), UPSERR_INVALID_PARAM);
  EXPECT_EQ(UPSReadWrite(0x2000, 1, 0, buffer, 0, buffer, &count), UPSERR_INVALID_PARAM);
  EXPECT_EQ(UPSReadWrite(0x2000, 1, 4, buffer, 4, nullptr, &count), UPSERR_INVALID_PARAM);
  // Lengths whose record would wrap 32 bits; the buffers are never read.
  EXPECT_EQ(UPSRead(0x2000, 1, 0xFFFFFFF0u, buffer, &count), UPSERR_INVALID_PARAM);
  EXPECT_EQ(UPSWrite(0x2000, 1, 0xFFFFFFF0u, buffer, &count), UPSERR_INVALID_PARAM);
  EXPECT_EQ(UPSReadWrite(0x2000, 1, 0x80000000u, buffer, 0x80000000u, buffer, &count),
            UPSERR_INVALID_PARAM);
  EXPECT_EQ(UPSRead(0x2000, 1, 4, buffer, nullptr), UPSERR_SYSTEM_BASE | EBADMSG)
      << "a null counter is allowed";
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(service.connections(), 1);
}

TEST(OpenClose, OpenLooksOnlyForASocketFile) {
  PathClaim claim;
  CLAIM_OR_SKIP(claim);
  EXPECT_EQ(UPSOpen(), UPSERR_SERVICE_MISSING) << "missing";
  std::ofstream(kServicePath) << "not a socket";
  EXPECT_EQ(UPSOpen(), UPSERR_SERVICE_MISSING) << "regular file";
  ::unlink(kServicePath);
  ASSERT_EQ(::mkdir(kServicePath, 0700), 0);
  EXPECT_EQ(UPSOpen(), UPSERR_SERVICE_MISSING) << "directory";
  ::rmdir(kServicePath);
  {
    DeadSocketFile dead;
    ASSERT_TRUE(dead.ok());
    EXPECT_EQ(UPSOpen(), UPS_OK) << "socket without listener";
    const std::string real = std::string(kServicePath) + ".real";
    ASSERT_EQ(::rename(kServicePath, real.c_str()), 0);
    ASSERT_EQ(::symlink(real.c_str(), kServicePath), 0);
    EXPECT_EQ(UPSOpen(), UPS_OK) << "symbolic link to a socket";
    ::unlink(real.c_str());
    EXPECT_EQ(UPSOpen(), UPSERR_SERVICE_MISSING) << "dangling symbolic link";
    ::unlink(kServicePath);
  }
  EXPECT_EQ(UPSClose(), UPS_OK);
  EXPECT_EQ(UPSClose(), UPS_OK);
}

TEST(Concurrency, SixteenThreadsEachGetTheirOwnAnswers) {
  // The service answers each read with its own index and offset as data.
  FakeUpsService service([](Peer& peer) {
    Bytes envelope = peer.readEnvelope();
    const uint32_t index = wordAt(envelope, 12), offset = wordAt(envelope, 16);
    peer.reply(accessReply(index, offset, 0, words({index, offset})));
  });
  START_OR_SKIP(service);
  const int kThreads = 16, kReads = 300;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < kReads; ++i) {
        uint32_t data[2] = {}, count = 0;
        const uint32_t index = 0x3000 + t, offset = uint32_t(i);
        if (UPSRead(index, offset, sizeof data, data, &count) != UPS_OK || count != 8 ||
            data[0] != index || data[1] != offset)
          ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(service.connections(), kThreads * kReads);
}
