#pragma once
// Device node of a partition of a whole disk.
#include <string>

// `disk` + number when the disk's name ends in a letter (/dev/sda ->
// /dev/sda2); `disk` + "p" + number when it ends in a digit, as the kernel
// names partitions of loop, NVMe and MMC disks (/dev/loop0 -> /dev/loop0p2,
// /dev/nvme0n1 -> /dev/nvme0n1p2).
std::string partitionDevice(const std::string& disk, const std::string& number);
