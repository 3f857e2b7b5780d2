// What keeps many hostile clients from locking the real ones out: the
// source a client counts as (an IPv6 /64 is one), and the password
// checks, shared fairly between sources, slower for a source that keeps
// failing, and never behind guessers for a user who logged in before.
#ifndef ZQUPSNETD_GUARD_H
#define ZQUPSNETD_GUARD_H

#include <boost/asio/ip/address.hpp>
#include <boost/asio/steady_timer.hpp>

#include <deque>
#include <functional>
#include <list>
#include <map>
#include <optional>
#include <string>

#include "Log.h"
#include "Users.h"
#include "Variables.h"
#include "Workers.h"

namespace zqnetd {

namespace asio = boost::asio;

// The source that limits count a client in: its IPv4 address, or the /64
// of its IPv6 one (one host may hold a whole /64).
std::string sourceOf(const asio::ip::address& address);

// Runs the password checks one at a time on `worker`, on the loop's
// thread otherwise.  Each source's checks wait their turn among sources;
// after n failures in a row a source's next check waits delayAfter(n).  A
// user who logged in from the source before goes first, without delay.
class PasswordChecks {
 public:
  using Done = std::function<void(std::optional<unsigned> rights)>;
  using Id = unsigned long long;

  PasswordChecks(asio::io_context& io, Worker* worker, const Users* users, ClientLog* log)
      : io_(io), worker_(worker), users_(users), log_(log), timer_(io) {}

  // Checks `name` and `password` for a client at `address` (of `source`):
  // `done` gets the rights (none for a wrong password) on the loop's
  // thread, unless cancel(id) came first.
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
  struct Source {
    std::deque<Check> waiting;
    unsigned failures = 0;  // in a row
    Clock::time_point lastFailure;
    bool inTurn = false;  // in turns_
    Clock::time_point ready() const { return lastFailure + delayAfter(failures); }
  };

  bool trusted(const std::string& source, const std::string& name) const;
  void next();
  void run(Check check);
  void finished(std::optional<unsigned> rights);
  void remember(const Check& check, bool good);

  asio::io_context& io_;
  Worker* worker_;
  const Users* users_;
  ClientLog* log_;
  asio::steady_timer timer_;  // until the first source's delay ends
  std::map<std::string, Source> sources_;
  std::list<std::string> turns_;  // the sources with checks waiting, in turn
  std::deque<Check> trusted_;
  // Who logged in from where, and when.
  std::map<std::pair<std::string, std::string>, Clock::time_point> good_;
  std::optional<Check> running_;
  Id lastId_ = 0;
  bool stopped_ = false;
};

}  // namespace zqnetd

#endif
