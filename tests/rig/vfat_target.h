#pragma once
// A rig disk whose partition 1 holds a vfat file system, and the bytes of a
// small ext4 volume to write over it: after a write the test sees whether the
// partition holds the old file system, the new one, or neither.
#include <filesystem>
#include <memory>
#include <string>

#include "rig/rig_fixture.h"

// The file system libblkid finds on `device`; empty for none.
std::string fileSystemOn(const std::string& device);

class VfatTarget {
public:
  // A 64 MiB disk "target" with a 16 MiB partition 1 in vfat; throws
  // std::runtime_error when the rig cannot build it.
  VfatTarget();

  const std::string& partition() const { return partition_; }
  Rig& rig() { return *rig_; }

private:
  std::unique_ptr<Rig> rig_;
  std::string partition_;
};

// An 8 MiB ext4 volume made in `folder`; empty when mkfs.ext4 fails.
std::string ext4VolumeBytes(const std::filesystem::path& folder);
