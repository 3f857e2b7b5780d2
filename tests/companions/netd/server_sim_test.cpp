// The built ZqUpsNetd in front of the built simulator: logins and writes
// through the service, the clients it makes room from, a hung or stopped
// service, clients that do not read, guessers, and few descriptors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "NetdSupport.h"
#include "RunProgram.h"
#include "SimProcess.h"
#include "Users.h"

namespace zqnetd {
namespace {

const char kNetd[] = ZQUPSNETD_PATH;
const char kSim[] = ZQUPSSIM_PATH;

using Client = upstest::LineClient;
using upstest::Netd;
using upstest::slowHash;
using upstest::underValgrind;
using upstest::waitForReply;

class ServerWithSim : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sim.start({})) << sim.why(); }
  // Polling every 200 ms, alice (password pw) may monitor and set;
  // `more` adds lines to the users file.
  bool startWithAlice(std::vector<std::string> args, const std::string& more = "") {
    char folder[] = "/tmp/netd_server_sim_test.XXXXXX";
    if (::mkdtemp(folder) == nullptr) return false;
    const std::string users = std::string(folder) + "/users";
    std::string error;
    std::ofstream(users) << "alice:" << hashPassword("pw", &error) << ":monitor,set\n" << more;
    ::chmod(users.c_str(), 0600);
    args.insert(args.end(), {"--users", users, "--poll-interval", "200ms"});
    const bool started = netd.start(args);
    ::unlink(users.c_str());
    ::rmdir(folder);
    return started;
  }
  upstest::SimProcess sim{kSim};
  Netd netd{kNetd};
};

TEST_F(ServerWithSim, ServesLoginsAndWritesThroughTheService) {
  ASSERT_TRUE(startWithAlice({"--max-connections", "2"}));
  Client client("127.0.0.1", netd.port);
  ASSERT_TRUE(waitForReply(client, "GET VAR ups ups.status", "VAR ups ups.status \"OL CHRG\"\n"));
  client.send("LIST VAR ups\n");
  const std::string list = client.until("END LIST VAR ups\n");
  EXPECT_NE(list.find("\nVAR ups input.voltage \"230\"\n"), std::string::npos) << list;
  EXPECT_NE(list.find("\nVAR ups ups.model \"ZQ-R3000 RM 2U\"\n"), std::string::npos);

  EXPECT_EQ(client.ask("USERNAME alice"), "OK\n");
  EXPECT_EQ(client.ask("PASSWORD pw"), "OK\n");
  EXPECT_EQ(client.ask("LOGIN ups"), "OK\n");
  EXPECT_EQ(client.ask("GET NUMLOGINS ups"), "NUMLOGINS ups 1\n");
  client.send("LIST CLIENT ups\n");
  EXPECT_EQ(client.until("END LIST CLIENT ups\n"),
            "BEGIN LIST CLIENT ups\nCLIENT ups 127.0.0.1\nEND LIST CLIENT ups\n");
  EXPECT_EQ(client.ask("SET VAR ups battery.date 2031-02-03"), "OK\n");
  // No reading in flight undoes it: the next one begins after the write.
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(client.ask("GET VAR ups battery.date"), "VAR ups battery.date \"2031-02-03\"\n");
    ::usleep(50 * 1000);
  }

  Client wrong("127.0.0.1", netd.port);
  EXPECT_EQ(wrong.ask("USERNAME alice"), "OK\n");
  EXPECT_EQ(wrong.ask("PASSWORD pW"), "OK\n");
  EXPECT_EQ(wrong.ask("LOGIN ups"), "ERR ACCESS-DENIED\n");
  // At the cap the client idle longest makes room, unless it signed in.
  Client newcomer("127.0.0.1", netd.port);
  EXPECT_EQ(newcomer.ask("NETVER"), "1.3\n");
  EXPECT_TRUE(wrong.closedWithin(1000));
  EXPECT_EQ(client.ask("LOGOUT"), "OK Goodbye\n");
  EXPECT_TRUE(client.closedWithin(5000));
  EXPECT_EQ(newcomer.ask("GET NUMLOGINS ups"), "NUMLOGINS ups 0\n");

  // A stop with a client logged in leaves cleanly.
  Client stays("127.0.0.1", netd.port);
  for (const char* request : {"USERNAME alice", "PASSWORD pw", "LOGIN ups"})
    EXPECT_EQ(stays.ask(request), "OK\n") << request;
  const upstest::ProgramRun run = netd.stop();
  EXPECT_TRUE(run.exited && run.exitStatus == 0) << run.err;
}

