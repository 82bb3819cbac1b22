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

int main() {
  try {
    logLine("Starting BMR Server....");
    MachineEnvironment machine;
    WsServerConfig config;
    // Read for each request: the network script may give the machine new
    // addresses while the agent runs.
    config.gate.access = [](const AccessRequest& request) {
      return judgeAccess(accessPolicyFromEnvironment(), request);
    };
    // Looked up for each request too, so a page installed later is served.
    config.gate.pageRoot = std::filesystem::current_path() / "ui";
    if (!accessPolicyFromEnvironment().token.empty()) {
      logLine("Every request needs the access token");
    }
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
