// The built ZqUpsNetd on its own, no UPS service behind it: its bounds on
// clients and their lines, the lines it logs, the options it refuses,
// --hash-password, and STARTTLS with a certificate made here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef ZQUPSNETD_TLS
#include <openssl/ssl.h>
#endif

#include <chrono>
#include <string>
#include <vector>

#include "Log.h"
#include "NetdSupport.h"
#include "Request.h"
#include "RunProgram.h"

namespace zqnetd {
namespace {

const char kNetd[] = ZQUPSNETD_PATH;

using Client = upstest::LineClient;
using upstest::Netd;

bool ipv6Loopback() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) ::close(fd);
  return ok;
}

TEST(Server, CapsConnectionsIdleClientsAndLongLines) {
  const bool v6 = ipv6Loopback();
  Netd netd{kNetd};
  ASSERT_TRUE(netd.start({"--max-connections", "3", "--max-per-address", "2", "--idle-timeout",
                          "2s"},
                         v6));
  Client first("127.0.0.1", netd.port), second("127.0.0.1", netd.port);
  EXPECT_EQ(first.ask("NETVER"), "1.3\n");
  EXPECT_EQ(second.ask("NETVER"), "1.3\n");
  // At either cap, the client idle longest of those not signed in makes
  // room: of the address at its cap, of all at the cap in all.
  Client third("127.0.0.1", netd.port);
  EXPECT_EQ(third.ask("NETVER"), "1.3\n");
  EXPECT_TRUE(first.closedWithin(1000));
  const auto lastRequest = std::chrono::steady_clock::now();
  if (v6) {
    Client other("::1", netd.port6);
    EXPECT_EQ(other.ask("NETVER"), "1.3\n");
    Client newcomer("::1", netd.port6);
    EXPECT_EQ(newcomer.ask("NETVER"), "1.3\n");
    EXPECT_TRUE(second.closedWithin(1000));
  }
  // Idle clients go after the idle time, not before; a blank line is no
  // request.
  const auto until = lastRequest + std::chrono::seconds(5);
  while (!third.closedWithin(200) && std::chrono::steady_clock::now() < until) third.send("\n");
  EXPECT_GE(std::chrono::steady_clock::now() - lastRequest, std::chrono::milliseconds(1900));
  EXPECT_LT(std::chrono::steady_clock::now(), until);
  EXPECT_TRUE(second.closedWithin(1000));

  Client talker("127.0.0.1", netd.port);
  EXPECT_TRUE(talker.send("VER\n" + std::string(kMaxLine, 'a')));
  EXPECT_EQ(talker.line().rfind("ZqUpsNetd ", 0), 0u);
  EXPECT_FALSE(talker.closedWithin(200));
  EXPECT_TRUE(talker.send("a"));
  EXPECT_EQ(talker.line(), "ERR TOO-LONG\n");
  EXPECT_TRUE(talker.closedWithin(5000));
  const upstest::ProgramRun run = netd.stop();
  EXPECT_TRUE(run.exited);
  for (const std::string line :
       {"dropped 127.0.0.1: idle longest of those from its address not signed in, for a new "
        "client\n",
        v6 ? "dropped 127.0.0.1: idle longest of those not signed in, for a new client\n" : "",
        "dropped 127.0.0.1: no request for 2s\n", "dropped 127.0.0.1: request line too long\n"})
    EXPECT_NE(run.err.find(line), std::string::npos) << line << run.err;
}

// What `run` writes to standard error.
template <typename Run>
std::string standardErrorOf(Run run) {
  char path[] = "/tmp/netd_server_test.XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) return "";
  ::unlink(path);
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(fd, STDERR_FILENO);
  run();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  std::string text(size_t(::lseek(fd, 0, SEEK_CUR)), '\0');
  const bool read = ::pread(fd, text.data(), text.size(), 0) == ssize_t(text.size());
  ::close(fd);
  return read ? text : "";
}

// A flood from many addresses: a line for each of the first ones, then
// one count for all the others.
TEST(Server, LogsAFloodFromManyAddressesInBoundedLines) {
  ClientLog log;
  const auto now = ClientLog::Clock::now();
  const std::string text = standardErrorOf([&] {
    for (size_t i = 0; i < ClientLog::kMaxHeld + 500; ++i)
      log.note(now, "refused", "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256),
               "too many connections");
    log.note(now, "refused", "10.0.0.0", "too many connections");
    log.flush(now + ClientLog::kInterval);
  });
  size_t lines = 0;
  for (size_t at = 0; (at = text.find("ZqUpsNetd: refused ", at)) != std::string::npos; ++at) ++lines;
  EXPECT_EQ(lines, ClientLog::kMaxHeld + 1) << text.substr(0, 200);
  EXPECT_NE(text.find("refused 10.0.0.0: too many connections (1 more in 10s)\n"),
            std::string::npos);
  EXPECT_NE(text.find("ZqUpsNetd: 500 more lines about clients not logged: over 1024 addresses "
                      "or reasons in 10s\n"),
            std::string::npos)
      << text.substr(text.size() - 300);
}