// With --journal the journal's figures are listed beside the UPS's
// values, and an FSD that a primary sets is recorded.
TEST_F(ServerWithSim, ListsTheJournalsFiguresAndRecordsFsd) {
  char folder[] = "/tmp/netd_server_sim_test.XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const std::string journal = std::string(folder) + "/power.journal";
  std::ofstream(journal) << "#zqups-power-journal 1\n"
                             "2023-11-14T22:13:20Z on-battery reason=\"line voltage 0 V, below 100 V\"\n"
                             "2023-11-14T22:14:50Z on-mains\n";
  std::string error;
  ASSERT_TRUE(startWithAlice({"--journal", journal},
                             "carol:" + hashPassword("pw", &error) + ":primary\n"));
  Client client("127.0.0.1", netd.port);
  ASSERT_TRUE(waitForReply(client, "GET VAR ups experimental.transfer.count",
                           "VAR ups experimental.transfer.count \"1\"\n"));
  client.send("LIST VAR ups\n");
  const std::string list = client.until("END LIST VAR ups\n");
  for (const char* line : {"VAR ups experimental.battery.time.total \"90\"",
                           "VAR ups experimental.transfer.last \"2023-11-14T22:13:20Z\"",
                           "VAR ups input.transfer.reason \"line voltage 0 V, below 100 V\""})
    EXPECT_NE(list.find(std::string("\n") + line + "\n"), std::string::npos) << list;
  for (const char* request : {"USERNAME carol", "PASSWORD pw", "LOGIN ups"})
    EXPECT_EQ(client.ask(request), "OK\n") << request;
  EXPECT_EQ(client.ask("FSD ups"), "OK FSD-SET\n");
  EXPECT_EQ(netd.stop().exitStatus, 0);
  std::ifstream in(journal);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find(" fsd reason=\"set by carol from 127.0.0.1\"\n"), std::string::npos) << text;
  for (const char* end : {"", ".lock", ".watch"}) ::unlink((journal + end).c_str());
  ::rmdir(folder);
}

// At the cap, the client that makes room is never one whose password
// check is in flight, however idle, nor one signed in.
TEST_F(ServerWithSim, RoomIsNeverMadeFromALoginInFlight) {
  ASSERT_TRUE(startWithAlice({"--max-per-address", "3"}, "bob:" + slowHash("pw") + ":monitor\n"));
  Client alice("127.0.0.1", netd.port), bob("127.0.0.1", netd.port), chatty("127.0.0.1", netd.port);
  for (const char* request : {"USERNAME alice", "PASSWORD pw", "LOGIN ups"})
    ASSERT_EQ(alice.ask(request), "OK\n") << request;
  bob.send("USERNAME bob\nPASSWORD pw\nLOGIN ups\n");
  EXPECT_EQ(bob.line() + bob.line(), "OK\nOK\n");
  EXPECT_EQ(chatty.ask("NETVER"), "1.3\n");
  Client newcomer("127.0.0.1", netd.port);
  EXPECT_EQ(newcomer.ask("NETVER"), "1.3\n");
  EXPECT_TRUE(chatty.closedWithin(1000));
  EXPECT_EQ(bob.line(), "OK\n");
  for (const char* request : {"USERNAME alice", "PASSWORD pw", "LOGIN ups"})
    ASSERT_EQ(newcomer.ask(request), "OK\n") << request;
  Client refused("127.0.0.1", netd.port);
  EXPECT_EQ(refused.line(), "ERR ACCESS-DENIED too many connections\n");
  EXPECT_EQ(bob.ask("GET NUMLOGINS ups"), "NUMLOGINS ups 3\n");
}

