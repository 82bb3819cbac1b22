#include "server_login.h"

#include "sentences.h"

namespace restorectl {
namespace {

// Wrong passwords typed at the prompt before restorectl gives up.
constexpr int kPasswordAttempts = 3;

}  // namespace

std::optional<std::vector<std::string>> logInToServer(Driver& driver) {
  if (!driver.send(initRequest(kServerMode))) {
    return std::nullopt;
  }
  const bool fromCommandLine = driver.settings().password.has_value();
  // The password to send when the service asks: the one given, or the last
  // one typed until the service rejects it. The agent asks again after an
  // accepted login when listing the clients failed, and must not make the
  // person type it again.
  std::optional<std::string> password = driver.settings().password;
  int rejected = 0;
  bool toldWaiting = false;
  bool sawUserNotFound = false;
  auto deadline = driver.now() + driver.settings().answerTimeout;

  while (true) {
    Event event = driver.next(deadline);
    if (event.kind == Event::Kind::TimedOut && sawUserNotFound) {
      driver.fail(kTimedOut, loginFailureSentence("user_not_found"));
      return std::nullopt;
    }
    if (event.kind != Event::Kind::Message) {
      driver.failFromEvent(event, "the login to the backup service",
                           driver.settings().answerTimeout);
      return std::nullopt;
    }
    const Reply& reply = event.reply;
    if (reply.op != "auth") {
      continue;
    }
    const std::string msg = textMember(reply.body, "msg");
    if (msg == "login_success") {
      break;
    }
    if (msg == "user_not_found") {
      // Repeated every 2 seconds while the service offers no login; only the
      // time-out ends the wait, so the deadline is not moved.
      sawUserNotFound = true;
      if (!toldWaiting) {
        driver.note("Waiting for the backup service to offer a login...");
        toldWaiting = true;
      }
      continue;
    }
    if (msg == "login_failed") {
      ++rejected;
      password.reset();
      if (!fromCommandLine && rejected < kPasswordAttempts) {
        driver.note("The password was not accepted.");
      }
      continue;
    }
    if (msg == "password_needed") {
      if (!password) {
        if (fromCommandLine || rejected >= kPasswordAttempts) {
          driver.endSession();
          driver.fail(kFailed, loginFailureSentence("login_failed"));
          return std::nullopt;
        }
        password = driver.console().askPassword("Password of the backup service: ");
        if (!password) {
          driver.endSession();
          driver.fail(kFailed,
                      "The backup service needs a password and none was given; use "
                      "--password-file when there is no terminal to type it on.");
          return std::nullopt;
        }
      }
      if (!driver.send(authRequest(*password))) {
        return std::nullopt;
      }
      deadline = driver.now() + driver.settings().answerTimeout;
      continue;
    }
    // "server_not_found" or a word this client does not know: the session
    // has given up.
    driver.fail(kFailed, loginFailureSentence(msg));
    return std::nullopt;
  }

  auto list = driver.await({"-u"}, "the list of backup clients");
  if (!list) {
    return std::nullopt;
  }
  auto clients = parseNameList(*list);
  if (!clients) {
    driver.endSession();
    driver.fail(kFailed, "The agent sent a list of backup clients that restorectl cannot read.");
    return std::nullopt;
  }
  return clients;
}

}  // namespace restorectl
