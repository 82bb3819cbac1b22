#include "driver.h"

#include <algorithm>

#include "sentences.h"

namespace restorectl {
namespace {

// Waits are cut into slices this long so that Ctrl-C is noticed promptly.
constexpr std::chrono::milliseconds kSlice{250};

std::chrono::milliseconds until(Clock::time_point deadline, Clock::time_point now) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
}

}  // namespace

Driver::Driver(Transport& transport, Console& console, std::ostream& out, std::ostream& err,
               Settings settings)
    : transport_(transport), console_(console), out_(out), err_(err),
      settings_(std::move(settings)) {}

void Driver::note(const std::string& text) {
  if (readable()) {
    err_ << text << '\n';
  }
}

void Driver::settle() {
  const auto end = now() + settings_.settleLimit;
  while (true) {
    const auto left = until(end, now());
    if (left <= std::chrono::milliseconds::zero()) {
      return;
    }
    const Incoming incoming = transport_.receive(std::min(left, settings_.settleQuiet));
    if (incoming.kind != Incoming::Kind::Message) {
      return;
    }
  }
}

bool Driver::send(const std::string& text) {
  if (transport_.send(text)) {
    return true;
  }
  fail(kNoConnection, connectionLostSentence(transport_.closeReason(), false));
  return false;
}

Event Driver::next(Clock::time_point deadline) {
  while (true) {
    if (console_.interrupted()) {
      return {Event::Kind::Interrupted, {}, {}};
    }
    const auto left = until(deadline, now());
    if (left <= std::chrono::milliseconds::zero()) {
      return {Event::Kind::TimedOut, {}, {}};
    }
    Incoming incoming = transport_.receive(std::min(left, kSlice));
    if (incoming.kind == Incoming::Kind::Closed) {
      return {Event::Kind::Closed, {}, incoming.text};
    }
    if (incoming.kind == Incoming::Kind::TimedOut) {
      continue;
    }
    if (settings_.json) {
      out_ << incoming.text;
      if (incoming.text.empty() || incoming.text.back() != '\n') {
        out_ << '\n';
      }
      out_.flush();
    }
    if (auto reply = parseReply(incoming.text)) {
      if (reply->op == "busy" && textMember(reply->body, "msg") == "restore_running") {
        return {Event::Kind::Busy, std::move(*reply), {}};
      }
      return {Event::Kind::Message, std::move(*reply), {}};
    }
  }
}

void Driver::drainFor(std::chrono::milliseconds duration) {
  const auto deadline = now() + duration;
  while (next(deadline).kind == Event::Kind::Message) {
  }
}

std::optional<Reply> Driver::await(std::initializer_list<std::string_view> ops,
                                   const std::string& waitingFor) {
  const auto deadline = now() + settings_.answerTimeout;
  while (true) {
    Event event = next(deadline);
    if (event.kind != Event::Kind::Message) {
      failFromEvent(event, waitingFor, settings_.answerTimeout);
      return std::nullopt;
    }
    if (std::find(ops.begin(), ops.end(), event.reply.op) != ops.end()) {
      return std::move(event.reply);
    }
  }
}

void Driver::endSession() { (void)transport_.send(startOverRequest()); }

int Driver::fail(ExitCode code, const std::string& sentence) {
  err_ << sentence << '\n';
  err_.flush();
  failure_ = code;
  return code;
}

int Driver::failFromEvent(const Event& event, const std::string& waitingFor,
                          std::chrono::milliseconds waited, bool duringRestore) {
  switch (event.kind) {
    case Event::Kind::TimedOut:
      return fail(kTimedOut, timeoutSentence(waitingFor, waited));
    case Event::Kind::Closed:
      return fail(kNoConnection, connectionLostSentence(event.reason, duringRestore));
    case Event::Kind::Interrupted:
      return fail(kInterrupted, "Interrupted.");
    case Event::Kind::Busy:
      // The session waiting behind the restore ends as soon as it starts.
      endSession();
      return fail(kFailed, "A restore started elsewhere is running; the agent runs one at a time. "
                           "\"restorectl watch\" follows it. Nothing was done.");
    case Event::Kind::Message:
      break;
  }
  return fail(kFailed, "The agent sent an unexpected message.");
}

}  // namespace restorectl
