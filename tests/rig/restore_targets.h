#pragma once
// Helpers for tests that restore onto rig disks through the target gate: the
// partition-table record of a rig disk as the backup service would hand it
// out, the environment in which the rig's disks form the disk inventory, the
// swap of a rig disk's medium under its node, and the disk's bytes.
#include <memory>
#include <string>
#include <vector>

#include "protocol/mbr_record.h"
#include "rig/rig_fixture.h"

// The encoded record of the table on `disk` for its partition `partition`.
std::string encodedRecordOf(const std::string& disk, int partition);
// The same, decoded.
SMBRData recordOf(const std::string& disk, int partition);

// Every byte of a device (rig disks are small).
std::string deviceBytes(const std::string& device);
void writeDeviceBytes(const std::string& device, long long offset, const std::string& bytes);
std::string pattern(size_t size, char seed);

// Writes an md 1.0 superblock where mdadm puts it on a member partition of
// `size` bytes (8 KiB before the end, 4 KiB aligned), checksum included, so
// that libblkid takes the partition for a RAID member.
void plantMdSuperblock(const std::string& partition, long long size);

// Puts a fresh medium of the same size under the rig disk's node, as when a
// disk is swapped between the disk report and the restore.
void swapMedium(Rig& rig, const std::string& name);

// The rig's stand-ins on PATH and its state in RIG_STATE, so that the disk
// inventory lists the rig's disks.
class RigInventory {
public:
  explicit RigInventory(const Rig& rig);

private:
  ScopedEnv path_;
  ScopedEnv state_;
};
