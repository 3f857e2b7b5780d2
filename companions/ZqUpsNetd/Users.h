// The users who may log in, from a file of NAME:HASH:RIGHTS lines, and
// the password hashes in it (crypt(3)).
#ifndef ZQUPSNETD_USERS_H
#define ZQUPSNETD_USERS_H

#include <chrono>
#include <map>
#include <optional>
#include <string>

namespace zqnetd {

// What a user may do; a set of bits.
enum Right : unsigned {
  kMonitor = 1,  // LOGIN
  kPrimary = 2,  // PRIMARY, MASTER, FSD (and LOGIN)
  kSet = 4,      // SET VAR
};

class Users {
 public:
  // Reads `path`: refused when others may read it or anyone but its
  // owner may write it, when it is not a regular file, or when a line is
  // not NAME:HASH:RIGHTS or holds a hash the system's crypt cannot check.
  // False with `error` (the line's number included).
  bool load(const std::string& path, std::string* error);
  // The same from text already read.
  bool parse(const std::string& text, std::string* error);
  // The user's rights when `password` is theirs; empty otherwise, at
  // once for a name not in the file.  Takes what the user's hash costs:
  // slow by design, never on the network thread.
  std::optional<unsigned> check(const std::string& name, const std::string& password) const;
  bool known(const std::string& name) const { return users_.count(name) != 0; }
  bool empty() const { return users_.empty(); }
  // What a check against the dearest hash in the file takes: what every
  // answer waits for, an unknown name's included, so that its time tells
  // nothing about who exists.
  std::chrono::steady_clock::duration slowestCost() const { return slowestCost_; }

 private:
  struct User {
    std::string hash;
    unsigned rights = 0;
  };
  std::map<std::string, User> users_;
  std::chrono::steady_clock::duration slowestCost_{};
};

// Whether `a` and `b` hold the same bytes, in a time that depends only on
// their sizes.
bool sameBytes(const std::string& a, const std::string& b);

// A random key for keyedDigest(); empty when there is no randomness.
std::string newDigestKey();
// A keyed digest of `text`, fast enough for the network thread:
// HMAC-SHA-256 where OpenSSL is built in, else crypt's SHA-256 at its
// fewest rounds with the key for salt.  Empty when it fails.
std::string keyedDigest(const std::string& key, const std::string& text);

// The part of `hash` that decides what checking it costs: its method and
// parameters, without salt and digest ("$y$j9T$", "$6$rounds=5000$",
// "$2b$12$", "$7$C6..../....").
std::string costOf(const std::string& hash);

// A new hash of `password` with a random salt: yescrypt where the system's
// crypt has it, else SHA-512.  Empty with `error` when that fails.
std::string hashPassword(const std::string& password, std::string* error);

}  // namespace zqnetd

#endif