// Writes queued while the service is stopped, so that it answers nothing,
// are answered as failed within 4 s, though each of their exchanges may
// take 7.5 s, and the service does not perform them once it wakes; nor
// one whose client has gone.
TEST_F(ServerWithSim, AWriteAnsweredFailedIsNeverPerformedLater) {
  ASSERT_TRUE(startWithAlice({}));
  Client first("127.0.0.1", netd.port), second("127.0.0.1", netd.port);
  auto gone = std::make_unique<Client>("127.0.0.1", netd.port);
  for (Client* client : {&first, &second, gone.get()})
    for (const char* request : {"USERNAME alice", "PASSWORD pw", "LOGIN ups"})
      ASSERT_EQ(client->ask(request), "OK\n") << request;
  const std::string unchanged = "VAR ups battery.date \"2028-07-01\"\n";
  ASSERT_TRUE(waitForReply(first, "GET VAR ups battery.date", unchanged));
  ASSERT_EQ(::kill(sim.pid(), SIGSTOP), 0);
  ::usleep(100 * 1000);  // for its last answers to arrive
  const auto asked = std::chrono::steady_clock::now();
  first.send("SET VAR ups battery.date 2031-01-01\n");
  second.send("SET VAR ups battery.date 2032-02-02\n");
  gone->send("SET VAR ups battery.date 2033-03-03\n");
  gone.reset();
  EXPECT_EQ(first.line(30000), "ERR SET-FAILED\n");
  EXPECT_EQ(second.line(30000), "ERR SET-FAILED\n");
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(4500));
  ASSERT_EQ(::kill(sim.pid(), SIGCONT), 0);
  ASSERT_TRUE(waitForReply(first, "GET VAR ups ups.status", "VAR ups ups.status \"OL CHRG\"\n"));
  ::usleep(600 * 1000);  // readings enough for a late write to show
  EXPECT_EQ(first.ask("GET VAR ups battery.date"), unchanged);
  const upstest::ProgramRun run = netd.stop();
  // The second's line is counted with the first's.
  const std::string head = "ZqUpsNetd: write of battery.date not sent for 127.0.0.1: ";
  for (const char* why : {"no answer from the service in 4s, answered as failed",
                          "the client has gone"})
    EXPECT_NE(run.err.find(head + why + "\n"), std::string::npos) << run.err;
}

TEST_F(ServerWithSim, DropsAClientThatDoesNotRead) {
  ASSERT_TRUE(netd.start({"--poll-interval", "200ms"}));
  Client reader("127.0.0.1", netd.port);
  ASSERT_TRUE(waitForReply(reader, "GET VAR ups device.type", "VAR ups device.type \"ups\"\n"));
  Client hog("127.0.0.1", netd.port, 4096);
  ::fcntl(hog.fd(), F_SETFL, O_NONBLOCK);
  std::string requests;
  for (int i = 0; i < 100; ++i) requests += "LIST VAR ups\n";
  // Requests go out until the server drops the client; each asks for
  // about 1.5 KiB that is never read.
  bool dropped = false;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!dropped && std::chrono::steady_clock::now() < until) {
    const ssize_t sent = ::send(hog.fd(), requests.data(), requests.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) dropped = true;
    if (sent < 0 && !dropped) {
      pollfd ready{hog.fd(), POLLOUT, 0};
      ::poll(&ready, 1, 100);
      dropped = (ready.revents & (POLLERR | POLLHUP)) != 0;
    }
  }
  EXPECT_TRUE(dropped);
  EXPECT_EQ(reader.ask("NETVER"), "1.3\n");

  // Clients that go while their replies are being written (a reset, with
  // them unread) leave the server serving.
  std::string lists;
  for (int i = 0; i < 40; ++i) lists += "LIST VAR ups\n";
  for (int i = 0; i < 20; ++i) {
    Client quitter("127.0.0.1", netd.port, 4096);
    ASSERT_TRUE(quitter.send(lists));
    ::usleep(i * 1000);
  }
  EXPECT_EQ(reader.ask("NETVER"), "1.3\n");

  // One that reads late, within the bound, gets every reply whole.
  Client late("127.0.0.1", netd.port, 4096);
  ASSERT_TRUE(late.send(lists));
  ::usleep(300 * 1000);
  for (int i = 0; i < 40; ++i) {
    const std::string list = late.until("END LIST VAR ups\n");
    ASSERT_EQ(list.rfind("BEGIN LIST VAR ups\nVAR ups ", 0), 0u) << i << ": " << list;
    ASSERT_EQ(list.substr(list.size() - 17), "END LIST VAR ups\n") << i << ": " << list;
  }
  EXPECT_EQ(late.ask("NETVER"), "1.3\n");
}

TEST_F(ServerWithSim, HungServiceLeavesClientsAnsweredAndDataStale) {
  ASSERT_TRUE(netd.start({"--poll-interval", "200ms", "--stale-after", "1s"}));
  Client client("127.0.0.1", netd.port);
  ASSERT_TRUE(waitForReply(client, "GET VAR ups ups.status", "VAR ups ups.status \"OL CHRG\"\n"));
  ASSERT_EQ(::kill(sim.pid(), SIGSTOP), 0);

  const auto bound = std::chrono::milliseconds(underValgrind() ? 200 : 10);
  std::chrono::steady_clock::duration slowest{};
  bool stale = false;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < until) {
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(client.ask("VER").rfind("ZqUpsNetd ", 0), 0u);
    slowest = std::max(slowest, std::chrono::steady_clock::now() - asked);
    stale = stale || client.ask("GET VAR ups ups.status") == "ERR DATA-STALE\n";
    ::usleep(20 * 1000);
  }
  EXPECT_LT(slowest, bound);
  EXPECT_TRUE(stale);
  ::kill(sim.pid(), SIGCONT);
  EXPECT_TRUE(waitForReply(client, "GET VAR ups ups.status", "VAR ups ups.status \"OL CHRG\"\n"));

  // A reading in flight does not hold the stop up.
  ASSERT_EQ(::kill(sim.pid(), SIGSTOP), 0);
  ::usleep(300 * 1000);
  const auto stopping = std::chrono::steady_clock::now();
  const upstest::ProgramRun run = netd.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(1));
  EXPECT_TRUE(run.exited && run.exitStatus == 0) << run.err;
  ::kill(sim.pid(), SIGCONT);
  // Each change said once.
  const auto count = [&](const std::string& text) {
    size_t found = 0;
    for (size_t at = 0; (at = run.err.find("ZqUpsNetd: " + text, at)) != std::string::npos; ++at)
      ++found;
    return found;
  };
  // A service that answers within the library's bound is slow, not lost.
  EXPECT_EQ(count("data fresh\n"), 2u) << run.err;
  EXPECT_EQ(count("UPS service lost: "), 0u);
  EXPECT_EQ(count("data stale"), 1u);
}

