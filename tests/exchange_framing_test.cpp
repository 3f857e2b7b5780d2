// The exchange's framing and socket handling on a socket pair: the
// envelope layout, the reply reads, and the failures of a broken peer.
#include "FakeUpsService.h"
#include "ZqUpsApi.h"
#include "ZqUpsInternal.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <memory>

using namespace upstest;
using zqups::Clock;

namespace {

// A connected pair: the library's end and the service's end.
struct Pair {
  int client = -1;
  int service = -1;
  Pair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
      client = fds[0];
      service = fds[1];
    }
  }
  ~Pair() {
    if (client >= 0) ::close(client);
    closeService();
  }
  void closeService() {
    if (service >= 0) ::close(service);
    service = -1;
  }
  void serve(const Bytes& bytes) {
    ASSERT_EQ(::send(service, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  }
  // Hands the client end over to the code under test, which closes it.
  int release() {
    int fd = client;
    client = -1;
    return fd;
  }
};

Bytes framed(const Bytes& body) { return concat({words({uint32_t(body.size())}), body}); }

// Connector for ioControlVia: the prepared client end of a Pair.
uint32_t pairConnector(void* context, zqups::Socket* socket) {
  socket->adopt(static_cast<Pair*>(context)->release());
  return UPS_OK;
}

uint32_t refusingConnector(void*, zqups::Socket*) { return UPSERR_SERVICE_REFUSED; }

// The client end of `pair` as a call's socket with `budget` to spend.
std::unique_ptr<zqups::Socket> clientEnd(Pair& pair, Clock::duration budget = zqups::kCallBudget) {
  std::unique_ptr<zqups::Socket> socket(new zqups::Socket(zqups::Deadline(budget)));
  socket->adopt(pair.release());
  return socket;
}

uint32_t receive(Pair& pair, Bytes& area, uint32_t* received) {
  return zqups::receiveReply(*clientEnd(pair), area.data(), uint32_t(area.size()), received);
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

TEST(EnvelopeFraming, SizeRejectsEnvelopesBeyond32Bits) {
  uint32_t total = 0;
  EXPECT_EQ(zqups::envelopeSize(0, 528, &total), UPS_OK);
  EXPECT_EQ(total, 540u);
  EXPECT_EQ(zqups::envelopeSize(0xFFFFFFF4u, 0, &total), UPSERR_INVALID_PARAM);
  EXPECT_EQ(zqups::envelopeSize(0x80000000u, 0x7FFFFFF4u, &total), UPSERR_INVALID_PARAM);
  EXPECT_EQ(zqups::envelopeSize(0xFFFFFFF0u, 3, &total), UPS_OK);
  EXPECT_EQ(total, 0xFFFFFFFFu);
}

TEST(EnvelopeFraming, LaysOutHeaderInputAndOutputWithoutGaps) {
  const Bytes in = {1, 2, 3, 4, 5};
  const Bytes out = {9, 8, 7};
  Bytes envelope(20, 0xEE);
  zqups::buildEnvelope(envelope.data(), 20, in.data(), 5, out.data(), 3);
  EXPECT_EQ(envelope, concat({words({20, 12, 17}), in, out}));
}

TEST(ReplyFraming, ReadsLengthAndBodyIntoTheArea) {
  Pair pair;
  Bytes body(700);
  for (size_t i = 0; i < body.size(); ++i) body[i] = uint8_t(i * 7);
  pair.serve(framed(body));
  Bytes area(700);
  uint32_t received = 0;
  EXPECT_EQ(receive(pair, area, &received), UPS_OK);
  EXPECT_EQ(received, 700u);
  EXPECT_EQ(area, body);
}

TEST(ReplyFraming, CompletesALengthThatArrivesInPieces) {
  Pair pair;
  Bytes reply = framed({0xAB, 0xCD});
  std::thread slow([&] {
    for (uint8_t b : reply) {
      ::send(pair.service, &b, 1, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  Bytes area(16);
  uint32_t received = 0;
  EXPECT_EQ(receive(pair, area, &received), UPS_OK);
  slow.join();
  EXPECT_EQ(received, 2u);
  EXPECT_EQ(area[0], 0xAB);
  EXPECT_EQ(area[1], 0xCD);
}

TEST(ReplyFraming, ClosingWithoutAnAnswerIsAnEmptyReply) {
  Pair pair;
  pair.closeService();
  Bytes area(16);
  uint32_t received = 99;
  EXPECT_EQ(receive(pair, area, &received), UPS_OK);
  EXPECT_EQ(received, 0u);
}

TEST(ReplyFraming, CutShortReplyIsConnectionReset) {
  const Bytes cuts[] = {{0x10}, {0x10, 0, 0}, concat({words({16}), Bytes(15, 1)})};
  for (const Bytes& cut : cuts) {
    Pair pair;
    pair.serve(cut);
    pair.closeService();
    Bytes area(16);
    uint32_t received = 99;
    EXPECT_EQ(receive(pair, area, &received), UPSERR_SYSTEM_BASE | ECONNRESET)
        << cut.size() << " bytes";
    EXPECT_EQ(received, 99u);
  }
}

TEST(ReplyFraming, OversizedLengthIsRefusedWithoutReadingOn) {
  Pair pair;
  pair.serve(framed(Bytes(17, 0x55)));
  Bytes area(16 + 8, 0xEE);  // 16 usable, 8 guard bytes
  uint32_t received = 99;
  EXPECT_EQ(zqups::receiveReply(*clientEnd(pair), area.data(), 16, &received),
            UPSERR_SYSTEM_BASE | EMSGSIZE);
  EXPECT_EQ(Bytes(area.begin() + 16, area.end()), Bytes(8, 0xEE));
  EXPECT_EQ(received, 99u);
}

TEST(Deadline, SpentBudgetIsTimedOutWhateverTheStepHasDone) {
  const auto budget = std::chrono::milliseconds(150);
  // Silence, half a length word, a reply cut off in its body, and a send
  // that the peer takes only partly.
  const Bytes sent[] = {{}, {4, 0}, concat({words({100}), Bytes(30, 1)})};
  for (const Bytes& bytes : sent) {
    Pair pair;
    pair.serve(bytes);
    Bytes area(100);
    uint32_t received = 0;
    const auto start = Clock::now();
    EXPECT_EQ(zqups::receiveReply(*clientEnd(pair, budget), area.data(), 100, &received),
              UPSERR_SYSTEM_BASE | ETIMEDOUT)
        << bytes.size() << " bytes";
    EXPECT_GT(secondsSince(start), 0.1);
    EXPECT_LT(secondsSince(start), 0.5);
  }
  Pair pair;
  const Bytes envelope(4 << 20, 1);
  const auto start = Clock::now();
  EXPECT_EQ(zqups::sendAll(*clientEnd(pair, budget), envelope.data(), envelope.size()),
            UPSERR_SYSTEM_BASE | ETIMEDOUT);
  EXPECT_LT(secondsSince(start), 0.5);
}

TEST(SendFraming, WriteToAClosedPeerIsBrokenPipeNotASignal) {
  Pair pair;
  pair.closeService();
  const Bytes envelope(64, 1);
  // SIGPIPE has its default action here: a raised signal would end the test.
  EXPECT_EQ(zqups::sendAll(*clientEnd(pair), envelope.data(), envelope.size()),
            UPSERR_SYSTEM_BASE | EPIPE);
}

TEST(SendFraming, LargeEnvelopeIsSentWhole) {
  Pair pair;
  Bytes envelope(1 << 20);
  for (size_t i = 0; i < envelope.size(); ++i) envelope[i] = uint8_t(i % 251);
  Bytes got;
  std::thread reader([&] {
    uint8_t chunk[65536];
    ssize_t n;
    while (got.size() < envelope.size() && (n = ::recv(pair.service, chunk, sizeof chunk, 0)) > 0)
      got.insert(got.end(), chunk, chunk + n);
  });
  EXPECT_EQ(zqups::sendAll(*clientEnd(pair), envelope.data(), envelope.size()), UPS_OK);
  reader.join();
  EXPECT_EQ(got, envelope);
}

TEST(IoControlVia, WriteOnlyCopyBackIsBoundedByTheInputLength) {
  for (uint32_t inLength : {4u, 15u, 16u, 20u}) {
    Pair pair;
    pair.serve(framed({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    Bytes in(inLength + 8, 0xEE);
    uint32_t returned = 0;
    EXPECT_EQ(zqups::ioControlVia(pairConnector, &pair, in.data(), inLength, nullptr, 0, &returned),
              UPS_OK);
    EXPECT_EQ(returned, 10u);
    Bytes reply = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 0, 0, 0, 0, 0};
    const uint32_t copied = std::min(inLength, 16u);
    EXPECT_TRUE(std::equal(in.begin(), in.begin() + copied, reply.begin())) << inLength;
    EXPECT_EQ(Bytes(in.begin() + copied, in.end()), Bytes(in.size() - copied, 0xEE)) << inLength;
  }
}

TEST(IoControlVia, FailureLeavesCountAndInputUntouched) {
  Pair pair;
  pair.serve({0x10, 0});
  ::shutdown(pair.service, SHUT_WR);
  Bytes in(20, 0x33);
  unsigned int returned = 77;
  EXPECT_EQ(zqups::ioControlVia(pairConnector, &pair, in.data(), 20, nullptr, 0, &returned),
            UPSERR_SYSTEM_BASE | ECONNRESET);
  EXPECT_EQ(returned, 77u);
  EXPECT_EQ(in, Bytes(20, 0x33));
}

TEST(IoControlVia, ClosesTheSocketOnEveryPath) {
  const int before = openDescriptorCount();
  {
    Pair ok;
    ok.serve(framed({}));
    Bytes out(16);
    uint32_t returned;
    EXPECT_EQ(zqups::ioControlVia(pairConnector, &ok, nullptr, 0, out.data(), 16, &returned),
              UPS_OK);
    Pair cut;
    cut.serve({1});
    cut.closeService();
    EXPECT_NE(zqups::ioControlVia(pairConnector, &cut, nullptr, 0, out.data(), 16, &returned),
              UPS_OK);
    EXPECT_EQ(zqups::ioControlVia(refusingConnector, nullptr, nullptr, 0, out.data(), 16, &returned),
              UPSERR_SERVICE_REFUSED);
  }
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST(ServiceSocket, IsCloseOnExecWithItsWaitsBoundedByTheBudget) {
  FakeUpsService service([](Peer& peer) { peer.stall(); });
  START_OR_SKIP(service);
  zqups::Socket socket{zqups::Deadline()};
  ASSERT_EQ(zqups::connectService(nullptr, &socket), UPS_OK);
  EXPECT_NE(::fcntl(socket.fd(), F_GETFD) & FD_CLOEXEC, 0);
  if (!zqups::kWaitInSocketCalls) return;  // steps wait in poll() instead
  for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
    timeval limit{};
    socklen_t size = sizeof limit;
    ASSERT_EQ(::getsockopt(socket.fd(), SOL_SOCKET, option, &limit, &size), 0);
    EXPECT_LE(limit.tv_sec, zqups::kCallBudget.count());
    EXPECT_GE(limit.tv_sec, zqups::kCallBudget.count() - 1);
  }
}
