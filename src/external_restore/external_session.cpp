#include "external_restore/external_session.h"

#include "control/queues.h"
#include "control/shared_state.h"

// Placeholder until the external session is built: it only ends on "start-over".
void RestoreFromExternalDrive() {
  while (GetMsgFromQue().find("start-over") == std::string::npos) {
  }
  isRestoreProcessRunning = false;
}
