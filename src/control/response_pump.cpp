#include "control/response_pump.h"

#include "control/handlers.h"
#include "control/log_line.h"
#include "control/queues.h"

void pumpOneResponse(WsEndpoint& endpoint) {
  const std::string text = GetMsgFromResponseQue();
  const WsConnectionPtr connection = endpoint.waitForConnections().front();
  logLayout("Server: Sending message \"" + text + "\" to " + connection->identity());
  connection->send(text, [](const boost::system::error_code& ec) {
    if (ec) {
      logLine("Server: Error sending message. " + describeError(ec));
    }
  });
}
