#include "control/operations.h"

#include "control/log_line.h"
#include "control/queues.h"
#include "control/response_pump.h"
#include "control/secret_mask.h"
#include "control/session_owners.h"
#include "control/shared_state.h"

#include <json/json.h>

#include <exception>
#include <memory>
#include <optional>

namespace {

// Only a text that parses completely counts as JSON. A half-read text must not
// be able to reboot the machine, so trailing garbage fails the parse too, and
// so do the reader's own extensions to JSON (comments, trailing commas).
std::optional<Json::Value> parseJson(const std::string& text) {
  Json::CharReaderBuilder builder;
  builder["failIfExtra"] = true;
  builder["allowComments"] = false;
  builder["allowTrailingCommas"] = false;
  builder["collectComments"] = false;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errors;
  try {
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
      return std::nullopt;
    }
  } catch (const std::exception&) {
    // The reader throws on nesting deeper than its stack limit.
    return std::nullopt;
  }
  return value;
}

// A member that is missing, or not text, reads as the empty text; a value that
// is not an object has no members.
std::string textMember(const Json::Value& value, const char* name) {
  if (!value.isObject()) {
    return {};
  }
  const Json::Value& member = value[name];
  return member.isString() ? member.asString() : std::string();
}

void reply(const Json::Value& message) { resp_queue.push(message.toStyledString()); }

Json::Value runNetworkScript(OperationEnvironment& environment) {
  logLine("Calling Configure Network");
  const std::vector<std::string> lines = environment.runCommand("./get_ip.sh");
  if (lines.empty()) {
    logLine("Error: ./get_ip.sh printed nothing; answering with a null Result");
    return Json::Value();
  }
  logLine("Ip returned is " + lines.front());
  if (std::optional<Json::Value> parsed = parseJson(lines.front())) {
    return *parsed;
  }
  // Still worth showing to the user: the script's own words.
  return Json::Value(lines.front());
}

void configNetwork(OperationEnvironment& environment) {
  logLine("Calling Configuring network...");
  Json::Value answer;
  answer["op"] = "config_network";
  answer["Result"] = runNetworkScript(environment);
  reply(answer);
}

void disableSsh(OperationEnvironment& environment) {
  logLine("Calling disabling ssh");
  environment.runSystem("/etc/init.d/ssh stop");
  logLine("Disabled ssh");
}

// Tells `sender` alone why its operation was not carried out.
void refuse(const WsConnectionPtr& sender, const std::string& op, const std::string& why) {
  Json::Value answer;
  answer["op"] = op;
  answer["msg"] = why;
  if (sender) {
    sendLogged(sender, answer.toStyledString());
  } else {
    reply(answer);
  }
}

void startSession(const std::string& mode, OperationEnvironment& environment, const WsConnectionPtr& sender) {
  // A run is not stopped for a new session: that would leave the disk half
  // written because someone opened the page elsewhere. The new session waits
  // its turn, and its sender learns why and sees the run.
  const bool runInProgress = restoreRunInProgress();
  if (runInProgress) {
    logLine("A restore run is in progress; the new session waits for it to end");
    refuse(sender, "busy", "restore_running");
    if (const std::optional<std::string> progress = progressForNewView(); progress && sender) {
      sendLogged(sender, *progress);
    }
  } else if (environment.sessionRunning()) {
    // Addressed to the running session only; the new one waits for it to end
    // (on its own thread, so the endpoint goes on reading).
    logLine("A restore session is running; asking it to start over");
    Json::Value startOver;
    startOver["op"] = "start-over";
    msg_queue.push(startOver.toStyledString(), currentSessionGeneration());
  }
  // The new generation comes first, so the replaced session can no longer
  // clear the flag; the flag is raised before the thread exists, so a session
  // that ends at once finds it set.
  const unsigned generation = beginSessionGeneration();
  if (sender) {
    sessionOwners.record(generation, sender);
  }
  isRestoreProcessRunning = true;
  bool started = false;
  if (mode == "BMR_SERVER") {
    logLine("Restoring from BMR Server");
    started = environment.startServerSession();
  } else {
    logLine("Restoring from External Server");
    started = environment.startExternalSession();
  }
  if (!started) {
    isRestoreProcessRunning = false;
  }
}

// A message for a session while none runs would otherwise wait for the next
// one: a double-clicked "-r" would restore the moment a later session starts.
// Only the connection that started the session drives it: another page must
// not restore onto a disk that this one chose.
void forwardToSession(const std::string& text, OperationEnvironment& environment, const WsConnectionPtr& sender) {
  if (!environment.sessionRunning()) {
    logLine("No restore session is running; dropping the message " + maskSecrets(text));
    return;
  }
  const unsigned generation = currentSessionGeneration();
  if (sender && sessionOwners.hasOwner(generation) && !sessionOwners.isOwner(generation, sender)) {
    logLine("Refusing a message from connection " + sender->identity() +
            ", which did not start the running session: " + maskSecrets(text));
    return;
  }
  msg_queue.push(text);
}

void cancelRestore() {
  cancelrestore = true;
  logLine("cancelrestore is set");
  if (in.load() != nullptr) {
    Json::Value answer;
    answer["op"] = "cancel-restore";
    answer["msg"] = "success";
    publishRunOutcome(answer.toStyledString());
  }
}

// Stopping the machine under a run leaves a half-written disk: only a caller
// that says it means it ("force": true) may.
void stopMachine(const Json::Value& message, const std::string& op, const std::string& command,
                 OperationEnvironment& environment, const WsConnectionPtr& sender) {
  const bool forced = message.isObject() && message["force"].isBool() && message["force"].asBool();
  if (restoreRunInProgress() && !forced) {
    logLine("Refusing " + op + ": a restore run is in progress");
    refuse(sender, op, "restore_running");
    return;
  }
  environment.runSystem(command);
}

}  // namespace

void dispatchMessage(const std::string& text, OperationEnvironment& environment, const WsConnectionPtr& sender) {
  const std::optional<Json::Value> message = parseJson(text);
  std::string op;
  if (message) {
    op = textMember(*message, "op");
    logLine("parsing success ");
    logLine(op);
  }

  if (op == "config_network") {
    environment.runMachineTask([&environment] { configNetwork(environment); });
  } else if (op == "disable-ssh") {
    environment.runMachineTask([&environment] { disableSsh(environment); });
  } else if (op == "init") {
    startSession(textMember(*message, "mode"), environment, sender);
  } else if (op == "cancel-restore") {
    cancelRestore();
  } else if (op == "shutdown") {
    stopMachine(*message, op, "shutdown -h now", environment, sender);
  } else if (op == "reboot") {
    stopMachine(*message, op, "reboot", environment, sender);
  } else {
    forwardToSession(text, environment, sender);
  }
}
