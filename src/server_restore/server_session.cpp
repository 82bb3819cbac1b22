#include "server_restore/server_session.h"

#include <exception>
#include <mutex>

#include "control/log_line.h"
#include "control/queues.h"
#include "control/secret_mask.h"
#include "control/shared_state.h"
#include "server_restore/browse_operations.h"
#include "server_restore/login_phase.h"
#include "server_restore/restore_run.h"
#include "server_restore/session.h"
#include "server_restore/session_json.h"

namespace server_restore {

void runServerSession(const SessionServices& services) {
  SessionState state;
  switch (runLoginPhase(services, state.clients)) {
    case LoginOutcome::loggedIn:
      break;
    case LoginOutcome::aborted:
    case LoginOutcome::serverNotFound:
      endRestoreSession();
      return;
  }

  for (;;) {
    const std::string text = GetMsgFromQue();
    Json::Value operation;
    if (!parseOperation(text, operation)) {
      logLine("Json Invalid ");
      continue;
    }
    const std::optional<std::string> op = textMember(operation, "op");
    if (!op) {
      logLine("Ignoring operation whose \"op\" is not text: " + maskSecrets(text));
      continue;
    }
    logLine("Operation revd " + *op);
    logLine("Dequed " + maskSecrets(text));

    if (*op == "start-over") {
      endRestoreSession();
      logLine("Restore from BMR server exiting...");
      return;
    }
    if (*op == "abort") {
      Json::Value list;
      list["op"] = "-u";
      msg_queue.push(styled(list), sessionGeneration());
    } else if (*op == "-u") {
      answerClients(services, state);
    } else if (*op == "-e") {
      answerImages(services, state, operation);
    } else if (*op == "-i") {
      // Downloads into "mbr.dat" and measures on a scratch loop device.
      const std::lock_guard diskWork(diskWorkMutex());
      answerSelection(services, state, operation);
    } else if (*op == "-c") {
      answerEspCheck(state, operation);
    } else if (*op == "-r") {
      std::unique_lock diskWork(diskWorkMutex());
      const RestoreRunOutcome outcome = runRestore(services, state, operation);
      diskWork.unlock();
      if (outcome != RestoreRunOutcome::ignored) {
        return;
      }
    }
  }
}

}  // namespace server_restore

void restore_from_bmr_server() {
  // Nothing may leave the session thread: an exception would end the whole
  // agent, and with it any restore the user could still start over.
  // The flag is cleared only on these ways out: the session clears it itself
  // on every other one, and clearing it again after a normal end could hide a
  // session that a new "init" has started meanwhile.
  try {
    server_restore::runServerSession(server_restore::realSessionServices());
  } catch (const std::exception& e) {
    logLine(std::string("Restore from BMR server stopped: ") + e.what());
    endRestoreSession();
  } catch (...) {
    logLine("Restore from BMR server stopped by an unknown error");
    endRestoreSession();
  }
}
