// ZqUpsNetd's secrets on their own: the users file and its hashes, the
// password checks shared between sources, and the files of the users
// and the TLS key, refused when others may read them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "NetdSupport.h"
#include "Passwords.h"
#include "Tls.h"
#include "Users.h"

namespace zqnetd {
namespace {

using upstest::hashWith;
using upstest::sha512Hash;
using upstest::slowHash;

TEST(UsersFile, ParsesLinesAndSaysWhereTheyAreWrong) {
  Users users;
  std::string error;
  EXPECT_TRUE(users.parse("# who may log in\n\n  alice:" + sha512Hash() +
                              ": monitor , set # admin\nbob:" + sha512Hash("rounds=1000$") +
                              ":primary\n",
                          &error))
      << error;
  const std::string hash = sha512Hash();
  const struct {
    std::string text;
    const char* error;
  } wrong[] = {
      {"alice:$6$s$h\n", "1: not NAME:HASH:RIGHTS"},
      {"\nalice:" + hash + ":monitor,admin\n", "2: rights"},
      {"alice:" + hash + ":\n", "1: rights"},
      {"alice:secret:monitor\n", "1: not a password hash"},
      {"alice:$y$broken:monitor\n", "1: the system's crypt(3) cannot check"},
      {"alice:$6$s$h:monitor\n", "1: the system's crypt(3) cannot check"},
      {"alice:" + hash.substr(0, hash.size() - 1) + ":monitor\n", "1: the system's crypt(3) cannot check"},
      {"al ice:$6$s$h:monitor\n", "1: a name"},
      {"alice:" + hash + ":monitor\nalice:" + hash + ":set\n", "2: user alice named twice"},
  };
  for (const auto& w : wrong) {
    error.clear();
    EXPECT_FALSE(users.parse(w.text, &error)) << w.text;
    EXPECT_EQ(error.rfind(w.error, 0), 0u) << error;
  }
}

TEST(UsersFile, ChecksPasswordsAgainstSaltedHashes) {
  std::string error;
  const std::string hash = hashPassword("s3cret pass", &error);
  ASSERT_FALSE(hash.empty()) << error;
  EXPECT_TRUE(hash.rfind("$y$", 0) == 0 || hash.rfind("$6$", 0) == 0) << hash;
  EXPECT_NE(hashPassword("s3cret pass", &error), hash);
  Users users;
  ASSERT_TRUE(users.parse("alice:" + hash + ":monitor,set\n", &error)) << error;
  EXPECT_EQ(users.check("alice", "s3cret pass"), std::optional<unsigned>(kMonitor | kSet));
  EXPECT_EQ(users.check("alice", "s3cret pas"), std::nullopt);
  EXPECT_EQ(users.check("Alice", "s3cret pass"), std::nullopt);
}

// The password checks on a loop of their own: what each answer was, and
// when it came.
class PasswordCheckTest : public ::testing::Test {
 protected:
  struct Answer {
    bool done = false;
    std::optional<unsigned> rights;
    Clock::duration took{}, hold{};
  };
  void TearDown() override { worker.stop(); }
  const Answer& ask(const std::string& source, const std::string& name,
                    const std::string& password) {
    Answer* answer = &answers.emplace_back();
    const auto asked = Clock::now();
    checks.check(source, source, name, password,
                 [answer, asked](std::optional<unsigned> rights, Clock::duration hold) {
                   *answer = Answer{true, rights, Clock::now() - asked, hold};
                 });
    return *answer;
  }
  // Until every check asked is answered, at most a minute.
  bool answered() {
    const auto until = Clock::now() + std::chrono::minutes(1);
    const auto all = [&] {
      return std::all_of(answers.begin(), answers.end(), [](const Answer& a) { return a.done; });
    };
    while (!all() && Clock::now() < until) {
      io.restart();
      io.run_for(std::chrono::milliseconds(10));
    }
    return all();
  }

