#pragma once
// The one gate every restore passes before the first byte of its target
// disk changes, on either route: the target must be a whole disk the
// inventory lists, free (nothing of it mounted or held), and the same disk
// the last disk report showed under that node.
#include <string>
#include <vector>

#include "blockdev/block_device.h"

namespace blockdev {

// Notes the identity of each disk the disk report offers as a target, in
// place of those noted before. A disk whose identity cannot be read is not
// noted and will be refused.
void rememberReportedTargets(const std::vector<std::string>& paths);

// Opens `path` exclusively into `device` when it is an absolute /dev path of
// a whole disk, names one of the disks of `inventory` (the disk inventory as
// it is now), nothing of it is mounted or held, and it is the disk noted by
// rememberReportedTargets. False with the reason in `error` otherwise; the
// disk has not been written to then.
bool admitTarget(const std::string& path, const std::vector<std::string>& inventory, BlockDevice& device,
                 std::string& error);

}  // namespace blockdev
