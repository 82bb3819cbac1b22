#pragma once
// Opening the file or partition an image is written into.
#include <string>

class File;

namespace blockdev {

// A new File on `path` for writing an image into, owned by the caller, or
// null with the reason in `error`. A block device is opened exclusively, so a
// mounted or otherwise held partition is refused; nothing is created, and the
// written data is not kept in the page cache.
File* openImageTarget(const std::string& path, std::string& error);

}  // namespace blockdev
