#include "Reading.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ZqUpsInternal.h"

namespace zqread {

const PointReading* Reading::entry(const char* name) const {
  for (const PointReading& entry : points)
    if (entry.point.name == name) return &entry;
  return nullptr;
}

const Value* Reading::value(const char* name) const {
  const PointReading* found = entry(name);
  return found != nullptr && found->value ? &*found->value : nullptr;
}

namespace {

// A second is more than any service that answers at all needs for one
// point, and few enough that a hung point leaves the rest their time.
constexpr Clock::duration kMinShare = std::chrono::seconds(1);
// Slower than this is worth saying, though it is an answer.
constexpr Clock::duration kSlow = std::chrono::seconds(1);
constexpr int kMaxSkipped = 16;
const char* const kPowerPoints[kPowerGroup] = {"input_voltage", "estimated_runtime",
                                               "charging_current", "discharging_current"};

size_t rowOf(const Point& point) {
  const std::vector<Point>& all = catalogue();
  for (size_t row = 0; row < all.size(); ++row)
    if (all[row].index == point.index && all[row].offset == point.offset) return row;
  return all.size();
}

}  // namespace

void Reading::add(PointReading entry) {
  // A bad answer is an answer: the exchange itself went through.
  if (entry.outcome.ok() || entry.outcome.failure == Failure::BadAnswer) answered = true;
  if (entry.outcome.endsReading() && end.ok()) end = entry.outcome;
  const size_t row = rowOf(entry.point);
  auto at = points.begin();
  while (at != points.end() && rowOf(at->point) < row) ++at;
  points.insert(at, std::move(entry));
}

void Reading::finish(const Outcome& why) {
  const std::vector<Point>& all = catalogue();
  if (points.size() >= all.size()) return;
  if (end.ok()) end = why;
  std::vector<PointReading> whole;
  auto taken = points.begin();
  for (const Point& point : all) {
    if (taken != points.end() && rowOf(taken->point) == rowOf(point))
      whole.push_back(std::move(*taken++));
    else
      whole.push_back(PointReading{point, std::nullopt, end});
  }
  points = std::move(whole);
}

PointHealth::PointHealth() : bound_(zqups::kCallBudget) {}

bool PointHealth::skip(const Point& point) {
  const auto found = records_.find(point.name);
  if (found == records_.end() || found->second.left == 0) return false;
  --found->second.left;
  return true;
}

bool PointHealth::late(const Point& point) const {
  const auto found = records_.find(point.name);
  return found != records_.end() && found->second.late && !tellsPower(point);
}

std::string PointHealth::note(const PointReading& entry, Clock::duration took) {
  const std::string& name = entry.point.name;
  const auto seconds = std::chrono::duration<double>(took).count();
  char tookText[32];
  std::snprintf(tookText, sizeof tookText, "%.1f s", seconds);
  switch (entry.outcome.failure) {
    case Failure::None: {
      const bool slow = took > kSlow;
      Record& record = records_[name];
      record.silences = 0;
      record.late = slow && record.late;
      return stand(name, &record, slow ? Standing::Slow : Standing::Fine,
                   std::string("slow, answered in ") + tookText);
    }
    case Failure::BadAnswer: {
      Record& record = records_[name];
      record.silences = 0;
      return stand(name, &record, Standing::Failing, "failing: " + entry.outcome.why);
    }
    case Failure::OutOfTime: {
      Record& record = records_[name];
      record.late = true;
      return stand(name, &record, Standing::Slow,
                   std::string("slow, no answer in its ") + tookText +
                       " share; asked last from now on");
    }
    case Failure::Silent: {
      Record& record = records_[name];
      record.late = true;
      record.silences = std::min(record.silences + 1, 4);
      record.left = tellsPower(entry.point) ? 0 : std::min(1 << record.silences, kMaxSkipped);
      return stand(name, &record, Standing::Failing,
                   std::string("failing: no answer in ") + tookText);
    }
    default:
      return "";
  }
}

std::string PointHealth::stand(const std::string& name, Record* record, Standing now,
                               std::string why) {
  const Standing was = record->standing;
  record->standing = now;
  if (now == Standing::Fine) {
    records_.erase(name);
    return was == now ? "" : name + ": answers in time again";
  }
  return was == now ? "" : name + ": " + why;
}

bool tellsPower(const Point& point) {
  return point.name == kPowerPoints[0] || point.name == kPowerPoints[1];
}

Reading carriedOver(const Reading& last, const std::vector<PointReading>& fresh) {
  Reading reading;
  reading.complete = false;
  for (const PointReading& entry : fresh) reading.add(entry);
  for (const Point& point : catalogue()) {
    if (reading.entry(point.name.c_str()) != nullptr) continue;
    const PointReading* before = last.entry(point.name.c_str());
    reading.points.push_back(before != nullptr ? *before
                                               : PointReading{point, std::nullopt,
                                                              Outcome{Failure::OutOfTime, 0,
                                                                      "not read yet"}});
  }
  std::stable_sort(reading.points.begin(), reading.points.end(),
                   [](const PointReading& a, const PointReading& b) {
                     return rowOf(a.point) < rowOf(b.point);
                   });
  return reading;
}

const std::vector<Point>& readingOrder() {
  static const std::vector<Point> order = [] {
    std::vector<Point> points;
    for (const char* name : kPowerPoints) points.push_back(*resolvePoint(name, Kind::Hex));
    for (const Point& point : catalogue())
      if (std::find_if(points.begin(), points.end(), [&](const Point& taken) {
            return taken.name == point.name;
          }) == points.end())
        points.push_back(point);
    return points;
  }();
  return order;
}

namespace {

// A reading under way: which points it asks, when, and in which order.
class CatalogueRead {
 public:
  CatalogueRead(const Access& access, const std::function<void(const PointReading&)>& onPoint,
                PointHealth* health, const std::function<void(const std::string&)>& say)
      : access_(access), onPoint_(onPoint), health_(health), say_(say) {
    reading_.started = Clock::now();
  }

