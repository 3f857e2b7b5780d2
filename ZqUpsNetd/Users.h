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
  // The user's rights when `password` is theirs; empty otherwise.  Every
  // check, an unknown name's included, takes at least as long as one
  // against the slowest hash in the file, so that its time tells nothing
  // about who exists.  Slow by design: never on the network thread.
  std::optional<unsigned> check(const std::string& name, const std::string& password) const;
  bool empty() const { return users_.empty(); }

 private:
  struct User {
    std::string hash;
    unsigned rights = 0;
  };
  std::map<std::string, User> users_;
  std::string slowest_;  // the hash that costs most, checked for unknown names
  std::chrono::steady_clock::duration slowestCost_{};
};

// A new hash of `password` with a random salt: yescrypt where the system's
// crypt has it, else SHA-512.  Empty with `error` when that fails.
std::string hashPassword(const std::string& password, std::string* error);

}  // namespace zqnetd

#endif
