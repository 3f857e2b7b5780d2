// The built tool run against a scripted UPS service: its report byte for
// byte and line by line, the number formats, the storage that rows share,
// the failure lines, and a stress run.
#include "FakeUpsService.h"
#include "ReportRows.h"
#include "RunProgram.h"
#include "ZqUpsApi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>

using namespace upstest;

namespace {

const char kTool[] = ZQUPSTEST_PATH;
const uint32_t kUnknownPoint = 0xECA6FFFF;

using Device = std::map<uint32_t, Answer>;  // by offset
using Overrides = std::map<int, Answer>;    // by read number over the run, from 1

Bytes raw(const char* s) { return Bytes(s, s + std::strlen(s)); }

Device device(const std::map<uint32_t, Bytes>& changes = {}) {
  Device d = {
      {0x01, {0, textBytes("Volt Works")}},   {0x02, {0, textBytes("VW-1500")}},
      {0x15, {0, textBytes("SN0042")}},       {0x16, {0, textBytes("2.4.1")}},
      {0x36, {0, textBytes("BAT-77")}},       {0x03, {0, textBytes("2024-03-15")}},
      {0x04, {0, textBytes("UPS;LCD;USB")}},  {0x07, {0, textBytes("(c) Volt Works")}},
      {0x11, {0, textBytes("2028-03-15")}},   {0x06, {0, bytesOf(230.5f)}},
      {0x35, {0, bytesOf(25.0f)}},            {0x31, {0, {1, 2, 3, 0}}},
      {0x19, {0, bytesOf(37.5f)}},            {0x1a, {0, bytesOf<int32_t>(42)}},
      {0x1b, {0, bytesOf(31.7f)}},            {0x1f, {0, bytesOf(1.25f)}},
      {0x37, {0, bytesOf(0.5f)}},             {0x32, {0, bytesOf<int32_t>(9000)}},
  };
  for (const auto& change : changes) d[change.first].data = change.second;
  return d;
}

// The device's values for the report's rows, in order.
const char* const kValues[] = {
    "Volt Works", "VW-1500",     "SN0042", "2.4.1", "BAT-77", "2024-03-15",
    "UPS;LCD;USB", "(c) Volt Works", "2028-03-15", "230.50", "25.0", "1.2.3",
    "37.5",       "42",          "31.7",   "1.25",  "0.50",   "9000",
};

// The first `rows` lines of the report, with rows (from 1) replaced.
std::string lines(int rows, const std::map<int, std::string>& changed = {}) {
  std::string out;
  for (int row = 1; row <= rows; ++row) {
    auto line = changed.find(row);
    out += line != changed.end() ? line->second + "\n"
                                 : reportLine(kReportRows[row - 1], kValues[row - 1]);
  }
  return out;
}

std::string report(const std::map<int, std::string>& changed = {}) {
  return lines(18, changed) + "ZqUpsTest: OK\n";
}

std::string readFailure(const char* offset, const char* error) {
  return std::string("UPSRead failed: Idx:0x2000 Offset:") + offset + " Error:" + error + "\n";
}

FakeUpsService::Handler serve(Device points, Overrides overrides = {}) {
  auto reads = std::make_shared<std::atomic<int>>(0);
  return [points, overrides, reads](Peer& peer) {
    const Bytes envelope = peer.readEnvelope();
    const uint32_t offset = wordAt(envelope, 16);
    auto byRead = overrides.find(++*reads);
    auto byOffset = points.find(offset);
    const Answer answer = byRead != overrides.end()      ? byRead->second
                          : byOffset != points.end()     ? byOffset->second
                                                         : Answer{kUnknownPoint, {}};
    peer.reply(accessReply(wordAt(envelope, 12), offset, answer.status, answer.data));
  };
}

ProgramRun runTool(std::vector<std::string> args = {}) {
  args.insert(args.begin(), "ZqUpsTest");
  return runProgram(kTool, args);
}

void expectRun(const ProgramRun& run, const std::string& out, int status) {
  ASSERT_TRUE(run.started) << run.error;
  EXPECT_EQ(run.out, out);
  EXPECT_EQ(run.err, "") << "nothing goes to standard error";
  EXPECT_TRUE(run.exited) << "ended by signal " << run.signal;
  EXPECT_EQ(run.exitStatus, status);
}

}  // namespace

TEST(Report, ReadsEveryRowInOrderAndPrintsItsLine) {
  FakeUpsService service(serve(device()));
  START_OR_SKIP(service);
  expectRun(runTool(), report(), 0);
  service.waitIdle();
  const std::vector<Bytes> envelopes = service.envelopes();
  ASSERT_EQ(envelopes.size(), 18u);
  for (size_t row = 0; row < 18; ++row) {
    EXPECT_EQ(envelopes[row], readRequest(kReportRows[row].offset, kReportRows[row].length))
        << "row " << row + 1;
  }
}

// Each line leaves the tool as it is printed, even into a pipe: the
// service holds row 2's answer until row 1's line has come out (or 5 s).
TEST(Report, EachLineIsOutBeforeTheNextRowIsRead) {
  struct Gate {
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    std::atomic<int> reads{0};
  };
  auto gate = std::make_shared<Gate>();
  const FakeUpsService::Handler answer = serve(device());
  FakeUpsService service([gate, answer](Peer& peer) {
    if (++gate->reads == 2) {
      std::unique_lock<std::mutex> lock(gate->mutex);
      gate->opened.wait_for(lock, std::chrono::seconds(5), [&] { return gate->open; });
    }
    answer(peer);
  });
  START_OR_SKIP(service);
  BackgroundProgram tool;
  ASSERT_TRUE(tool.start(kTool, {"ZqUpsTest"})) << tool.error();
  std::string first;
  EXPECT_TRUE(tool.readLine(&first, 4)) << "row 1's line stayed in the tool's buffer";
  {
    std::lock_guard<std::mutex> lock(gate->mutex);
    gate->open = true;
  }
  gate->opened.notify_all();
  const ProgramRun run = tool.stop(0);
  EXPECT_EQ(first, lines(1));
  EXPECT_EQ(run.out, report());
  EXPECT_EQ(run.exitStatus, 0);
}

