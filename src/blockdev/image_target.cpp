#include "blockdev/image_target.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "blockdev/block_device.h"
#include "support/file.h"

namespace blockdev {

File* openImageTarget(const std::string& path, std::string& error) {
  auto file = std::make_unique<File>();
  if (!isBlockDevice(path)) {
    if (!file->Open(path, File::readWriteUncached)) {
      error = systemError("cannot open " + path, errno);
      return nullptr;
    }
    return file.release();
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC);
  if (fd < 0) {
    const int code = errno;
    error = systemError(code == EBUSY ? path + " is in use (mounted or held by another program)"
                                      : "cannot open " + path,
                        code);
    return nullptr;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  file->Open(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), path);
  return file.release();
}

}  // namespace blockdev
