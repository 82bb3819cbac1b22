#pragma once
// The "-r" operation: restores the plan partition by partition and reports
// each drive's status. The session ends when it returns.
#include <json/value.h>

#include "server_restore/session_services.h"
#include "server_restore/session_state.h"

namespace server_restore {

enum class RestoreRunOutcome { ignored, finished, failed, cancelled };

// `ignored` (nothing restored, the session goes on) when the mapping could
// not be read; otherwise isRestoreProcessRunning has been cleared.
RestoreRunOutcome runRestore(const SessionServices& services, SessionState& state, const Json::Value& operation);

}  // namespace server_restore
