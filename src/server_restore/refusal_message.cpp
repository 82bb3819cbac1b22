#include "server_restore/refusal_message.h"

#include <json/value.h>

#include "control/queues.h"

void SendTargetRefusal(const std::string& key, const std::string& target, const std::string& reason) {
  Json::Value message;
  message["op"] = "refused";
  message["key"] = key;
  message["target"] = target;
  message["reason"] = reason;
  resp_queue.push(message.toStyledString());
}