TEST(Server, RefusesOptionsThatCannotWork) {
  upstest::ProgramOptions bounded;
  bounded.timeoutSeconds = 10;
  const struct {
    std::vector<std::string> args;
    const char* why;
  } cases[] = {
      {{"--listen", "0.0.0.0:0"}, "give --tls-cert and --tls-key (or --allow-plaintext)"},
      {{"--require-tls"}, "--require-tls needs --tls-cert and --tls-key"},
      {{"--require-tls", "--allow-plaintext"}, "excludes"},
      {{"--tls-cert", "x.pem"}, "requires --tls-key"},
      {{"--tls-cert", "/nonexistent.pem", "--tls-key", "/dev/null"}, "/dev/null: not a regular file"},
      {{"--poll-interval", "15s"}, "the data would go stale between readings"},
      {{"--poll-interval", "5s", "--stale-after", "5.2s"}, "would go stale between readings"},
      {{"--stale-after", "900ms", "--poll-interval", "100ms"}, "shorter than a reading may take"},
      {{"--min-line-voltage", "nan"}, "--min-line-voltage: 'nan' is not a finite number"},
      {{"--low-runtime", "NaN"}, "--low-runtime: 'NaN' is not a finite number"},
      {{"--low-runtime", "2e6"}, "--low-runtime: 2e6 is not from 0 to 1000000"},
      {{"--service-owner", ""}, "--service-owner: needs a user"},
      {{"--service-owner", "no-such-user-here"}, "--service-owner: unknown user 'no-such-user-here'"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {"ZqUpsNetd"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const upstest::ProgramRun run = upstest::runProgram(kNetd, argv, bounded);
    EXPECT_TRUE(run.exited && run.exitStatus == 2) << c.why << ": " << run.out << run.err;
    EXPECT_NE(run.err.find(c.why), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("listening"), std::string::npos);
  }
  // Descriptors enough for itself but for no client: refused before it
  // says that it listens.
  const upstest::ProgramRun cramped = upstest::runProgram(
      "/bin/sh", {"sh", "-c", "ulimit -n 14 && exec \"$0\" --listen 127.0.0.1:0", kNetd}, bounded);
  EXPECT_TRUE(cramped.exited && cramped.exitStatus == 1) << cramped.out << cramped.err;
  EXPECT_NE(cramped.err.find("leaves no room for clients"), std::string::npos) << cramped.err;
  EXPECT_EQ(cramped.out, "");
}

// On a terminal: prompts on it, twice, and never echoes the password.
TEST(Server, HashPasswordPromptsWithoutEchoOnATerminal) {
  const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_TRUE(::grantpt(terminal) == 0 && ::unlockpt(terminal) == 0);
  const std::string side = ::ptsname(terminal);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    const int fd = ::open(side.c_str(), O_RDWR);
    for (int to = 0; to < 3; ++to) ::dup2(fd, to);
    ::execl(kNetd, "ZqUpsNetd", "--hash-password", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  std::string shown;
  // What the terminal shows until `text` (or its end, or 10 s).
  const auto showUntil = [&](const std::string& text) {
    char buffer[256];
    pollfd ready{terminal, POLLIN, 0};
    while (shown.find(text) == std::string::npos && ::poll(&ready, 1, 10000) == 1) {
      const ssize_t got = ::read(terminal, buffer, sizeof buffer);
      if (got <= 0) break;
      shown.append(buffer, static_cast<size_t>(got));
    }
    return shown.find(text) != std::string::npos;
  };
  EXPECT_TRUE(showUntil("Password: ")) << shown;
  EXPECT_EQ(::write(terminal, "s3cret\n", 7), 7);
  EXPECT_TRUE(showUntil("Again: ")) << shown;
  EXPECT_EQ(::write(terminal, "s3cret\n", 7), 7);
  EXPECT_TRUE(showUntil("$")) << shown;
  showUntil("\n$");  // the rest, to the end
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(terminal);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
  EXPECT_EQ(shown.find("s3cret"), std::string::npos) << shown;
}

// Standard input not a terminal: one line, no prompt.
TEST(Server, HashesOnlyPasswordsThatCanLogIn) {
  upstest::ProgramOptions bounded;
  bounded.timeoutSeconds = 30;
  const auto hashOf = [&](const std::string& input) {
    return upstest::runProgram(
        "/bin/sh", {"sh", "-c", "printf '" + input + "' | \"$0\" --hash-password", kNetd}, bounded);
  };
  const upstest::ProgramRun utf8 = hashOf("p\\303\\244ss\\n");
  EXPECT_TRUE(utf8.exited && utf8.exitStatus == 0) << utf8.err;
  EXPECT_EQ(utf8.out.rfind("$", 0), 0u) << utf8.out;
  EXPECT_EQ(utf8.err, "");
  for (const char* input : {"a\\000b\\n", "two words\\n", "tab\\tbed\\n", "\\n"}) {
    const upstest::ProgramRun refused = hashOf(input);
    EXPECT_TRUE(refused.exited && refused.exitStatus == 2) << input << refused.err;
    EXPECT_EQ(refused.out, "") << input;
    EXPECT_NE(refused.err.find("--hash-password: "), std::string::npos) << refused.err;
  }
}

#ifdef ZQUPSNETD_TLS
using upstest::makeCertificate;

// TLS over a Client's connection, after its STARTTLS; blocking, each read
// and write bounded by the socket's timeouts.
class TlsClient {
 public:
  explicit TlsClient(int fd) : context_(SSL_CTX_new(TLS_client_method())) {
    const timeval bound{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    ssl_ = SSL_new(context_);
    SSL_set_fd(ssl_, fd);
    connected_ = SSL_connect(ssl_) == 1;
  }
  ~TlsClient() {
    SSL_free(ssl_);
    SSL_CTX_free(context_);
  }
  bool connected() const { return connected_; }
  bool send(const std::string& text) {
    return SSL_write(ssl_, text.data(), static_cast<int>(text.size())) == static_cast<int>(text.size());
  }
  // The next line; empty at the end of the stream.
  std::string line() {
    std::string reply;
    char c;
    while (reply.empty() || reply.back() != '\n') {
      if (SSL_read(ssl_, &c, 1) != 1) break;
      reply += c;
    }
    return reply;
  }
  // The reply's first line.
  std::string ask(const std::string& request) {
    send(request + "\n");
    return line();
  }
  // Whether the server ended with TLS's closing alert.
  bool closedCleanly() {
    char c;
    return SSL_read(ssl_, &c, 1) == 0 && SSL_get_error(ssl_, 0) == SSL_ERROR_ZERO_RETURN;
  }

 private:
  SSL_CTX* context_;
  SSL* ssl_ = nullptr;
  bool connected_ = false;
};

TEST(Server, AnswersThroughTlsAfterStartTls) {
  char folder[] = "/tmp/netd_server_test.XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const std::string certificate = std::string(folder) + "/cert.pem";
  const std::string key = std::string(folder) + "/key.pem";
  const bool made = makeCertificate(folder);
  Netd netd{kNetd};
  const bool started = made && netd.start({"--tls-cert", certificate, "--tls-key", key});
  ::unlink(certificate.c_str());
  ::unlink(key.c_str());
  ::rmdir(folder);
  ASSERT_TRUE(made && started);

  // A burst of requests in one write, many reads' worth, answered whole
  // and in order before and after STARTTLS.
  std::string burst;
  for (int i = 0; i < 500; ++i) burst += i % 2 ? "NETVER\n" : "VER\n";
  const auto answersBurst = [&](auto& client) {
    if (!client.send(burst)) return false;
    for (int i = 0; i < 500; ++i) {
      const std::string line = client.line();
      if (i % 2 ? line != "1.3\n" : line.rfind("ZqUpsNetd ", 0) != 0) return false;
    }
    return true;
  };
  Client client("127.0.0.1", netd.port);
  EXPECT_TRUE(answersBurst(client));
  EXPECT_EQ(client.ask("USERNAME alice"), "OK\n");  // on loopback TLS is not required
  ASSERT_EQ(client.ask("STARTTLS"), "OK STARTTLS\n");
  TlsClient tls(client.fd());
  ASSERT_TRUE(tls.connected());
  EXPECT_TRUE(answersBurst(tls));
  EXPECT_EQ(tls.ask("NETVER"), "1.3\n");
  EXPECT_EQ(tls.ask("STARTTLS"), "ERR ALREADY-SSL-MODE\n");
  EXPECT_EQ(tls.ask("LOGOUT"), "OK Goodbye\n");
  EXPECT_TRUE(tls.closedCleanly());

  // Not TLS after all: the connection goes, the server stays.
  Client liar("127.0.0.1", netd.port);
  ASSERT_EQ(liar.ask("STARTTLS"), "OK STARTTLS\n");
  liar.send("GET VAR ups ups.status\n");
  EXPECT_TRUE(liar.closedWithin(5000));
  EXPECT_EQ(Client("127.0.0.1", netd.port).ask("NETVER"), "1.3\n");
  const upstest::ProgramRun run = netd.stop();
  EXPECT_TRUE(run.exited && run.exitStatus == 0) << run.err;
}
#endif

}  // namespace
}  // namespace zqnetd
