#pragma once
// Erasing the file-system, RAID and partition-table signatures that earlier
// contents left on a device, so that nothing probing it takes the old volume
// for the one being restored.
#include <cstdint>
#include <string>

namespace blockdev {

// Wipes every signature libblkid finds on the device or file at `path`, at
// its start (where the image's first `length` bytes go, held back until the
// end) and anywhere further in, and flushes the device; the bytes around the
// signatures stay as they are. A `length` of 0 or less means no image is
// written and nothing is wiped. On failure, `error` names the path and the
// reason.
bool wipeSignatures(const std::string& path, int64_t length, std::string& error);

}  // namespace blockdev
