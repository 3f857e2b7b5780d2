#include "Guard.h"

#include <boost/asio/post.hpp>

#include <algorithm>

namespace zqnetd {

namespace {

constexpr auto kFirstDelay = std::chrono::milliseconds(100);
constexpr auto kLongestDelay = std::chrono::seconds(10);
// A source's failures are forgotten this long after its last.
constexpr auto kForgetFailures = std::chrono::minutes(10);
// Users remembered as having logged in, at most.
constexpr size_t kMaxGood = 1024;

template <typename Queue>
bool eraseId(Queue& queue, PasswordChecks::Id id) {
  const auto found = std::find_if(queue.begin(), queue.end(),
                                  [id](const auto& check) { return check.id == id; });
  if (found == queue.end()) return false;
  queue.erase(found);
  return true;
}

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

Clock::duration PasswordChecks::delayAfter(unsigned failures) {
  if (failures == 0) return Clock::duration::zero();
  const unsigned doublings = std::min(failures - 1, 16u);
  return std::min<Clock::duration>(kFirstDelay * (1u << doublings), kLongestDelay);
}

PasswordChecks::Id PasswordChecks::check(const std::string& source, const std::string& address,
                                         std::string name, std::string password, Done done) {
  Check check{++lastId_, source, address, std::move(name), std::move(password), std::move(done)};
  const Id id = check.id;
  if (trusted(source, check.name)) {
    trusted_.push_back(std::move(check));
  } else {
    Source& from = sources_[source];
    from.waiting.push_back(std::move(check));
    if (!from.inTurn) turns_.push_back(source);
    from.inTurn = true;
  }
  next();
  return id;
}

void PasswordChecks::cancel(Id id) {
  if (running_ && running_->id == id) {
    running_->done = nullptr;
    return;
  }
  if (eraseId(trusted_, id)) return;
  for (auto& [source, from] : sources_)
    if (eraseId(from.waiting, id)) return;
}

bool PasswordChecks::trusted(const std::string& source, const std::string& name) const {
  return good_.count({source, name}) != 0;
}

// The next check when none runs: a trusted one, else one of the source
// that failed least of those whose delay is over, the first in turn of
// them; or a wait for the first delay to end.
void PasswordChecks::next() {
  if (running_ || stopped_) return;
  if (!trusted_.empty()) {
    Check check = std::move(trusted_.front());
    trusted_.pop_front();
    return run(std::move(check));
  }
  const Clock::time_point now = Clock::now();
  std::optional<Clock::time_point> soonest;
  auto chosen = turns_.end();
  for (auto turn = turns_.begin(); turn != turns_.end();) {
    Source& from = sources_[*turn];
    from.inTurn = !from.waiting.empty();
    if (!from.inTurn) {
      turn = turns_.erase(turn);
      continue;
    }
    if (from.ready() > now)
      soonest = std::min(soonest.value_or(from.ready()), from.ready());
    else if (chosen == turns_.end() || from.failures < sources_[*chosen].failures)
      chosen = turn;
    ++turn;
  }
  if (chosen != turns_.end()) {
    const std::string source = std::move(*chosen);
    turns_.erase(chosen);
    Source& from = sources_[source];
    Check check = std::move(from.waiting.front());
    from.waiting.pop_front();
    from.inTurn = !from.waiting.empty();
    if (from.inTurn) turns_.push_back(source);
    return run(std::move(check));
  }
  if (!soonest) return;
  timer_.expires_at(*soonest);
  timer_.async_wait([this](const boost::system::error_code& ec) {
    if (!ec) next();
  });
}

void PasswordChecks::run(Check check) {
  running_ = std::move(check);
  worker_->post([this, users = users_, name = running_->name, password = running_->password] {
    const auto rights = users->check(name, password);
    asio::post(io_, [this, rights] { finished(rights); });
  });
}

void PasswordChecks::finished(std::optional<unsigned> rights) {
  Check check = std::move(*running_);
  running_.reset();
  remember(check, rights.has_value());
  if (check.done) check.done(rights);
  next();
}

void PasswordChecks::remember(const Check& check, bool good) {
  const Clock::time_point now = Clock::now();
  const std::pair<std::string, std::string> who{check.source, check.name};
  Source& from = sources_[check.source];
  if (good) {
    from.failures = 0;
    if (good_.size() >= kMaxGood && good_.count(who) == 0)
      good_.erase(std::min_element(good_.begin(), good_.end(), [](const auto& a, const auto& b) {
        return a.second < b.second;
      }));
    good_[who] = now;
    return;
  }
  ++from.failures;
  from.lastFailure = now;
  good_.erase(who);
  log_->note(now, "failed login from", check.address, "", "as " + check.name);
}

void PasswordChecks::sweep(Clock::time_point now) {
  for (auto source = sources_.begin(); source != sources_.end();) {
    const bool quiet = !source->second.inTurn &&
                       now - source->second.lastFailure >= kForgetFailures;
    source = quiet ? sources_.erase(source) : std::next(source);
  }
}

void PasswordChecks::stop() {
  stopped_ = true;
  timer_.cancel();
  trusted_.clear();
  turns_.clear();
  sources_.clear();
  if (running_) running_->done = nullptr;
}

}  // namespace zqnetd
