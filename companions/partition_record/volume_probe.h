#pragma once
// What a capture learns about a partition's contents and its disk from the
// system's own tools; all of it is descriptive and may come back empty.
#include <string>

#include "partition_record.h"

struct VolumeDescription {
  std::string fsn;    // file-system type as blkid names it ("ext4", "ntfs", ...)
  std::string label;  // volume label
};

// Probes the bytes of `range` on `disk` directly, so it works on a plain disk
// image file as well as on a device whose partition nodes do not exist.
VolumeDescription probeVolume(const std::string& disk, const PartitionRange& range);

// The disk's serial number; empty for devices without one (loop devices) and
// for plain files.
std::string diskSerial(const std::string& disk);
