#pragma once
#include <string>

class File;

namespace Server {
// A new File opened with `mode` (see File::Open), owned by the caller; null,
// with nothing left open, when opening failed.
File* openFile(std::string name, int mode);
}  // namespace Server
