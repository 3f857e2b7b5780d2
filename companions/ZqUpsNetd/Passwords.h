// The password checks, kept from letting many hostile clients lock the
// real ones out: shared fairly between the sources clients count as (an
// IPv6 /64 is one), a right password seen before known at once, and the
// delays after a failure for the connection that failed alone.
#ifndef ZQUPSNETD_PASSWORDS_H
#define ZQUPSNETD_PASSWORDS_H

#include <boost/asio/ip/address.hpp>
#include <boost/asio/steady_timer.hpp>

#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Log.h"
#include "Users.h"
#include "Variables.h"
#include "Worker.h"

namespace zqnetd {

namespace asio = boost::asio;

// The source that limits count a client in: its IPv4 address, or the /64
// of its IPv6 one (one host may hold a whole /64).
std::string sourceOf(const asio::ip::address& address);

// Keyed digests, in memory only, of the passwords that checked right, one
// per user: a fast check that knows a right password seen before, while
// any other still takes the slow one.  The key is random, new each start.
class KnownPasswords {
 public:
  KnownPasswords();
  // The user's rights when `password` is the one remembered for `name`.
  std::optional<unsigned> rights(const std::string& name, const std::string& password) const;
  void remember(const std::string& name, const std::string& password, unsigned rights);

 private:
  struct Known {
    std::string digest;
    unsigned rights = 0;
  };
  std::string digest(const std::string& name, const std::string& password) const;

  std::string key_;  // empty: nothing is remembered
  std::map<std::string, Known> known_;  // at most one per user in the file
};

// The slow checks run one at a time on `worker`, taking turns between
// sources; every answer but a remembered right password waits until the
// dearest hash's cost has passed since its turn, so that an unknown name,
// which needs no hash, costs alike.  After n failures in a row from a
// source, the connection that failed waits delayAfter(n) more for its
// answer; the source's other checks do not.
class PasswordChecks {
 public:
  // The rights (none for a wrong password), and how long to hold the
  // answer back.
  using Done = std::function<void(std::optional<unsigned> rights, Clock::duration hold)>;
  using Id = unsigned long long;
  // Sources whose failures are remembered, at most.
  static constexpr size_t kMaxSources = 4096;

  PasswordChecks(asio::io_context& io, Worker* worker, const Users* users, ClientLog* log)
      : io_(io), worker_(worker), users_(users), log_(log) {}

  // Checks `name` and `password` for a client at `address` (of `source`):
  // `done` gets the answer on the loop's thread, never before this
  // returns, unless cancel(id) came first.
  Id check(const std::string& source, const std::string& address, std::string name,
           std::string password, Done done);
  void cancel(Id id);
  // Forgets the failures of sources quiet for a while; call now and then.
  void sweep(Clock::time_point now);
  void stop();

  static Clock::duration delayAfter(unsigned failures);

 private:
  struct Check {
    Id id;
    std::string source, address, name, password;
    Done done;
  };
  // A check whose turn came: answered once both its hash is checked and
  // its time is up.
  struct Answering {
    Answering(asio::io_context& io, Check taken) : check(std::move(taken)), timer(io) {}
    Check check;
    asio::steady_timer timer;
    std::optional<unsigned> rights;
    bool checked = false;
    bool timeUp = false;
  };
  struct Failures {
    unsigned inARow = 0;
    Clock::time_point last;
    std::list<std::string>::iterator order;  // in failureOrder_
  };

  void next();
  void start(Check check);
  void checked(Id id, std::optional<unsigned> rights);
  void answer(Id id);
  Clock::duration remember(const Check& check, std::optional<unsigned> rights);
  unsigned failed(const std::string& source, Clock::time_point now);

  asio::io_context& io_;
  Worker* worker_;
  const Users* users_;
  ClientLog* log_;
  std::map<std::string, std::deque<Check>> waiting_;  // by source, while it has some
  std::list<std::string> turns_;  // the sources with checks waiting, in turn
  std::map<Id, std::unique_ptr<Answering>> answering_;
  std::map<std::string, Failures> failures_;
  std::list<std::string> failureOrder_;  // the source that failed longest ago first
  KnownPasswords known_;
  bool hashing_ = false;  // a check on the worker
  Id lastId_ = 0;
  bool stopped_ = false;
};

}  // namespace zqnetd

#endif
