#include "restore_run.h"

#include <algorithm>

#include "progress_view.h"
#include "restore_plan.h"
#include "sentences.h"

namespace restorectl {
namespace {

bool confirmed(Driver& driver, const std::vector<RestoreTarget>& targets) {
  if (driver.settings().assumeYes) {
    return true;
  }
  std::vector<std::string> devices;
  for (const auto& target : targets) {
    devices.push_back(target.device);
  }
  std::sort(devices.begin(), devices.end());
  return driver.console().confirm("Everything on " + joinNames(devices) + " will be overwritten.");
}

std::string unfinishedSuffix(const ProgressTable& table) {
  const auto unfinished = unfinishedDrives(table);
  return unfinished.empty() ? "" : " Not finished: " + joinNames(unfinished) + ".";
}

}  // namespace

bool restoreFinished(const ProgressTable& table, bool serverSession) {
  if (table.empty()) {
    return false;
  }
  const bool anyFailed = std::any_of(table.begin(), table.end(),
                                     [](const auto& entry) { return entry.second == "ERROR"; });
  if (serverSession && anyFailed) {
    return true;
  }
  return std::all_of(table.begin(), table.end(), [](const auto& entry) {
    return entry.second == "SUCCESS" || entry.second == "ERROR";
  });
}

int runRestore(Driver& driver, const std::vector<RestoreTarget>& targets, const DiskReport& report,
               const std::map<std::string, bool>& withEsp, bool serverSession) {
  driver.prose() << "Restore plan, in the order the agent writes it:\n"
                 << describePlan(targets, report, withEsp);
  driver.prose().flush();
  if (!confirmed(driver, targets)) {
    driver.endSession();
    return driver.fail(kFailed, "Nothing was restored; no disk was written.");
  }
  if (!driver.send(restoreRequest(targets))) {
    return driver.failure();
  }
  driver.note("Restore started. Ctrl-C asks the agent to cancel it.");

  ProgressView view(driver.out(), driver.settings().terminal);
  ProgressTable table;
  bool cancelRequested = false;
  const auto silence = driver.settings().progressTimeout;
  auto deadline = driver.now() + silence;
  while (true) {
    Event event = driver.next(deadline);
    if (event.kind == Event::Kind::Interrupted && !cancelRequested) {
      cancelRequested = true;
      if (!driver.send(cancelRequest())) {
        return driver.failure();
      }
      driver.note("Asked the agent to cancel the restore; it stops after the partition it is "
                  "writing. Press Ctrl-C again to stop watching.");
      continue;
    }
    if (event.kind == Event::Kind::TimedOut) {
      return driver.fail(kTimedOut, "The agent sent no progress for " +
                                        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(silence).count()) +
                                        " seconds; the outcome of the restore is unknown." +
                                        unfinishedSuffix(table));
    }
    if (event.kind != Event::Kind::Message) {
      return driver.failFromEvent(event, "the restore", silence, true);
    }
    const Reply& reply = event.reply;
    if (reply.op == "cancel-restore" && textMember(reply.body, "msg") == "success") {
      return driver.fail(kFailed, "The agent cancelled the restore; the partition it was "
                                  "writing is finished first." + unfinishedSuffix(table));
    }
    if (const auto refusal = parseRefusal(reply)) {
      driver.note("Drive " + refusal->key + ": " + refusal->target + " was refused: " + refusal->reason);
      continue;
    }
    if (reply.op != "-p") {
      continue;
    }
    const auto progress = parseProgress(reply);
    if (!progress) {
      continue;
    }
    table = *progress;
    deadline = driver.now() + silence;
    view.update(table);
    if (restoreFinished(table, serverSession)) {
      break;
    }
  }
  const std::string outcome = restoreOutcomeSentence(table, serverSession);
  const bool allRestored = std::all_of(table.begin(), table.end(),
                                       [](const auto& entry) { return entry.second == "SUCCESS"; });
  if (!allRestored) {
    return driver.fail(kFailed, outcome);
  }
  driver.prose() << outcome << '\n';
  if (serverSession) {
    driver.drainFor(driver.settings().sessionEndWait);
  }
  return kSuccess;
}

}  // namespace restorectl
