#include "blockdev/signature_wipe.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "support/unique_fd.h"

namespace blockdev {

namespace {

struct ProbeDeleter {
  void operator()(blkid_struct_probe* probe) const { blkid_free_probe(probe); }
};

}  // namespace

bool wipeSignatures(const std::string& path, int64_t length, std::string& error) {
  if (length <= 0) {
    return true;
  }
  const UniqueFd device(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  if (device.get() < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  const std::unique_ptr<blkid_struct_probe, ProbeDeleter> probe(blkid_new_probe());
  // The whole device is probed, not only the start the image's first bytes
  // will cover: a sparse image writes only its used blocks, so a signature
  // further in (an md 0.90/1.0 superblock near the end, a backup GPT) would
  // survive the restore and make the partition look like a RAID member.
  if (!probe || blkid_probe_set_device(probe.get(), device.get(), 0, 0) != 0) {
    error = "cannot probe " + path;
    return false;
  }
  blkid_probe_enable_superblocks(probe.get(), 1);
  blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_MAGIC);
  blkid_probe_enable_partitions(probe.get(), 1);
  blkid_probe_set_partitions_flags(probe.get(), BLKID_PARTS_MAGIC);
  // Each pass finds the next signature; wiping it lets the following pass
  // find the one that it hid.
  for (int found = 0; found < 64; ++found) {
    const int status = blkid_do_probe(probe.get());
    if (status == 1) {
      if (::fsync(device.get()) != 0) {
        error = "cannot flush " + path + ": " + std::strerror(errno);
        return false;
      }
      return true;
    }
    if (status < 0 || blkid_do_wipe(probe.get(), 0) != 0) {
      error = "cannot wipe the signatures of " + path + ": " + std::strerror(errno);
      return false;
    }
  }
  error = "too many signatures on " + path;
  return false;
}

}  // namespace blockdev
