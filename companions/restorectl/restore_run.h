#pragma once
// The last steps of a restore, shared by the server and the USB restore:
// confirmation, the "-r" request and following its progress to the end.
#include <map>
#include <string>
#include <vector>

#include "driver.h"
#include "messages.h"

namespace restorectl {

// True when the restore described by `table` is over: in the server session
// at the first failed drive or when every drive is restored; in the
// external-drive session (which goes on after a failure) when every drive has
// succeeded or failed.
bool restoreFinished(const ProgressTable& table, bool serverSession);

// Shows the plan, asks for confirmation (unless --yes), sends "-r" and draws
// the progress until the restore is over. kSuccess only when every drive ends
// "SUCCESS". The first Ctrl-C asks the agent to cancel.
int runRestore(Driver& driver, const std::vector<RestoreTarget>& targets, const DiskReport& report,
               const std::map<std::string, bool>& withEsp, bool serverSession);

}  // namespace restorectl
