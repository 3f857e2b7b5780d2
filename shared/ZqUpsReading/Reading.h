// One reading of the whole catalogue, read so that the points that tell
// the power (Power.h) come first and are never left out.
#ifndef ZQUPSREADING_READING_H
#define ZQUPSREADING_READING_H

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Access.h"
#include "Power.h"
#include "ZqUpsPoints.h"

namespace zqread {

struct PointReading {
  Point point;
  std::optional<Value> value;  // when the point answered well
  Outcome outcome;             // why not, when it did not (or was not asked)
};

struct Reading {
  // Every catalogue point, in the catalogue's order whatever the order
  // read; those not asked because the reading ended early carry what
  // ended it.
  std::vector<PointReading> points;
  // What ended the reading early, or ok.
  Outcome end;
  // At least one exchange was answered.
  bool answered = false;
  // When readCatalogue began it.
  Clock::time_point started{};
  // False for a reading delivered once the points that tell the power
  // were read: the other points are still those of the reading before.
  bool complete = true;

  // The service was reached and answered: a point that answered badly does
  // not change that, nor does a deadline that cut the reading short.
  bool reached() const {
    return answered && (end.ok() || end.failure == Failure::OutOfTime);
  }
  const PointReading* entry(const char* name) const;
  const Value* value(const char* name) const;

  // Takes in a point's reading, in its catalogue place: whether it
  // answered, and whether what it met ends the reading.
  void add(PointReading entry);
  // The points not taken in yet carry `why`, which ends the reading unless
  // something ended it before.
  void finish(const Outcome& why);
};

// `last` with `fresh` in place of its entries for the same points: what a
// reading has found so far, shown with the rest as last read.
Reading carriedOver(const Reading& last, const std::vector<PointReading>& fresh);

// The points that tell the power (input_voltage, estimated_runtime):
// always read, first, each awaited up to the library's bound, since a
// slow answer about the power is still the truth about it.
bool tellsPower(const Point& point);
// The points a reading asks first: those that tell the power, then the
// currents that ups.status shows.
constexpr size_t kPowerGroup = 4;

// What a program that reads again and again has learnt of each point.
// The points that tell the power are never left out.  Another point that
// used up its share of a reading's time is asked last from then on, with
// the reading's whole time (at most the bound), so that a slow one is
// still shown; one that gave no answer even then is left out of the readings after, twice as many
// after each time in a row (2, 4, 8, at most 16).  Only readings in which
// the service answered something count: a service that answers nothing
// is not its points' fault.  Each point turning slow (over a second) or
// failing, and recovering, is said once.
class PointHealth {
 public:
  // `bound` stands for the library's own: what a point that tells the
  // power is given, and the most that one asked last is.
  PointHealth();
  explicit PointHealth(Clock::duration bound) : bound_(bound) {}

  Clock::duration bound() const { return bound_; }
  // Whether the reading now under way leaves `point` out; counts it.
  bool skip(const Point& point);
  // Whether `point` is asked after the others, with the bound.
  bool late(const Point& point) const;
  // What a point's exchange found and how long it took; the line to say
  // when that changes how the point stands, else empty.
  std::string note(const PointReading& entry, Clock::duration took);

 private:
  enum class Standing { Fine, Slow, Failing };
  struct Record {
    int silences = 0;  // in a row
    int left = 0;      // readings still to leave it out of
    bool late = false;
    Standing standing = Standing::Fine;
  };
  std::string stand(const std::string& name, Record* record, Standing now, std::string why);

  const Clock::duration bound_;
  std::map<std::string, Record> records_;  // at most the catalogue's points
};

// The catalogue in the order a reading asks it: the kPowerGroup points
// first.
const std::vector<Point>& readingOrder();

// Reads every catalogue point in readingOrder.  Alone, the whole reading
// ends by `access`'s deadline: the points that tell the power may take
// all the time left, each other point its share of it (that time over the
// points left, at least a second), so that one slow point leaves the rest
// theirs.  With `health`, the reading of a program that reads again and
// again: the points that tell the power are each awaited up to the bound
// whatever the deadline, and the deadline's time, counted from when they
// are in, is shared by the others; `health` leaves out and puts last the
// points it has learnt to, and learns from this reading, each line it has
// to say going to `say`.  A point that took its time is OutOfTime (its
// share) or Silent (the bound) and the reading goes on; only a failure
// that every later exchange would share (see Outcome::endsReading), two
// silent points in a row, or the deadline, stops it.  `onPoint`, when
// given, sees each point as soon as it is read (the points left unasked
// after such a failure are not shown to it).
Reading readCatalogue(const Access& access,
                      const std::function<void(const PointReading&)>& onPoint = {},
                      PointHealth* health = nullptr,
                      const std::function<void(const std::string&)>& say = {});

}  // namespace zqread

#endif
