#include <algorithm>

#include <json/writer.h>

#include "commands.h"

namespace restorectl {
namespace {

// The agent confirms a cancel at once when it answers at all; a longer wait
// only delays the message that it did not.
constexpr std::chrono::seconds kCancelConfirmationWait{5};

// The agent refuses at once when a restore runs; otherwise it says nothing and
// the machine goes down.
constexpr std::chrono::seconds kRefusalWait{3};

int requestMachineAction(Driver& driver, const std::string& op, const std::string& request,
                         const std::string& question, const std::string& done, const std::string& declined) {
  if (!driver.settings().assumeYes && !driver.console().confirm(question)) {
    return driver.fail(kFailed, declined);
  }
  if (!driver.send(request)) {
    return driver.failure();
  }
  const auto deadline = driver.now() + std::min<std::chrono::milliseconds>(driver.settings().answerTimeout, kRefusalWait);
  for (Event event = driver.next(deadline); event.kind == Event::Kind::Message; event = driver.next(deadline)) {
    if (event.reply.op == op && textMember(event.reply.body, "msg") == "restore_running") {
      return driver.fail(kFailed, "A restore is running; the disk would be left incomplete. " + declined +
                                      " \"restorectl " + op + " --force\" does it anyway.");
    }
  }
  driver.prose() << done << '\n';
  return kSuccess;
}

}  // namespace

int cancelRestore(Driver& driver) {
  if (!driver.send(cancelRequest())) {
    return driver.failure();
  }
  const auto wait = std::min<std::chrono::milliseconds>(driver.settings().answerTimeout,
                                                        kCancelConfirmationWait);
  const auto deadline = driver.now() + wait;
  while (true) {
    const Event event = driver.next(deadline);
    if (event.kind == Event::Kind::TimedOut) {
      driver.prose() << "The cancel request was sent. The agent confirms it only while a "
                        "partition is being written.\n";
      return kSuccess;
    }
    if (event.kind != Event::Kind::Message) {
      return driver.failFromEvent(event, "the confirmation of the cancel", wait);
    }
    if (event.reply.op == "cancel-restore" && textMember(event.reply.body, "msg") == "success") {
      driver.prose() << "The agent confirmed the cancel; the restore stops after the partition "
                        "it is writing.\n";
      return kSuccess;
    }
  }
}

int configureNetwork(Driver& driver) {
  if (!driver.send(networkRequest())) {
    return driver.failure();
  }
  const auto reply = driver.await({"config_network"}, "the answer of the network script");
  if (!reply) {
    return driver.failure();
  }
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  builder["emitUTF8"] = true;
  driver.out() << Json::writeString(builder, reply->body["Result"]) << '\n';
  return kSuccess;
}

int reboot(Driver& driver, bool force) {
  return requestMachineAction(driver, "reboot", rebootRequest(force), "The agent's machine will reboot.",
                              "The agent was asked to reboot its machine.", "Not rebooted.");
}

int shutDown(Driver& driver, bool force) {
  return requestMachineAction(driver, "shutdown", shutdownRequest(force), "The agent's machine will power off.",
                              "The agent was asked to shut its machine down.", "Not shut down.");
}

}  // namespace restorectl
