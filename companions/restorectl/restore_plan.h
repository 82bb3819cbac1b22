#pragma once
// The restore plan given on the command line and the checks it must pass
// against the agent's disk report before a single byte is written.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "messages.h"

namespace restorectl {

// "/dev/sda=K1,K2" per --map. A device named twice gets the images of both in
// order; an image named twice, an empty list or a device outside /dev/ is an
// error (nullopt with `error` set).
std::optional<std::vector<RestoreTarget>> parseMaps(const std::vector<std::string>& mappings,
                                                    std::string& error);

// Every image of the plan, in plan order: what "-i" is asked about.
std::vector<std::string> planImages(const std::vector<RestoreTarget>& targets);

// nullopt when the plan is safe to send; otherwise why not, as a sentence.
// Refused: a device that the agent does not offer as a target disk, an image
// whose partition table the agent could not read (not in the report, or on a
// source disk without number or size), images of two source disks
// on one target (each image writes its own disk's partition table, so the
// second would destroy the first), and a source disk larger than its target.
std::optional<std::string> checkPlan(const std::vector<RestoreTarget>& targets,
                                     const DiskReport& report);

// The plan as the confirmation shows it, targets in the order the agent
// writes them. `withEsp`: images the agent says come with an EFI system
// partition.
std::string describePlan(const std::vector<RestoreTarget>& targets, const DiskReport& report,
                         const std::map<std::string, bool>& withEsp);

}  // namespace restorectl
