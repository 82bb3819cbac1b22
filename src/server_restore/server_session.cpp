#include "server_restore/server_session.h"

#include "control/queues.h"
#include "control/shared_state.h"

// Placeholder until the server session is built: it only ends on "start-over".
void restore_from_bmr_server() {
  while (GetMsgFromQue().find("start-over") == std::string::npos) {
  }
  isRestoreProcessRunning = false;
}