  Reading run() {
    std::vector<Point> inTurn, late;
    for (const Point& point : readingOrder()) {
      if (health_ != nullptr && !tellsPower(point) && health_->skip(point))
        take(PointReading{point, std::nullopt,
                          Outcome{Failure::Skipped, 0, "left out: it did not answer lately"}},
             {});
      else
        (health_ != nullptr && health_->late(point) ? late : inTurn).push_back(point);
    }
    for (size_t at = 0; at < inTurn.size() && going(); ++at) {
      const Point& point = inTurn[at];
      if (tellsPower(point))
        ask(point, health_ != nullptr ? Clock::now() + health_->bound() : access_.deadline,
            health_ != nullptr);
      else if (Clock::now() < othersDeadline())
        ask(point, shareOf(othersDeadline(), inTurn.size() - at), false);
      else
        break;
    }
    // A slow point makes the reading longer rather than going unshown.
    for (const Point& point : late)
      if (going()) ask(point, Clock::now() + lateTime(), true);
    reading_.finish(reading_.end.ok() ? Outcome{Failure::OutOfTime, 0, "not read in time"}
                                      : reading_.end);
    if (health_ != nullptr && reading_.answered) learn();
    return std::move(reading_);
  }

 private:
  bool going() const { return reading_.end.ok() && !ranOut_; }

  // Read again and again, the other points share the reading's time after
  // what the points that tell the power took.
  Clock::time_point othersDeadline() const {
    if (health_ == nullptr || access_.deadline >= Clock::time_point::max() - powerTook_)
      return access_.deadline;
    return access_.deadline + powerTook_;
  }

  // What a point asked last may take: the reading's whole time, at most
  // the bound, so that a hung one holds the next reading up no longer
  // than a reading may last.
  Clock::duration lateTime() const {
    if (access_.deadline == Clock::time_point::max()) return health_->bound();
    return std::min(health_->bound(), access_.deadline - reading_.started);
  }

  // The deadline of a point's exchange, `points` of them left.  A share
  // past the library's own bound leaves that bound, whose time-out says the
  // service is silent, not the point.
  static Clock::time_point shareOf(Clock::time_point deadline, size_t points) {
    const Clock::time_point now = Clock::now();
    const Clock::duration left = deadline - now;
    Clock::duration share = left / static_cast<Clock::duration::rep>(std::max<size_t>(points, 1));
    share = std::max(share, std::min(left, kMinShare));
    return share >= left || share >= zqups::kCallBudget ? deadline : now + share;
  }

  // `withBound`: the point has the bound to answer in, its own or the
  // library's, rather than a share of the reading's time.
  void ask(const Point& point, Clock::time_point deadline, bool withBound) {
    Access own = access_;
    own.deadline = deadline;
    PointReading entry{point, std::nullopt, Outcome{}};
    const Clock::time_point start = Clock::now();
    Value value;
    entry.outcome = readValue(point, own, &value);
    const Clock::duration took = Clock::now() - start;
    if (tellsPower(point) && health_ != nullptr) powerTook_ += took;
    if (entry.outcome.ok()) entry.value = std::move(value);
    const bool silent = entry.outcome.failure == Failure::Unreachable
                            ? entry.outcome.result == zqups::systemCode(ETIMEDOUT)
                            : withBound && entry.outcome.failure == Failure::OutOfTime;
    // Two in a row: the service is silent, not the point.
    if (silent && !lastSilent_)
      entry.outcome = Outcome{Failure::Silent, entry.outcome.result, "no answer in time"};
    else if (silent)
      entry.outcome = Outcome{Failure::Unreachable, entry.outcome.result,
                              "the service does not answer"};
    lastSilent_ = silent;
    // A point that had the rest of the reading's time used it up.
    ranOut_ = !withBound && entry.outcome.failure == Failure::OutOfTime &&
              deadline == othersDeadline();
    take(std::move(entry), took);
  }

  void take(PointReading entry, Clock::duration took) {
    if (onPoint_) onPoint_(entry);
    if (health_ != nullptr) found_.emplace_back(entry, took);
    reading_.add(std::move(entry));
  }

  void learn() {
    for (const auto& [entry, took] : found_) {
      const std::string line = health_->note(entry, took);
      if (!line.empty() && say_) say_(line);
    }
  }

  const Access access_;
  const std::function<void(const PointReading&)>& onPoint_;
  PointHealth* const health_;
  const std::function<void(const std::string&)>& say_;
  Reading reading_;
  std::vector<std::pair<PointReading, Clock::duration>> found_;
  Clock::duration powerTook_{};
  bool ranOut_ = false;
  bool lastSilent_ = false;
};

}  // namespace

Reading readCatalogue(const Access& access,
                      const std::function<void(const PointReading&)>& onPoint,
                      PointHealth* health, const std::function<void(const std::string&)>& say) {
  return CatalogueRead(access, onPoint, health, say).run();
}

}  // namespace zqread
