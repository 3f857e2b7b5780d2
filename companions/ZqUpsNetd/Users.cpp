#include "Users.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef ZQUPSNETD_HAVE_CRYPT_H
#include <crypt.h>
#endif
#ifdef ZQUPSNETD_TLS
#include <openssl/evp.h>
#include <openssl/hmac.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <vector>

#include "PrivateFile.h"

namespace zqnetd {

namespace {

std::string cryptWith(const std::string& password, const std::string& setting) {
  auto data = std::make_unique<struct crypt_data>();
  std::memset(data.get(), 0, sizeof *data);
  const char* hash = ::crypt_r(password.c_str(), setting.c_str(), data.get());
  // Some systems signal failure with a hash starting with '*'.
  if (hash == nullptr || hash[0] != '$') return "";
  return hash;
}

bool randomBytes(unsigned char* bytes, size_t size) {
  return ::getentropy(bytes, size) == 0;
}

// crypt's salt alphabet.
std::string saltText(const unsigned char* bytes, size_t size) {
  static const char kAlphabet[] =
      "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::string salt;
  for (size_t i = 0; i < size; ++i) salt += kAlphabet[bytes[i] % 64];
  return salt;
}

std::string newSetting() {
  unsigned char random[16];
  if (!randomBytes(random, sizeof random)) return "";
#ifdef ZQUPSNETD_HAVE_CRYPT_GENSALT
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (::crypt_gensalt_rn("$y$", 0, reinterpret_cast<const char*>(random), sizeof random, setting,
                         sizeof setting) != nullptr)
    return setting;
#endif
  return "$6$" + saltText(random, sizeof random) + "$";
}

using SteadyClock = std::chrono::steady_clock;

// Whether the system's crypt checks passwords against `hash`: it hashes
// with it into a hash of the same form (its setting and length).
bool checkable(const std::string& hash) {
  const std::string computed = cryptWith("", hash);
  const size_t setting = hash.rfind('$');
  return !computed.empty() && computed.size() == hash.size() &&
         computed.compare(0, setting, hash, 0, setting) == 0;
}

SteadyClock::duration timeToCheck(const std::string& hash) {
  SteadyClock::duration least = SteadyClock::duration::max();
  for (int i = 0; i < 2; ++i) {
    const auto start = SteadyClock::now();
    cryptWith("decoy", hash);
    least = std::min(least, SteadyClock::now() - start);
  }
  return least;
}

bool validName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-' ||
          c == '@'))
      return false;
  return true;
}

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool parseRights(const std::string& text, unsigned* rights) {
  static const struct {
    const char* name;
    Right right;
  } kRights[] = {{"monitor", kMonitor}, {"primary", kPrimary}, {"set", kSet}};
  std::istringstream words(text);
  std::string word;
  *rights = 0;
  while (std::getline(words, word, ',')) {
    word = trimmed(word);
    bool known = false;
    for (const auto& right : kRights)
      if (word == right.name) {
        *rights |= right.right;
        known = true;
      }
    if (!known) return false;
  }
  return *rights != 0;
}

}  // namespace

bool sameBytes(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char differ = 0;
  for (size_t i = 0; i < a.size(); ++i)
    differ |= static_cast<unsigned char>(a[i] ^ b[i]);
  return differ == 0;
}

std::string newDigestKey() {
  unsigned char random[16];
  return randomBytes(random, sizeof random) ? saltText(random, sizeof random) : "";
}

std::string keyedDigest(const std::string& key, const std::string& text) {
#ifdef ZQUPSNETD_TLS
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (::HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest,
             &size) == nullptr)
    return "";
  return std::string(reinterpret_cast<const char*>(digest), size);
#else
  return cryptWith(text, "$5$rounds=1000$" + key + "$");
#endif
}

std::string costOf(const std::string& hash) {
  // bcrypt's cost and scrypt's N, r and p run into the salt, unparted.
  if (hash.size() > 7 && hash[1] == '2') return hash.substr(0, 7);
  if (hash.compare(0, 3, "$7$") == 0) return hash.substr(0, 14);
  size_t end = hash.rfind('$');
  if (end != std::string::npos && end > 0) end = hash.rfind('$', end - 1);
  return hash.substr(0, end == std::string::npos ? 0 : end + 1);
}

bool Users::load(const std::string& path, std::string* error) {
  std::string text;
  if (!readPrivateFile(path, S_IROTH | S_IWOTH | S_IWGRP, "chmod 600 or 640", &text, error))
    return false;
  if (parse(text, error)) return true;
  *error = path + ":" + *error;
  return false;
}

bool Users::parse(const std::string& text, std::string* error) {
  std::map<std::string, User> users;
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    line = trimmed(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    const std::string where = std::to_string(number) + ": ";
    const size_t first = line.find(':');
    const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) {
      *error = where + "not NAME:HASH:RIGHTS";
      return false;
    }
    const std::string name = trimmed(line.substr(0, first));
    User user{trimmed(line.substr(first + 1, second - first - 1)), 0};
    if (!validName(name)) {
      *error = where + "a name of letters, digits and . _ - @ (at most 64)";
      return false;
    }
    if (user.hash.size() < 4 || user.hash[0] != '$') {
      *error = where + "not a password hash (make one with ZqUpsNetd --hash-password)";
      return false;
    }
    if (!checkable(user.hash)) {
      *error = where + "the system's crypt(3) cannot check passwords against this hash (make "
                       "one with ZqUpsNetd --hash-password)";
      return false;
    }
    if (!parseRights(line.substr(second + 1), &user.rights)) {
      *error = where + "rights are a comma-separated list of monitor, primary, set";
      return false;
    }
    if (!users.emplace(name, user).second) {
      *error = where + "user " + name + " named twice";
      return false;
    }
  }
  users_ = std::move(users);
  slowestCost_ = {};
  std::set<std::string> timed;
  for (const auto& [name, user] : users_)
    if (timed.insert(costOf(user.hash)).second)
      slowestCost_ = std::max(slowestCost_, timeToCheck(user.hash));
  return true;
}

std::optional<unsigned> Users::check(const std::string& name, const std::string& password) const {
  const auto user = users_.find(name);
  if (user == users_.end()) return std::nullopt;
  const std::string computed = cryptWith(password, user->second.hash);
  if (computed.empty() || !sameBytes(computed, user->second.hash)) return std::nullopt;
  return user->second.rights;
}

std::string hashPassword(const std::string& password, std::string* error) {
  const std::string setting = newSetting();
  if (setting.empty()) {
    *error = std::string("no random salt: ") + std::strerror(errno);
    return "";
  }
  const std::string hash = cryptWith(password, setting);
  if (hash.empty()) *error = "the system's crypt cannot hash with " + setting.substr(0, 3);
  return hash;
}

}  // namespace zqnetd
