#pragma once
// The dialogue that logs in to the backup service, asking the user interface
// for the password when the service wants one.
#include <atomic>
#include <chrono>
#include <functional>
#include <string>

// What the dialogue needs from the session that runs it. The agent binds its
// message queues and process-wide flags (do_login); the dialogue itself holds
// no state, so that a program without the agent's session can link it.
struct LoginPrompt {
  // Hands one message (a JSON text) to the user interface.
  std::function<void(std::string text)> send;
  // Waits for the user interface's next message.
  std::function<std::string()> receive;
  // Never waits: true when the dialogue must end now, because the session was
  // replaced or because the message at the front satisfies `isAbort` (it is
  // then taken). Other messages stay for the password prompt.
  std::function<bool(const std::function<bool(const std::string&)>& isAbort)> abortWaiting;
  // Raised once a usable salt was seen; a later dialogue then asks for the
  // password even when its own salt fetch fails.
  std::atomic<bool>& foundSalt;
  // Raised each time the password is asked for.
  std::atomic<bool>& passwordAsked;
  // Optional: how long to wait before a password given is tried, so that
  // one who keeps guessing is slowed down. The wait comes before the try,
  // whatever its outcome: were only wrong ones answered late, an early
  // answer would give a right guess away. A "start-over" or a newer session
  // (abortWaiting) ends the wait, and the dialogue with it.
  std::function<std::chrono::milliseconds()> waitBeforeTrying = {};
  // Optional: told of each password the service refused, before the user
  // interface learns of it.
  std::function<void()> wrongPassword = {};
};

// Returns once logged in (abort false, or as the caller set it) or when the
// user interface started something else (abort true). Always true.
bool runLoginDialogue(const LoginPrompt& prompt, bool& abort);

// runLoginDialogue on the running session's message queues and flags; defined
// in login_dialogue_binding.cpp (library protocol_session).
bool do_login(bool& abort);
