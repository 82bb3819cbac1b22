#include "server_restore/login_phase.h"

#include <chrono>

#include "control/log_line.h"
#include "control/queues.h"
#include "control/shared_state.h"
#include "server_restore/session_json.h"
#include "support/pause.h"
#include "support/text.h"

namespace server_restore {

std::string loginFailure(bool loggedIn, int listingCode, size_t clientCount) {
  if (!loggedIn) {
    return "login failed";
  }
  if (listingCode == 2) {
    return "no_server_found";
  }
  if (listingCode != 0) {
    return "internal_error";
  }
  if (clientCount == 0) {
    return "no_clients_found`";
  }
  return std::string();
}

LoginOutcome runLoginPhase(const SessionServices& services, std::vector<std::string>& clients) {
  for (int attempt = 1;; ++attempt) {
    bool abort = false;
    const bool loggedIn = services.login(abort);
    if (loggedIn && abort) {
      logLine("Aborting restore for this thread...");
      return LoginOutcome::aborted;
    }
    int code = 0;
    clients.clear();
    if (loggedIn) {
      clients = services.listClients(&code);
    }
    const std::string failure = loginFailure(loggedIn, code, clients.size());
    if (failure.empty()) {
      sendClientList(clients);
      return LoginOutcome::loggedIn;
    }
    logLine("Login attempt " + convert(attempt) + " failed: " + failure);
    pauseFor(std::chrono::seconds(2));
    if (sessionSuperseded()) {
      logLine("Aborting restore for this thread...");
      return LoginOutcome::aborted;
    }
    if (attempt == maxLoginAttempts) {
      const std::string message = styled(opMessage("auth", "server_not_found"));
      logLayout(message);
      resp_queue.push(message);
      return LoginOutcome::serverNotFound;
    }
  }
}

void sendClientList(const std::vector<std::string>& clients) {
  const std::string success = styled(opMessage("auth", "login_success"));
  logLayout(success);
  resp_queue.push(success);
  pauseFor(std::chrono::seconds(1));
  Json::Value list;
  list["op"] = "-u";
  list["Result"] = Json::Value(Json::arrayValue);
  for (const std::string& client : clients) {
    list["Result"].append(client);
  }
  resp_queue.push(styled(list));
}

}  // namespace server_restore
