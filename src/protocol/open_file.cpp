#include "protocol/open_file.h"

#include <memory>

#include "support/file.h"

namespace Server {

File* openFile(std::string name, int mode) {
  auto file = std::make_unique<File>();
  if (!file->Open(std::move(name), mode)) {
    return nullptr;
  }
  return file.release();
}

}  // namespace Server
