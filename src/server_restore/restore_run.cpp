#include "server_restore/restore_run.h"

#include <chrono>

#include "control/log_line.h"
#include "control/shared_state.h"
#include "server_restore/disk_restore.h"
#include "server_restore/image_listing.h"
#include "server_restore/progress.h"
#include "server_restore/restore_plan.h"
#include "server_restore/session_json.h"
#include "support/pause.h"

namespace server_restore {

namespace {

enum class Step { restored, failed, cancelled };

// One partition: restore it, then judge cancellation before the outcome, as
// a cancelled download also reports an error.
Step restorePartition(const SessionServices& services, const SImage& image, const std::string& target,
                      std::chrono::seconds settle) {
  std::string errtext;
  services.restore(image, target, errtext);
  if (cancelrestore) {
    return Step::cancelled;
  }
  if (!errtext.empty()) {
    restorePointToProgress.set(GetDriveletter(image), "ERROR");
    SendRestoreProgress();
    return Step::failed;
  }
  pauseFor(settle);
  restorePointToProgress.set(GetDriveletter(image), "SUCCESS");
  SendRestoreProgress();
  return Step::restored;
}

RestoreRunOutcome end(Step step) {
  endRestoreSession();
  if (step == Step::cancelled) {
    publishRunOutcome(styled(opMessage("cancel-restore", "success")));
    return RestoreRunOutcome::cancelled;
  }
  return RestoreRunOutcome::failed;
}

}  // namespace

RestoreRunOutcome runRestore(const SessionServices& services, SessionState& state, const Json::Value& operation) {
  std::string why;
  const std::optional<RestorePlan> plan = readRestorePlan(operation, why);
  if (!plan) {
    logLine("Ignoring operation -r: " + why);
    return RestoreRunOutcome::ignored;
  }

  if (!beginRestoreRun()) {
    logLine("This session has been replaced; no restore run");
    return end(Step::cancelled);
  }
  restorePointToProgress.clear();
  seedProgress(state.selection);

  for (const auto& [target, keys] : *plan) {
    for (const std::string& key : keys) {
      logLine(target + "  " + key);
      for (const SImage& image : state.selection) {
        if (imageKey(image) != key) {
          continue;
        }
        for (const SImage& associated : image.associated) {
          const Step step = restorePartition(services, associated, target, std::chrono::seconds(5));
          if (step != Step::restored) {
            return end(step);
          }
        }
        const Step step = restorePartition(services, image, target, std::chrono::seconds(10));
        if (step != Step::restored) {
          return end(step);
        }
      }
    }
  }
  endRestoreSession();
  pauseFor(std::chrono::seconds(2));
  return RestoreRunOutcome::finished;
}

}  // namespace server_restore
