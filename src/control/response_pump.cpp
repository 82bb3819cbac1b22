#include "control/response_pump.h"

#include "control/handlers.h"
#include "control/log_line.h"
#include "control/queues.h"
#include "control/session_owners.h"

void sendLogged(const WsConnectionPtr& connection, const std::string& text) {
  logLayout("Server: Sending message \"" + text + "\" to " + connection->identity());
  connection->send(text, [](const boost::system::error_code& ec) {
    if (ec) {
      logLine("Server: Error sending message. " + describeError(ec));
    }
  });
}

void pumpOneResponse(WsEndpoint& endpoint) {
  const MessageQueue::Entry entry = GetEntryFromResponseQue();
  const std::vector<WsConnectionPtr> open = endpoint.waitForConnections();
  if (entry.generation == kEveryConnection) {
    for (const WsConnectionPtr& connection : open) {
      sendLogged(connection, entry.text);
    }
    return;
  }
  const WsConnectionPtr owner = sessionOwners.openOwner(entry.generation, open);
  sendLogged(owner ? owner : open.front(), entry.text);
}
