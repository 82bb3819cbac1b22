#pragma once
// Starts a backup-server session and carries the login dialogue through to
// the list of backup clients.
#include <optional>
#include <string>
#include <vector>

#include "driver.h"

namespace restorectl {

// Sends "init" in server mode and answers the "auth" dialogue: the password
// from the settings, or typed at the console when the service asks for one
// (three tries). The client names once logged in; nullopt after reporting
// the failure.
std::optional<std::vector<std::string>> logInToServer(Driver& driver);

}  // namespace restorectl
