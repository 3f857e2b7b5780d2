// One client's conversation in the network UPS protocol: a request line
// and the state every client shares in, turned into the reply's bytes.
// No input or output; the server runs what a reply waits for.
#ifndef ZQUPSNETD_SESSION_H
#define ZQUPSNETD_SESSION_H

#include <deque>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Point.h"
#include "Request.h"
#include "Users.h"
#include "Variables.h"

namespace zqnetd {

// The outcomes of the writes asked for with tracking on, by their ids; the
// oldest are forgotten first.
class Tracked {
 public:
  static constexpr size_t kKept = 1024;
  // A new id for a write's outcome, pending until settled.
  std::string add();
  // Nothing for an id forgotten.
  void settle(std::string_view id, bool held);
  // "PENDING", "SUCCESS", "ERR FAILED", or null for an id never given or
  // forgotten.
  const char* outcome(std::string_view id) const;

 private:
  enum class State { Pending, Held, Failed };
  std::map<std::string, State, std::less<>> outcomes_;
  std::deque<std::string> order_;  // oldest first
};

struct Write;

// What the clients share; touched by the network thread only.
struct Shared {
  std::string upsName = "ups";
  std::string description;  // empty: the model read, else a fixed text
  Clock::duration staleAfter = std::chrono::seconds(15);
  const Users* users = nullptr;
  std::shared_ptr<const Snapshot> snapshot;
  std::string lastModel;        // the last model read, for the description
  bool forcedShutdown = false;  // FSD, until the server restarts
  zqjournal::Journal* journal = nullptr;  // the power journal kept, if any
  std::multiset<std::string> logins;  // the addresses of the clients logged in
  bool tlsOffered = false;   // STARTTLS is answered OK
  bool tlsRequired = false;  // no credentials or orders before STARTTLS
  // LIST VAR's or LIST RW's lines as last made, copied while what they
  // show is unchanged.
  struct Listing {
    std::shared_ptr<const Snapshot> snapshot;
    bool forcedShutdown = false;
    bool writableOnly = false;
    std::string ups;  // the UPS's name in the lines
    std::string lines;
  };
  Listing listing;
  Tracked tracked;

  // The snapshot's values are current: read in time from a service reached.
  bool fresh(Clock::time_point now) const;
  void publish(std::shared_ptr<const Snapshot> next);
  // A write of `point` verified: it read back as `value`, which shows
  // until the next reading, begun after it.
  void writeVerified(const zqread::Point& point, const zqread::Value& value);
  std::string upsDescription() const;
};

// A write that a SET VAR waits for.
struct Write {
  std::string variable;  // as the protocol names it
  zqread::Point point;
  zqread::Bytes bytes;
  std::string wanted;  // the value as it reads back
};

struct Reply {
  Reply() = default;
  explicit Reply(std::string_view lines) : text(lines) {}

  // Whole lines, each ending in LF.  The session's own bytes, valid until
  // it is asked again.
  std::string_view text;
  bool close = false;
  // After the reply, the connection reads nothing more in the clear and
  // begins the TLS handshake.
  bool startTls = false;
  enum class Wait { None, Password, Write } wait = Wait::None;
  Write write;  // for Wait::Write
};

class Session {
 public:
  Session(Shared* shared, std::string address) : shared_(shared), address_(std::move(address)) {}
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The reply to one request line (its LF taken off).  A reply that waits
  // for the password check is asked again, the same line, once
  // passwordChecked has the answer; one that waits for a write is
  // answered by written().
  Reply handle(std::string_view line, Clock::time_point now);
  // The username and password to check, for Wait::Password.
  const std::string& username() const { return username_; }
  const std::string& password() const { return *password_; }
  void passwordChecked(std::optional<unsigned> rights) { rights_ = rights.value_or(0); checked_ = true; }
  Reply written(bool held);
  // The reply to a write accepted whose outcome is not known yet: OK, or
  // with tracking an id whose outcome is pending, which `trackingId` gets.
  Reply sent(std::string* trackingId);
  // LOGIN done, or a right password given (a client that only writes
  // need not log in).
  bool signedIn() const { return loggedIn_ || (checked_ && rights_ != 0); }
  // The last reply's bytes are copied or sent: a large reply's buffer is
  // let go, since most connections are idle most of the time.
  void replyTaken();

 private:
  // A row of the command table: a request's first word (or two), the
  // words it takes and what must come before it.
  struct Command;
  // The rows in order: a subcommand's before its command's.
  static const std::vector<Command>& commands();
  // The row for `words`; null for a command not known.
  static const Command* commandFor(const Words& words);
  Reply dispatch(const Words& words, Clock::time_point now);
  Reply version(const Words& words, Clock::time_point now);
  Reply protocolVersion(const Words& words, Clock::time_point now);
  Reply help(const Words& words, Clock::time_point now);
  Reply list(const Words& words, Clock::time_point now);
  Reply get(const Words& words, Clock::time_point now);
  Reply setVariable(const Words& words, Clock::time_point now);
  Reply setTracking(const Words& words, Clock::time_point now);
  Reply tracking(const Words& words);
  Reply instantCommand(const Words& words, Clock::time_point now);
  Reply login(const Words& words, Clock::time_point now);
  Reply logout(const Words& words, Clock::time_point now);
  Reply primary(const Words& words, Clock::time_point now);
  Reply forcedShutdown(const Words& words, Clock::time_point now);
  Reply setUsername(const Words& words, Clock::time_point now);
  Reply setPassword(const Words& words, Clock::time_point now);
  Reply startTls(const Words& words, Clock::time_point now);
  // An error reply when the credentials or rights `command` needs are
  // missing; a reply that waits when the password is still to be checked.
  std::optional<Reply> refuseUnless(const Command& command);
  bool isUps(std::string_view name) const;
  // Replies made in out_, whose capacity up to kKeptReply is kept from
  // one reply to the next: a line, or words with a space between each two.
  Reply lineReply(std::string_view line);
  Reply lineReply(std::initializer_list<std::string_view> words);
  Reply error(const char* word);
  // `head`'s words and the quoted `value` as one line, cut to fit.
  Reply valueReply(std::initializer_list<std::string_view> head, std::string_view value);
  // BEGIN LIST `head` in out_, its lines appended by the caller, then END LIST.
  void beginList(std::string_view head);
  Reply endList(std::string_view head);
  // The lines of LIST VAR, or of LIST RW when `writableOnly`.
  const std::string& valueLines(std::string_view ups, bool writableOnly);

  static constexpr size_t kKeptReply = 256;

  Shared* shared_;
  std::string address_;
  std::string username_;
  std::optional<std::string> password_;
  bool checked_ = false;
  unsigned rights_ = 0;
  bool loggedIn_ = false;
  bool encrypted_ = false;  // from OK STARTTLS on
  bool tracking_ = false;   // SET VAR answers with an id to ask GET TRACKING
  Request request_;
  std::string out_;  // the reply's bytes
  std::string value_;  // a value made for the reply
};

}  // namespace zqnetd

#endif
