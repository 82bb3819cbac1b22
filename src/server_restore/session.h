#pragma once
// The server session with its outside world passed in, so that tests can
// drive it without a backup service or disks.
#include "server_restore/session_services.h"

namespace server_restore {

// Logs in, answers operations until one ends the session, and clears
// isRestoreProcessRunning on every way out.
void runServerSession(const SessionServices& services);

}  // namespace server_restore