// Whether clients may connect from 127.0.0.2 and on (Linux lets them).
bool loopbackAliases() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool ok = fd >= 0 && upstest::bindTo(fd, "127.0.0.2");
  if (fd >= 0) ::close(fd);
  return ok;
}

TEST_F(ServerWithSim, GuessersDoNotHoldACorrectLoginUp) {
  if (!loopbackAliases()) GTEST_SKIP() << "no 127.0.0.2 to guess from";
  ASSERT_TRUE(startWithAlice({}));
  const auto login = [&](const std::string& from) {
    const auto start = std::chrono::steady_clock::now();
    Client client("127.0.0.1", netd.port, 0, from);
    client.send("USERNAME alice\nPASSWORD pw\nLOGIN ups\n");
    std::string replies;
    for (int i = 0; i < 3; ++i) replies += client.line();
    EXPECT_EQ(replies, "OK\nOK\nOK\n") << from;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start).count();
  };
  // From now on alice is known at 127.0.0.2.
  const auto bound = 4 * login("127.0.0.2") + 250;

  std::atomic<bool> done{false};
  std::vector<std::thread> guessers;
  for (int address = 2; address < 10; ++address)
    // Fewer from alice's address, below its cap.
    guessers.emplace_back([&, address, from = "127.0.0." + std::to_string(address)] {
      while (!done) {
        std::vector<std::unique_ptr<Client>> tries;
        for (int i = 0; i < (address == 2 ? 1 : 8); ++i) {
          tries.push_back(std::make_unique<Client>("127.0.0.1", netd.port, 0, from));
          tries.back()->send("USERNAME root\nPASSWORD guess\nLOGIN ups\n");
        }
        ::usleep(200 * 1000);
      }
    });
  ::sleep(1);
  EXPECT_LT(login("127.0.0.1"), bound);  // an address new to the server
  EXPECT_LT(login("127.0.0.2"), bound);  // among guessers, a user known there
  done = true;
  for (std::thread& guesser : guessers) guesser.join();
  const upstest::ProgramRun run = netd.stop();
  // Under a flood, at most a line and a count for each address (how many
  // checks each address got depends on the machine's speed).
  for (int address = 2; address < 10; ++address) {
    const std::string from = "failed login from 127.0.0." + std::to_string(address) + " ";
    size_t lines = 0;
    for (size_t at = 0; (at = run.err.find(from, at)) != std::string::npos; ++at) ++lines;
    EXPECT_LE(lines, 2u) << run.err;
  }
  // Under valgrind the wait that matches the dearest hash may outlast the
  // flood, so that no guess is answered before it ends.
  if (!upstest::underValgrind()) {
    EXPECT_NE(run.err.find(" as root\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(" more)\n"), std::string::npos) << run.err;
  }
}

TEST_F(ServerWithSim, KeepsDataFreshWhileClientsFillASmallDescriptorLimit) {
  ASSERT_TRUE(netd.start({"--poll-interval", "100ms", "--stale-after", "1s"}, false, 20));
  Client asker("127.0.0.1", netd.port);
  ASSERT_TRUE(waitForReply(asker, "GET VAR ups device.type", "VAR ups device.type \"ups\"\n"));
  std::vector<std::unique_ptr<Client>> crowd;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < until) {
    if (crowd.size() < 30) crowd.push_back(std::make_unique<Client>("127.0.0.1", netd.port));
    EXPECT_EQ(asker.ask("GET VAR ups device.type"), "VAR ups device.type \"ups\"\n");
    ::usleep(20 * 1000);
  }
}

}  // namespace
}  // namespace zqnetd
