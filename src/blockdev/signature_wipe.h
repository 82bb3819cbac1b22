#pragma once
// Erasing the file-system and partition-table signatures that earlier
// contents left at the start of a device, so that nothing probing it takes
// the old volume for the one being restored.
#include <cstdint>
#include <string>

namespace blockdev {

// Wipes every signature that lies within the first `length` bytes of the
// device or file at `path` and flushes the device; the bytes around the
// signatures stay as they are. On failure, `error` names the path and the
// reason.
bool wipeSignatures(const std::string& path, int64_t length, std::string& error);

}  // namespace blockdev
