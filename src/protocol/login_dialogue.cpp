#include "protocol/login_dialogue.h"

#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "protocol/listing.h"
#include "protocol/login.h"
#include "support/log_line.h"
#include "support/pause.h"

namespace {

const char* const loginUser = "admin";

void sendAuth(const LoginPrompt& prompt, const std::string& msg) {
  Json::Value message;
  message["op"] = "auth";
  message["msg"] = msg;
  prompt.send(message.toStyledString());
}

// The message as a JSON object; a null value for text that is not one.
Json::Value parseMessage(const std::string& text) {
  Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errors;
  try {
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors) || !value.isObject()) {
      return Json::Value();
    }
  } catch (const std::exception&) {
    // The reader throws on nesting deeper than its limit; such a text is no
    // answer either, and must not end the session.
    return Json::Value();
  }
  return value;
}

std::string stringMember(const Json::Value& message, const char* name) {
  if (!message.isObject()) {
    return std::string();
  }
  const Json::Value& member = message[name];
  return member.isString() ? member.asString() : std::string();
}

bool isAbortRequest(const std::string& text) {
  return stringMember(parseMessage(text), "op").find("start") != std::string::npos;
}

// A long wait is taken in slices of this, so that an abort ends it promptly.
constexpr std::chrono::milliseconds kWaitSlice{250};

// True when the dialogue must end (see LoginPrompt::abortWaiting) before
// `duration` has passed.
bool abortedWhileWaiting(const LoginPrompt& prompt, std::chrono::milliseconds duration) {
  while (duration > std::chrono::milliseconds::zero()) {
    if (prompt.abortWaiting(isAbortRequest)) {
      return true;
    }
    const std::chrono::milliseconds slice = std::min(duration, kWaitSlice);
    pauseFor(slice);
    duration -= slice;
  }
  return prompt.abortWaiting(isAbortRequest);
}

bool anyUsable(const std::vector<SPasswordSalt>& salts) {
  for (const SPasswordSalt& entry : salts) {
    if (entry.usable()) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool runLoginDialogue(const LoginPrompt& prompt, bool& abort) {
  int err = 0;
  if (tryLogin("", "", {}, &err)) {
    return true;
  }
  // A service that gave no answer to the login may still serve the listing:
  // then it needs no login at all.
  if (err == 1) {
    int listErr = 0;
    if (!getBackupclients(&listErr).empty() && listErr == 0) {
      return true;
    }
  }
  for (;;) {
    int saltErr = 0;
    const std::vector<SPasswordSalt> salts = getSalt(loginUser, &saltErr);
    if (anyUsable(salts)) {
      prompt.foundSalt = true;
    }
    if (!prompt.foundSalt) {
      sendAuth(prompt, "user_not_found");
      pauseFor(std::chrono::milliseconds(2000));
      // Without a salt the service may never answer; a waiting "start-over"
      // must still end the dialogue, or a new session's request to end this
      // one would be taken by the new session instead. Other messages stay
      // queued for the password prompt.
      if (prompt.abortWaiting(isAbortRequest)) {
        logLine("abort is true");
        abort = true;
        return true;
      }
      continue;
    }
    prompt.passwordAsked = true;
    sendAuth(prompt, "password_needed");
    const Json::Value message = parseMessage(prompt.receive());
    const std::string op = stringMember(message, "op");
    logLine("op recvd  " + op);
    if (op == "auth") {
      const std::chrono::milliseconds wait =
          prompt.waitBeforeTrying ? prompt.waitBeforeTrying() : std::chrono::milliseconds::zero();
      if (wait > std::chrono::milliseconds::zero()) {
        logLine("Too many wrong passwords; waiting " + std::to_string(wait.count()) + " ms before trying this one");
        if (abortedWhileWaiting(prompt, wait)) {
          logLine("abort is true");
          abort = true;
          return true;
        }
      }
      const std::string pass = stringMember(message, "pass");
      int loginErr = 0;
      if (!pass.empty() && tryLogin(loginUser, pass, salts, &loginErr)) {
        return true;
      }
      // Only a refusal by the service is a wrong guess: an empty password is
      // never sent, and a service out of reach judged nothing.
      if (!pass.empty() && loginErr == 0 && prompt.wrongPassword) {
        prompt.wrongPassword();
      }
      sendAuth(prompt, "login_failed");
    } else if (op.find("start") != std::string::npos) {
      logLine("abort is true");
      abort = true;
      return true;
    } else {
      abort = false;
    }
  }
}
