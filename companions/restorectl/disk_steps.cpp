#include "disk_steps.h"

#include "restore_plan.h"
#include "restore_run.h"
#include "sentences.h"

namespace restorectl {

std::optional<DiskReport> requestDiskReport(Driver& driver, const std::vector<std::string>& images) {
  if (!driver.send(diskReportRequest(images))) {
    return std::nullopt;
  }
  const auto reply = driver.await({"-i"}, "the report on source and target disks");
  if (!reply) {
    return std::nullopt;
  }
  auto report = parseDiskReport(*reply);
  if (!report) {
    driver.endSession();
    driver.fail(kFailed, "The agent sent a disk report that restorectl cannot read.");
    return std::nullopt;
  }
  if (report->error != "0") {
    driver.endSession();
    driver.fail(kFailed, diskReportSentence(*report));
    return std::nullopt;
  }
  return report;
}

std::optional<std::map<std::string, bool>> requestEspChecks(Driver& driver,
                                                            const std::vector<std::string>& images) {
  std::map<std::string, bool> withEsp;
  for (const auto& image : images) {
    if (!driver.send(espCheckRequest(image))) {
      return std::nullopt;
    }
    // The external-drive session answers a request it cannot parse with a
    // bare {"error": "invalid json"}, which has no "op".
    const auto reply = driver.await({"-c", ""}, "the EFI system partition check of " + image);
    if (!reply) {
      return std::nullopt;
    }
    if (reply->op.empty()) {
      driver.endSession();
      driver.fail(kFailed, "The agent could not read the EFI system partition check of " + image + ".");
      return std::nullopt;
    }
    withEsp[image] = textMember(reply->body, "Result") == "ESPVOL-Present";
  }
  return withEsp;
}

int restoreTargets(Driver& driver, const std::vector<RestoreTarget>& targets, bool serverSession) {
  const auto images = planImages(targets);
  const auto report = requestDiskReport(driver, images);
  if (!report) {
    return driver.failure();
  }
  if (const auto problem = checkPlan(targets, *report)) {
    driver.endSession();
    return driver.fail(kFailed, *problem + " Nothing was written.");
  }
  const auto withEsp = requestEspChecks(driver, images);
  if (!withEsp) {
    return driver.failure();
  }
  return runRestore(driver, targets, *report, *withEsp, serverSession);
}

}  // namespace restorectl
