#pragma once
// The conversation with the agent that every command shares: sending,
// waiting with a time-out for a given kind of answer, leftovers from earlier
// sessions, --json output, and reporting how it failed.
#include <chrono>
#include <functional>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "console.h"
#include "messages.h"
#include "transport.h"

namespace restorectl {

enum ExitCode : int {
  kSuccess = 0,
  kFailed = 1,        // the agent reported a failure, a drive failed, the user declined
  kUsage = 2,         // wrong command line
  kNoConnection = 3,  // could not connect, or the connection was lost
  kTimedOut = 4,      // the agent did not answer in time
  kInterrupted = 130,
};

using Clock = std::chrono::steady_clock;

struct Settings {
  // Longest wait for any answer, and for the whole login dialogue between
  // two passwords.
  std::chrono::milliseconds answerTimeout{std::chrono::seconds(120)};
  // Longest silence between two progress messages of a running restore.
  std::chrono::milliseconds progressTimeout{std::chrono::seconds(600)};
  // Messages queued for an earlier client arrive right after connecting; they
  // are set aside until none has come for `settleQuiet`, at most `settleLimit`.
  std::chrono::milliseconds settleQuiet{std::chrono::milliseconds(400)};
  std::chrono::milliseconds settleLimit{std::chrono::seconds(2)};
  // The server session lives on for 2 seconds after its last progress
  // message, and the agent counts it as running until its thread ends: an
  // "init" in that time makes the agent push a "start-over" that only the new
  // session reads, ending it at once. A server restore returns after this
  // wait so that the next command gets a session that lives.
  std::chrono::milliseconds sessionEndWait{std::chrono::seconds(3)};
  std::optional<std::string> password;  // from --password or --password-file
  bool assumeYes = false;
  bool json = false;      // print the raw messages instead of readable output
  bool terminal = false;  // standard output is a terminal: redraw progress bars in place
  std::function<Clock::time_point()> now = [] { return Clock::now(); };
};

struct Event {
  // Busy: the agent runs a restore started elsewhere, and this session waits
  // for it to end.
  enum class Kind { Message, TimedOut, Closed, Interrupted, Busy };
  Kind kind = Kind::TimedOut;
  Reply reply;         // Message
  std::string reason;  // Closed
};

class Driver {
public:
  Driver(Transport& transport, Console& console, std::ostream& out, std::ostream& err,
         Settings settings);

  const Settings& settings() const { return settings_; }
  Console& console() { return console_; }
  Clock::time_point now() const { return settings_.now(); }
  bool readable() const { return !settings_.json; }
  // Readable results; nothing is written here in --json mode.
  std::ostream& out() { return readable() ? out_ : discard_; }
  // Notes while waiting ("waiting for the backup service..."), not in --json mode.
  void note(const std::string& text);
  // Text a person must see even in --json mode (a plan to confirm, an
  // outcome): standard output normally, the error stream in --json mode so
  // that standard output holds only the agent's messages.
  std::ostream& prose() { return readable() ? out_ : err_; }

  // Sets aside what arrives right after connecting (see Settings).
  void settle();

  // False when the connection is gone; the failure is then reported.
  bool send(const std::string& text);

  // The next JSON message before the deadline. Texts that are not JSON
  // objects are skipped. In --json mode every message is printed raw.
  Event next(Clock::time_point deadline);

  // Lets `duration` pass, taking (and in --json mode printing) whatever
  // arrives; ends early when the connection closes or on Ctrl-C.
  void drainFor(std::chrono::milliseconds duration);

  // Waits up to the answer time-out for a message whose "op" is one of `ops`,
  // skipping all others. On a time-out, a lost connection or Ctrl-C the
  // failure is reported (`waitingFor` names the answer) and nullopt returned.
  std::optional<Reply> await(std::initializer_list<std::string_view> ops,
                             const std::string& waitingFor);

  // Ends the agent's session while it waits for the next operation. Sent only
  // then: a "start-over" left in the queue would end the next session.
  void endSession();

  // Reports a failure as a sentence on the error stream; returns `code`.
  int fail(ExitCode code, const std::string& sentence);
  // Reports the failure of the last send, next or await; returns its code.
  int failure() const { return failure_; }
  int failFromEvent(const Event& event, const std::string& waitingFor,
                    std::chrono::milliseconds waited, bool duringRestore = false);

private:
  Transport& transport_;
  Console& console_;
  std::ostream& out_;
  std::ostream& err_;
  std::ostream discard_{nullptr};
  Settings settings_;
  int failure_ = kFailed;
};

}  // namespace restorectl
