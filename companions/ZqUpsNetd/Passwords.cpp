#include "Passwords.h"

#include <boost/asio/post.hpp>

#include <algorithm>

namespace zqnetd {

namespace {

constexpr auto kFirstDelay = std::chrono::milliseconds(100);
constexpr auto kLongestDelay = std::chrono::seconds(10);
// A source's failures are forgotten this long after its last.
constexpr auto kForgetFailures = std::chrono::minutes(10);

}  // namespace

std::string sourceOf(const asio::ip::address& address) {
  if (address.is_v4()) return address.to_string();
  const asio::ip::address_v6 v6 = address.to_v6();
  if (v6.is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string();
  asio::ip::address_v6::bytes_type bytes = v6.to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), 0);
  return asio::ip::address_v6(bytes).to_string() + "/64";
}

KnownPasswords::KnownPasswords() : key_(newDigestKey()) {}

std::string KnownPasswords::digest(const std::string& name, const std::string& password) const {
  return key_.empty() ? "" : keyedDigest(key_, name + "\n" + password);
}

std::optional<unsigned> KnownPasswords::rights(const std::string& name,
                                               const std::string& password) const {
  const auto found = known_.find(name);
  if (found == known_.end()) return std::nullopt;
  const std::string digest = this->digest(name, password);
  if (digest.empty() || !sameBytes(digest, found->second.digest)) return std::nullopt;
  return found->second.rights;
}

void KnownPasswords::remember(const std::string& name, const std::string& password,
                              unsigned rights) {
  std::string digest = this->digest(name, password);
  if (!digest.empty()) known_[name] = Known{std::move(digest), rights};
}

Clock::duration PasswordChecks::delayAfter(unsigned failures) {
  if (failures == 0) return Clock::duration::zero();
  const unsigned doublings = std::min(failures - 1, 16u);
  return std::min<Clock::duration>(kFirstDelay * (1u << doublings), kLongestDelay);
}

PasswordChecks::Id PasswordChecks::check(const std::string& source, const std::string& address,
                                         std::string name, std::string password, Done done) {
  Check check{++lastId_, source, address, std::move(name), std::move(password), std::move(done)};
  const Id id = check.id;
  if (stopped_) return id;
  if (const auto rights = known_.rights(check.name, check.password)) {
    auto answering = std::make_unique<Answering>(io_, std::move(check));
    answering->rights = rights;
    answering->checked = answering->timeUp = true;
    answering_.emplace(id, std::move(answering));
    asio::post(io_, [this, id] { answer(id); });
    return id;
  }
  std::deque<Check>& queue = waiting_[source];
  if (queue.empty()) turns_.push_back(source);
  queue.push_back(std::move(check));
  next();
  return id;
}

void PasswordChecks::cancel(Id id) {
  if (answering_.erase(id) != 0) return;
  for (auto from = waiting_.begin(); from != waiting_.end(); ++from) {
    std::deque<Check>& queue = from->second;
    const auto found = std::find_if(queue.begin(), queue.end(),
                                    [id](const Check& check) { return check.id == id; });
    if (found == queue.end()) continue;
    queue.erase(found);
    if (queue.empty()) {
      turns_.remove(from->first);
      waiting_.erase(from);
    }
    return;
  }
}

// While the worker is free: the first check of the source next in turn.
void PasswordChecks::next() {
  while (!hashing_ && !stopped_ && !turns_.empty()) {
    const std::string source = std::move(turns_.front());
    turns_.pop_front();
    const auto from = waiting_.find(source);
    Check check = std::move(from->second.front());
    from->second.pop_front();
    if (from->second.empty())
      waiting_.erase(from);
    else
      turns_.push_back(source);
    start(std::move(check));
  }
}

// The answer waits out the dearest hash's cost from now, on a timer; the
// hash of a name in the file is checked on the worker meanwhile.
void PasswordChecks::start(Check check) {
  const Id id = check.id;
  auto answering = std::make_unique<Answering>(io_, std::move(check));
  const Check& taken = answering->check;
  if (users_->known(taken.name)) {
    hashing_ = true;
    worker_->post([this, &io = io_, id, users = users_, name = taken.name,
                   password = taken.password] {
      const auto rights = users->check(name, password);
      asio::post(io, [this, id, rights] { checked(id, rights); });
    });
  } else {
    answering->checked = true;
  }
  answering->timer.expires_after(users_->slowestCost());
  answering->timer.async_wait([this, id](const boost::system::error_code& ec) {
    if (ec) return;
    const auto found = answering_.find(id);
    if (found == answering_.end()) return;
    found->second->timeUp = true;
    answer(id);
  });
  answering_.emplace(id, std::move(answering));
}

void PasswordChecks::checked(Id id, std::optional<unsigned> rights) {
  hashing_ = false;
  if (stopped_) return;
  const auto found = answering_.find(id);
  if (found != answering_.end()) {
    found->second->rights = rights;
    found->second->checked = true;
    // A failure still waits, or the answer would tell how little its
    // hash cost.
    if (rights) found->second->timeUp = true;
    answer(id);
  }
  next();
}

void PasswordChecks::answer(Id id) {
  const auto found = answering_.find(id);
  if (found == answering_.end() || !found->second->checked || !found->second->timeUp) return;
  const std::unique_ptr<Answering> answering = std::move(found->second);
  answering_.erase(found);
  const Clock::duration hold = remember(answering->check, answering->rights);
  if (answering->check.done) answering->check.done(answering->rights, hold);
}

Clock::duration PasswordChecks::remember(const Check& check, std::optional<unsigned> rights) {
  const Clock::time_point now = Clock::now();
  const auto record = failures_.find(check.source);
  if (rights) {
    known_.remember(check.name, check.password, *rights);
    if (record != failures_.end()) {
      failureOrder_.erase(record->second.order);
      failures_.erase(record);
    }
    return Clock::duration::zero();
  }
  log_->note(now, "failed login from", check.address, "", "as " + check.name);
  return delayAfter(failed(check.source, now));
}

// Counts a failure of `source`, forgetting the source that failed longest
// ago when there are too many; its failures in a row.
unsigned PasswordChecks::failed(const std::string& source, Clock::time_point now) {
  auto [record, added] = failures_.try_emplace(source);
  if (!added) failureOrder_.erase(record->second.order);
  const unsigned inARow = ++record->second.inARow;
  record->second.last = now;
  record->second.order = failureOrder_.insert(failureOrder_.end(), source);
  if (failures_.size() > kMaxSources) {
    failures_.erase(failureOrder_.front());
    failureOrder_.pop_front();
  }
  return inARow;
}

void PasswordChecks::sweep(Clock::time_point now) {
  while (!failureOrder_.empty()) {
    const auto oldest = failures_.find(failureOrder_.front());
    if (now - oldest->second.last < kForgetFailures) return;
    failures_.erase(oldest);
    failureOrder_.pop_front();
  }
}

void PasswordChecks::stop() {
  stopped_ = true;
  turns_.clear();
  waiting_.clear();
  answering_.clear();
}

}  // namespace zqnetd
