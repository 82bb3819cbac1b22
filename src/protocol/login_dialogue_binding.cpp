// The login dialogue bound to the running session: the user interface is
// reached through the message queues, and the flags are the process-wide ones
// that outlive a single dialogue. Wrong passwords count against the address
// of the peer that started the session, with its wrong tokens; a peer on this
// machine counts too, as a password guessed from the console's browser is
// still a guess.
#include <chrono>

#include "control/failure_throttle.h"
#include "control/queues.h"
#include "control/session_peer.h"
#include "control/shared_state.h"
#include "protocol/login_dialogue.h"

bool do_login(bool& abort) {
  const LoginPrompt prompt{
      .send = [](std::string text) { resp_queue.push(std::move(text)); },
      .receive = [] { return GetMsgFromQue(); },
      // A session replaced by a newer "init" ends here too, whether or not
      // its "start-over" has been queued yet.
      .abortWaiting =
          [](const std::function<bool(const std::string&)>& isAbort) {
            return sessionSuperseded() || msg_queue.takeFrontIf(isAbort).has_value();
          },
      .foundSalt = found_salt,
      .passwordAsked = isConnected,
      .waitBeforeTrying =
          [] {
            return std::chrono::ceil<std::chrono::milliseconds>(
                wrongSecrets.waitFor(sessionPeerAddress(), FailureThrottle::Clock::now()));
          },
      .wrongPassword = [] { wrongSecrets.recordFailure(sessionPeerAddress(), FailureThrottle::Clock::now()); },
  };
  return runLoginDialogue(prompt, abort);
}
