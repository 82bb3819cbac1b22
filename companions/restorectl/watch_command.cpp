#include <algorithm>

#include "commands.h"
#include "progress_view.h"
#include "restore_run.h"
#include "sentences.h"

namespace restorectl {
namespace {

// The agent shows its restore to a connection the moment it opens; nothing
// by then means there is none to show.
constexpr std::chrono::seconds kFirstProgressWait{5};
// Whether a failed drive ended the run (as it does from the backup server) or
// the next image is on its way (as from USB drives) is not said; silence for
// this long after a failure counts as the end.
constexpr std::chrono::seconds kQuietAfterFailure{60};

bool anyFailed(const ProgressTable& table) {
  return std::any_of(table.begin(), table.end(), [](const auto& entry) { return entry.second == "ERROR"; });
}

}  // namespace

int watchRestore(Driver& driver) {
  ProgressView view(driver.out(), driver.settings().terminal);
  ProgressTable table;
  auto deadline = driver.now() + std::min<std::chrono::milliseconds>(driver.settings().answerTimeout, kFirstProgressWait);
  while (!restoreFinished(table, false)) {
    const Event event = driver.next(deadline);
    if (event.kind == Event::Kind::Interrupted) {
      return driver.fail(kInterrupted, "Stopped watching; the restore goes on.");
    }
    if (event.kind == Event::Kind::TimedOut) {
      if (table.empty()) {
        return driver.fail(kFailed, "No restore is running, and none ended within the last minute.");
      }
      if (anyFailed(table)) {
        break;
      }
      return driver.fail(kTimedOut, "The agent sent no progress for a long time; the outcome of the "
                                    "restore is unknown.");
    }
    if (event.kind != Event::Kind::Message) {
      return driver.failFromEvent(event, "the restore", driver.settings().progressTimeout, true);
    }
    if (event.reply.op == "cancel-restore" && textMember(event.reply.body, "msg") == "success") {
      return driver.fail(kFailed, "The restore was cancelled.");
    }
    const auto progress = event.reply.op == "-p" ? parseProgress(event.reply) : std::nullopt;
    if (!progress) {
      continue;
    }
    table = *progress;
    view.update(table);
    deadline = driver.now() + (anyFailed(table) ? std::chrono::milliseconds(kQuietAfterFailure)
                                                 : driver.settings().progressTimeout);
  }
  const bool allRestored =
      std::all_of(table.begin(), table.end(), [](const auto& entry) { return entry.second == "SUCCESS"; });
  const std::string outcome = restoreOutcomeSentence(table, !restoreFinished(table, false));
  if (!allRestored) {
    return driver.fail(kFailed, outcome);
  }
  driver.prose() << outcome << '\n';
  return kSuccess;
}

}  // namespace restorectl
