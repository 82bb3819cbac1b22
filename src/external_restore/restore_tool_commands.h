#pragma once
// Command lines of the restore tool "./keelbackrestoreclient" for images on an
// external drive. Every path and device is shell-quoted: paths come from the
// user interface and from the drive, and must never be executed.
#include <string>

// Prints the image's partition number (the "partition_number" value of its
// partition-table file <image>.mbr).
std::string partitionNumberCommand(const std::string& image);

// Writes the partition table of <image>.mbr onto the whole `disk`.
std::string restoreMbrCommand(const std::string& image, const std::string& disk);

// Writes `image` onto `partition`, printing progress lines.
std::string restoreImageCommand(const std::string& image, const std::string& partition);
