#pragma once
// Steps shared by the server and the USB commands once images are chosen:
// the disk report ("-i"), the EFI system partition checks ("-c") and the
// restore that follows them.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "driver.h"
#include "messages.h"

namespace restorectl {

// The "-i" report for `images`; a report whose "error" is not "0" is
// reported as a failure (nullopt).
std::optional<DiskReport> requestDiskReport(Driver& driver, const std::vector<std::string>& images);

// One "-c" per image: whether it comes with an EFI system partition.
std::optional<std::map<std::string, bool>> requestEspChecks(Driver& driver,
                                                            const std::vector<std::string>& images);

// "-i", the plan checks, "-c", then the restore itself.
int restoreTargets(Driver& driver, const std::vector<RestoreTarget>& targets, bool serverSession);

}  // namespace restorectl
