#pragma once
// Disk images in plain files, partitioned by the real sfdisk, and sfdisk's own
// account of them as the independent answer for the capture code.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct SfdiskPartition {
  int number = 0;
  int64_t start_sector = 0;
  int64_t sectors = 0;
};

struct SfdiskTable {
  std::string label;  // "gpt" or "dos"
  int sector_size = 512;
  std::vector<SfdiskPartition> partitions;
};

// A sparse file of `size` bytes holding the table that `script` describes.
void makeDiskImage(const std::filesystem::path& file, int64_t size, const std::string& script);
SfdiskTable readWithSfdisk(const std::filesystem::path& file);

std::string readBytes(const std::filesystem::path& file, int64_t offset, size_t count);
void writeBytes(const std::filesystem::path& file, int64_t offset, const std::string& bytes);
// 4096 bytes that are nowhere zero-only, different for each seed.
std::string patternBlock(int seed);
