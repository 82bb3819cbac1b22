#include "control/handlers.h"

#include "control/log_line.h"
#include "control/response_pump.h"
#include "control/secret_mask.h"
#include "control/shared_state.h"

#include <exception>
#include <optional>

std::string describeError(const boost::system::error_code& ec) {
  return std::string("Error: ") + ec.category().name() + ":" + std::to_string(ec.value()) +
         ", error message: " + ec.message();
}

void installHandlers(WsEndpoint& endpoint, OperationEnvironment& environment) {
  // A page opened during a run (or just after it) shows that run at once,
  // rather than a start page that would offer a second restore.
  endpoint.on_open = [](const WsConnectionPtr& connection) {
    isClientConnected = true;
    logLine("Server: Opened connection " + connection->identity());
    if (const std::optional<std::string> progress = progressForNewView()) {
      sendLogged(connection, *progress);
    }
  };

  // The flag stays up while any connection is open: the start-up wait must
  // not miss a client that stays when another one leaves.
  endpoint.on_close = [&endpoint](const WsConnectionPtr& connection, int status) {
    isClientConnected = !endpoint.connections().empty();
    logLine("Server: Closed connection " + connection->identity() + " with status code " +
            std::to_string(status));
  };

  endpoint.on_error = [&endpoint](const WsConnectionPtr& connection, const boost::system::error_code& ec) {
    isClientConnected = !endpoint.connections().empty();
    logLine("Server: Error in connection " + connection->identity() + ". " + describeError(ec));
  };

  endpoint.on_message = [&environment](const WsConnectionPtr& connection, const std::string& text) {
    logLine("Server: Message received: \"" + maskSecrets(text) + "\" from " + connection->identity());
    try {
      dispatchMessage(text, environment, connection);
    } catch (const std::exception& e) {
      logLine(std::string("Error: the operation failed: ") + e.what());
    }
  };
}
