#include "blockdev/partition_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using blockdev::PartitionExtent;

void putLittleEndian(std::string& bytes, size_t at, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) {
    bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
  }
}

// An MBR with primary entries (number, type, first block, block count).
std::string mbr(const std::vector<std::vector<uint64_t>>& entries) {
  std::string bytes(512, '\0');
  for (const auto& e : entries) {
    const size_t at = 446 + (e[0] - 1) * 16;
    putLittleEndian(bytes, at + 4, e[1], 1);
    putLittleEndian(bytes, at + 8, e[2], 4);
    putLittleEndian(bytes, at + 12, e[3], 4);
  }
  bytes[510] = '\x55';
  bytes[511] = '\xaa';
  return bytes;
}

std::string gptHeader(uint32_t count, uint32_t entrySize) {
  std::string bytes(92, '\0');
  putLittleEndian(bytes, 80, count, 4);
  putLittleEndian(bytes, 84, entrySize, 4);
  return bytes;
}

// 128-byte entries; an entry with first block 0 is left unused.
std::string gptEntries(const std::vector<std::pair<uint64_t, uint64_t>>& firstLast, size_t count) {
  std::string bytes(count * 128, '\0');
  for (size_t i = 0; i < firstLast.size(); ++i) {
    if (firstLast[i].first == 0) {
      continue;
    }
    bytes[i * 128] = 'T';  // any non-zero type
    putLittleEndian(bytes, i * 128 + 32, firstLast[i].first, 8);
    putLittleEndian(bytes, i * 128 + 40, firstLast[i].second, 8);
  }
  return bytes;
}

TEST(PartitionExtent, FoundByPartitionNumberNotByPlace) {
  const std::string table = mbr({{1, 0x83, 2048, 4096}, {3, 0x07, 8192, 8192}});
  const std::string header = gptHeader(4, 128);
  const std::string entries = gptEntries({{34, 2081}, {0, 0}, {4096, 8191}}, 4);
  struct Case {
    std::string name;
    std::string header;
    std::string entries;
    unsigned blockSize;
    int number;
    bool found;
    PartitionExtent extent;
  };
  const std::vector<Case> cases{
      {"MBR 1", "", "", 512, 1, true, {2048 * 512, 4096 * 512}},
      {"MBR 3 after a gap", "", "", 512, 3, true, {8192 * 512, 8192 * 512}},
      {"MBR gap", "", "", 512, 2, false, {}},
      {"MBR on 4 KiB blocks", "", "", 4096, 3, true, {8192ULL * 4096, 8192ULL * 4096}},
      {"MBR logical partition", "", "", 512, 5, false, {}},
      {"MBR number 0", "", "", 512, 0, false, {}},
      {"GPT 1", header, entries, 512, 1, true, {34 * 512, 2048 * 512}},
      {"GPT 3 after a gap", header, entries, 512, 3, true, {4096 * 512, 4096 * 512}},
      {"GPT unused entry", header, entries, 512, 2, false, {}},
      {"GPT beyond the entry count", header, entries, 512, 5, false, {}},
      {"GPT entries cut short", header, entries.substr(0, 200), 512, 3, false, {}},
      {"GPT entry size too small", gptHeader(4, 16), entries, 512, 1, false, {}},
      // 2^55 blocks of 512 bytes wrap to byte 0 unless refused.
      {"GPT extent that wraps", header, gptEntries({{1ULL << 55, (1ULL << 55) + 2047}}, 4), 512, 1, false, {}},
      {"GPT extent ending at the last block", header, gptEntries({{34, UINT64_MAX}}, 4), 512, 1, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PartitionExtent extent;
    std::string error;
    EXPECT_EQ(blockdev::partitionExtent(table, c.header, c.entries, c.blockSize, c.number, extent, error), c.found);
    if (c.found) {
      EXPECT_EQ(extent, c.extent);
    } else {
      EXPECT_FALSE(error.empty());
    }
  }
}

TEST(RegionsFit, EveryRegionWhollyInsideTheDisk) {
  const std::string sector(512, 'x');
  const std::string empty;
  const uint64_t disk = 1 << 20;
  using Regions = std::vector<blockdev::TableRegion>;
  std::string error;
  EXPECT_TRUE(blockdev::regionsFit(Regions{{"a", 0, &sector}, {"b", disk - 512, &sector}}, disk, error)) << error;
  EXPECT_FALSE(blockdev::regionsFit(Regions{{"a", 0, &sector}, {"b", disk - 511, &sector}}, disk, error));
  EXPECT_NE(error.find("b"), std::string::npos);
  EXPECT_FALSE(blockdev::regionsFit(Regions{{"a", -512, &sector}}, disk, error));
  EXPECT_FALSE(blockdev::regionsFit(Regions{{"a", INT64_MAX, &sector}}, disk, error));
  EXPECT_FALSE(blockdev::regionsFit(Regions{{"a", 0, &empty}}, disk, error));
  EXPECT_FALSE(blockdev::regionsFit(Regions{{"a", 0, nullptr}}, disk, error));
}

}  // namespace
