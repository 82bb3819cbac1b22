#include "control/endpoint.h"
#include "control/handlers.h"
#include "control/log_line.h"
#include "control/machine_environment.h"
#include "control/response_pump.h"
#include "control/shared_state.h"
#include "support/pause.h"

#include <chrono>
#include <exception>

int main() {
  try {
    logLine("Starting BMR Server....");
    MachineEnvironment machine;
    WsServer server;
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