  asio::io_context io;
  Worker worker;
  Users users;
  ClientLog log;
  PasswordChecks checks{io, &worker, &users, &log};
  std::deque<Answer> answers;
};

// Timing classes tell scrypt's costs apart: an unknown name and a cheaper
// user's wrong password cost what the dearer user's does.
TEST_F(PasswordCheckTest, EveryAnswerWaitsForTheDearestHash) {
  const std::string cheap = hashWith("pw", "$7$A6..../....cheapsalt$");
  const std::string dear = hashWith("pw", "$7$E6..../....dearsalt$");
  if (cheap.empty() || dear.empty()) GTEST_SKIP() << "no scrypt in the system's crypt";
  std::string error;
  ASSERT_TRUE(users.parse("cheap:" + cheap + ":monitor\ndear:" + dear + ":monitor\n", &error));
  const Answer& dearOne = ask("192.0.2.1", "dear", "guess");
  ASSERT_TRUE(answered());
  for (const char* name : {"cheap", "nobody"}) {
    const Answer& other = ask("192.0.2.1", name, "guess");
    ASSERT_TRUE(answered());
    EXPECT_EQ(other.rights, std::nullopt);
    EXPECT_GT(other.took, dearOne.took * 3 / 4) << name;
  }
}

// A right password seen before is known at once, from any address, while
// guesses for the same user from the same address wait their turns; an
// unknown name's answer is a timer that holds no check up; the delay after
// failures is the failing connection's.
TEST_F(PasswordCheckTest, GuessersHoldNoRightPasswordUp) {
  const std::string hash = slowHash("pw");
  ASSERT_FALSE(hash.empty());
  std::string error;
  ASSERT_TRUE(users.parse("alice:" + hash + ":monitor\n", &error));
  std::vector<const Answer*> unknown;
  for (int i = 0; i < 20; ++i) unknown.push_back(&ask("198.51.100." + std::to_string(i), "root", "guess"));
  const Answer& first = ask("192.0.2.1", "alice", "pw");
  ASSERT_TRUE(answered());
  EXPECT_EQ(first.rights, std::optional<unsigned>(kMonitor));
  for (const Answer* answer : unknown) EXPECT_LT(answer->took, first.took * 4);
  EXPECT_LT(first.took, unknown.front()->took * 4);

  std::vector<const Answer*> guesses;
  for (int i = 0; i < 6; ++i) guesses.push_back(&ask("192.0.2.1", "alice", "guess"));
  const Answer& again = ask("192.0.2.1", "alice", "pw");
  const Answer& elsewhere = ask("203.0.113.9", "alice", "pw");
  const Answer& wrongThere = ask("203.0.113.9", "alice", "pW");
  ASSERT_TRUE(answered());
  for (const Answer* right : {&again, &elsewhere}) {
    EXPECT_EQ(right->rights, std::optional<unsigned>(kMonitor));
    EXPECT_LT(right->took, first.took / 2);
    EXPECT_EQ(right->hold, Clock::duration::zero());
  }
  EXPECT_EQ(wrongThere.rights, std::nullopt);
  EXPECT_EQ(wrongThere.hold, std::chrono::milliseconds(100));
  for (size_t i = 0; i < guesses.size(); ++i) {
    EXPECT_EQ(guesses[i]->rights, std::nullopt);
    EXPECT_EQ(guesses[i]->hold, std::chrono::milliseconds(100 << i)) << i;
  }
}

// The users file may be read by its group; the TLS key by its owner alone.
TEST(SecretFiles, RefusedWhenOthersMayReadOrWriteThem) {
  char folder[] = "/tmp/netd_users_test.XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/secret";
  std::ofstream(path) << "alice:" << sha512Hash() << ":monitor\n";
  for (const mode_t mode : {0600, 0640, 0400, 0644, 0620, 0602, 0606}) {
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    Users users;
    std::string error;
    const bool refused = (mode & 0026) != 0;
    EXPECT_EQ(users.load(path, &error), !refused) << std::oct << mode;
    if (refused) {
      EXPECT_NE(error.find("others may read or write it"), std::string::npos) << error;
    }
    if (!tlsBuilt()) continue;
    // Not a key at all: past the mode, the certificate is what fails.
    error.clear();
    std::string warning;
    EXPECT_EQ(loadTls(path + ".pem", path, &error, &warning), nullptr);
    EXPECT_EQ(error.find("others may read or write it (chmod 600)") != std::string::npos,
              (mode & 0077) != 0)
        << std::oct << mode << " " << error;
  }
  Users users;
  std::string error;
  EXPECT_FALSE(users.load(folder, &error));
  EXPECT_FALSE(users.load(path + ".missing", &error));
  ::unlink(path.c_str());
  ::rmdir(folder);
}

TEST(PasswordCheckSources, CountAnIpv6Slash64AsOneAddress) {
  const auto source = [](const char* text) { return sourceOf(asio::ip::make_address(text)); };
  EXPECT_EQ(source("2001:db8:1:2::1"), "2001:db8:1:2::/64");
  EXPECT_EQ(source("2001:db8:1:2:ffff:1:2:3"), "2001:db8:1:2::/64");
  EXPECT_EQ(source("2001:db8:1:3::1"), "2001:db8:1:3::/64");
  EXPECT_EQ(source("::ffff:192.0.2.7"), "192.0.2.7");
  EXPECT_EQ(source("192.0.2.7"), "192.0.2.7");
}

#ifdef ZQUPSNETD_TLS
using upstest::makeCertificate;

TEST(Tls, NamesTheFileAndWhyAndWarnsOfDates) {
  char folder[] = "/tmp/netd_users_test.XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const std::string certificate = std::string(folder) + "/cert.pem";
  const std::string key = std::string(folder) + "/key.pem";
  const auto load = [&](const std::string& chain, std::string* error, std::string* warning) {
    return loadTls(chain, key, error, warning) != nullptr;
  };
  std::string error, warning;
  ASSERT_TRUE(makeCertificate(folder));
  EXPECT_TRUE(load(certificate, &error, &warning)) << error;
  EXPECT_EQ(warning, "");
  EXPECT_FALSE(load(certificate + ".missing", &error, &warning));
  EXPECT_EQ(error, certificate + ".missing: " + std::strerror(ENOENT));
  EXPECT_FALSE(load(key, &error, &warning));
  EXPECT_EQ(error.rfind(key + ": no certificate in it", 0), 0u) << error;
  const std::string empty = std::string(folder) + "/empty.pem";
  std::ofstream(empty).close();
  ASSERT_EQ(::chmod(empty.c_str(), 0600), 0);
  EXPECT_FALSE(load(empty, &error, &warning));
  EXPECT_EQ(error, empty + ": the file is empty; it should hold the certificate chain (PEM)");
  EXPECT_EQ(loadTls(certificate, empty, &error, &warning), nullptr);
  EXPECT_EQ(error, empty + ": the file is empty; it should hold the private key (PEM)");
  ::unlink(empty.c_str());
  const struct {
    long from, to;
    const char* warning;
  } dated[] = {{-3, -1, "the certificate expired on "}, {2, 3, "the certificate is not valid before "}};
  for (const auto& d : dated) {
    ASSERT_TRUE(makeCertificate(folder, d.from, d.to));
    EXPECT_TRUE(load(certificate, &error, &warning)) << error;
    EXPECT_EQ(warning.rfind(certificate + ": " + d.warning, 0), 0u) << warning;
  }
  ::unlink(certificate.c_str());
  ::unlink(key.c_str());
  ::rmdir(folder);
}

#endif

}  // namespace
}  // namespace zqnetd
