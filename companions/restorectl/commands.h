#pragma once
// The commands of restorectl, each one conversation with the agent. Every
// function returns the program's exit status.
#include <optional>
#include <string>
#include <vector>

#include "driver.h"
#include "messages.h"

namespace restorectl {

// Restore from the backup server.
int serverClients(Driver& driver);
int serverImages(Driver& driver, const std::string& client);
int serverReport(Driver& driver, const std::string& client, const std::vector<std::string>& keys);
int serverRestore(Driver& driver, const std::string& client, const std::vector<RestoreTarget>& targets);

// Restore from USB drives.
int usbMount(Driver& driver);
// The client folders under `folder`, or under every backup folder on the USB
// drives when none is given.
int usbClients(Driver& driver, const std::optional<std::string>& folder);
int usbPoints(Driver& driver, const std::string& folder);
int usbReport(Driver& driver, const std::vector<std::string>& paths);
int usbRestore(Driver& driver, const std::vector<RestoreTarget>& targets);

// The machine.
int cancelRestore(Driver& driver);
int configureNetwork(Driver& driver);
// Refused by the agent while a restore runs, unless `force`.
int reboot(Driver& driver, bool force = false);
int shutDown(Driver& driver, bool force = false);

// Follows the restore that the agent is running (or ran within the last
// minute) until it ends; kSuccess only when every drive was restored.
int watchRestore(Driver& driver);

}  // namespace restorectl
