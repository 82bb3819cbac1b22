#include "control/access_policy.h"
#include "control/endpoint.h"
#include "control/handlers.h"
#include "control/log_line.h"
#include "control/machine_environment.h"
#include "control/response_pump.h"
#include "control/shared_state.h"
#include "support/pause.h"

#include <chrono>
#include <exception>
#include <filesystem>
#include <optional>

namespace {

void logAccessRule(const AccessTokenSetting& token) {
  switch (token.scope) {
    case TokenScope::none:
      logLine("Warning: access is open (RESTORE_AGENT_ACCESS=open): any host on the network may control the "
              "agent, restore over its disks and reboot it");
      break;
    case TokenScope::everyPeer:
      logLine("Every request needs the access token");
      break;
    case TokenScope::remotePeers:
      logLine(std::string("Hosts other than this machine need the access token in ") + accessTokenFileName);
      break;
  }
}

}  // namespace

int main() {
  try {
    logLine("Starting BMR Server....");
    std::string tokenError;
    const std::optional<AccessTokenSetting> token =
        accessTokenFromEnvironment(std::filesystem::current_path() / accessTokenFileName, tokenError);
    if (!token) {
      // Starting open instead would hand the machine's disks to the network.
      logLine("Error: no access token: " + tokenError);
      return 1;
    }
    logAccessRule(*token);
    MachineEnvironment machine;
    WsServerConfig config;
    // Read for each request: the network script may give the machine new
    // addresses while the agent runs.
    config.gate.access = [token = *token](const AccessRequest& request) {
      return judgeAccess(accessPolicyFromEnvironment(token), request);
    };
    // Looked up for each request too, so a page installed later is served.
    config.gate.pageRoot = std::filesystem::current_path() / "ui";
    WsServer server(config);
    installHandlers(server.endpoint(), machine);
    std::string error;
    if (!server.listen(error)) {
      logLine("Error: cannot listen: " + error);
      return 1;
    }
    server.startThread();

    while (!isClientConnected) {
      pauseFor(std::chrono::seconds(2));
    }
    for (;;) {
      try {
        pumpOneResponse(server.endpoint());
      } catch (const std::exception& e) {
        logLine(std::string("Error: the response pump failed: ") + e.what());
      }
    }
  } catch (const std::exception& e) {
    logLine(std::string("Error: the agent failed to start: ") + e.what());
    return 1;
  }
}
