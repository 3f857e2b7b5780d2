// What the ZqUpsNetd tests share: password hashes made for them, a
// self-signed certificate, and the built server on loopback ports.
#ifndef NETDSUPPORT_H
#define NETDSUPPORT_H

#include <signal.h>

#include <string>
#include <vector>

#include "LineClient.h"
#include "RunProgram.h"

namespace upstest {

// A SHA-512 hash of some password: its form is what the users file checks.
std::string sha512Hash(const std::string& rounds = "");
// The hash of `password` with `setting`; empty when the system's crypt
// lacks its method.
std::string hashWith(const std::string& password, const std::string& setting);
// A hash that takes a while to check: 60 ms or so.
std::string slowHash(const std::string& password);

#ifdef ZQUPSNETD_TLS
// A self-signed certificate for 127.0.0.1, valid from `fromDays` to
// `toDays` days from now, and its key (mode 600): cert.pem and key.pem in
// `folder`.
bool makeCertificate(const std::string& folder, long fromDays = 0, long toDays = 1);
#endif

// The built server at `path` on free loopback ports.
class Netd {
 public:
  explicit Netd(std::string path) : path_(std::move(path)) {}
  // `descriptors`: its descriptor limit, when not 0.
  bool start(const std::vector<std::string>& args, bool withIpv6 = false, int descriptors = 0);
  const std::string& why() const { return process_.why(); }
  pid_t pid() const { return process_.pid(); }
  ProgramRun stop(int sig = SIGTERM) { return process_.stop(sig, 10); }

  int port = 0, port6 = 0;

 private:
  std::string path_;
  ListeningProgram process_;
};

// Asks `client` `request` until the reply is `wanted` (or 10 s pass).
bool waitForReply(LineClient& client, const std::string& request, const std::string& wanted);

}  // namespace upstest

#endif
