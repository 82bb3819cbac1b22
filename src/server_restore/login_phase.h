#pragma once
// Logging in to the backup service until it lists at least one client, at
// most 51 attempts 2 seconds apart.
#include <string>
#include <vector>

#include "server_restore/session_services.h"

namespace server_restore {

enum class LoginOutcome { loggedIn, aborted, serverNotFound };

constexpr int maxLoginAttempts = 51;

// On loggedIn the client list has been sent and is in `clients`. On
// serverNotFound the user interface has been told.
LoginOutcome runLoginPhase(const SessionServices& services, std::vector<std::string>& clients);

// Why one attempt failed, for the log; empty when it succeeded. A listing
// that failed or found no client is a failed attempt.
std::string loginFailure(bool loggedIn, int listingCode, size_t clientCount);

// {"op": "auth", "msg": "login_success"}, then after 1 second the client list.
void sendClientList(const std::vector<std::string>& clients);

}  // namespace server_restore