TEST(Report, NumberFormatsHoldWhateverTheRowBefore) {
  FakeUpsService service(serve(device({
      {0x06, bytesOf(12345678.0f)},      {0x35, bytesOf(-12.5f)},
      {0x31, {0x41, 0x0A, 0x39, 0x30}}, {0x19, bytesOf(99.96f)},
      {0x1a, bytesOf<int32_t>(-1)},      {0x1b, bytesOf(0.04f)},
      {0x1f, bytesOf(0.004f)},           {0x37, bytesOf(-0.75f)},
      {0x32, bytesOf<int32_t>(INT32_MIN)},
  })));
  START_OR_SKIP(service);
  expectRun(runTool(),
            report({{10, "Input line voltage: 12345678.00 V"},
                    {11, "Battery temperature: -12.5 \xC2\xB0" "C"},
                    {12, "Battery hardware version: 65.10.12345"},
                    {13, "Battery load level: 100.0 %"},
                    {14, "Estimated runtime: -1 Minutes"},
                    {15, "Internal temperature: 0.0 \xC2\xB0" "C"},
                    {16, "Charging current: 0.00 A"},
                    {17, "Discharging current: -0.75 A"},
                    {18, "Battery rated capacity: -2147483648 mAh"}}),
            0);
}

TEST(Storage, ShorterRepliesLeaveThePreviousRowsBytesBehind) {
  FakeUpsService service(serve(device({
      {0x01, textBytes("LONG VENDOR NAME")}, {0x02, raw("ABC")}, {0x15, {}},
      {0x06, bytesOf(230.5f)},          {0x35, {0, 0}},      {0x31, {7, 8}},
      {0x1a, bytesOf<int32_t>(0x01020304)}, {0x32, {0xFF}},
  })));
  START_OR_SKIP(service);
  expectRun(runTool(),
            report({{1, "Vendor: LONG VENDOR NAME"},
                    {2, "Model: ABCG VENDOR NAME"},
                    {3, "Serial number: ABCG VENDOR NAME"},
                    {11, "Battery temperature: 230.0 \xC2\xB0" "C"},
                    {12, "Battery hardware version: 7.8.14386"},  // build: "28" of row 9
                    {14, "Estimated runtime: 16909060 Minutes"},
                    {18, "Battery rated capacity: 16909311 mAh"}}),
            0);
}

TEST(Storage, TextFillingTheBufferWithoutNulPrintsExactlyTheBuffer) {
  FakeUpsService service(serve(device({{0x01, Bytes(512, 'x')}, {0x02, raw("y")}})));
  START_OR_SKIP(service);
  expectRun(runTool(),
            report({{1, "Vendor: " + std::string(512, 'x')},
                    {2, "Model: y" + std::string(511, 'x')}}),
            0);
}

TEST(Failure, MissingServiceFailsUPSOpen) {
  PathClaim claim;
  CLAIM_OR_SKIP(claim);
  expectRun(runTool(), "UPSOpen failed: 0xeca60201\n", 1);
  std::ofstream(kServicePath) << "not a socket";
  expectRun(runTool(), "UPSOpen failed: 0xeca60201\n", 1);
}

TEST(Failure, RefusedConnectionFailsTheFirstRead) {
  PathClaim claim;
  CLAIM_OR_SKIP(claim);
  DeadSocketFile socketFile;
  ASSERT_TRUE(socketFile.ok());
  expectRun(runTool(), readFailure("0x1", "0xeca60200"), 1);
}

TEST(Failure, ServiceStatusEndsTheReportAtItsRow) {
  struct Case {
    int read;
    uint32_t status;
    const char* line;
  };
  const Case cases[] = {{11, 0xECA60301, "UPSRead failed: Idx:0x2000 Offset:0x35 Error:0xeca60301"},
                        {18, 0x5, "UPSRead failed: Idx:0x2000 Offset:0x32 Error:0x5"},
                        {3, UPSERR_DATA_WITH_STATUS,
                         "UPSRead failed: Idx:0x2000 Offset:0x15 Error:0xeca60102"}};
  for (const Case& c : cases) {
    FakeUpsService service(serve(device(), {{c.read, {c.status, raw("SEEN")}}}));
    START_OR_SKIP(service);
    expectRun(runTool(), lines(c.read - 1) + c.line + "\n", 1);
    service.waitIdle();
    EXPECT_EQ(service.connections(), c.read) << "no row is read after the failure";
  }
}

TEST(Failure, ReportThatCannotBeWrittenFails) {
  FakeUpsService service(serve(device()));
  START_OR_SKIP(service);
  ProgramOptions options;
  options.unwritableOut = "/dev/null";
  expectRun(runProgram(kTool, {"ZqUpsTest"}, options), "", 1);
}

TEST(Stress, StopsAtTheFirstFailureAndClearsStorageForEachReport) {
  // Read 19 is the second report's vendor: a text without NUL that would
  // show the first report's leftovers after it.
  FakeUpsService service(
      serve(device(), {{19, {0, raw("AB")}}, {37, {0xECA60301, {}}}}));
  START_OR_SKIP(service);
  expectRun(runTool({"-s"}),
            report() + report({{1, "Vendor: AB"}}) + readFailure("0x1", "0xeca60301"), 1);
  service.waitIdle();
  EXPECT_EQ(service.connections(), 37);
}
