#include "blockdev/gpt_relocation.h"

#include <boost/crc.hpp>

#include "blockdev/table_fields.h"
#include "support/command.h"
#include "support/io.h"
#include "support/shell_quote.h"
#include "support/system_error.h"

namespace blockdev {

namespace {

using namespace table_fields;

// Far beyond any real table (128 entries of 128 bytes), and small enough
// that the array's size cannot overflow.
constexpr uint64_t kMaxEntryArrayBytes = 64 * 1024 * 1024;

struct Layout {
  uint64_t headerSize = 0;
  uint64_t entryCount = 0;
  uint64_t entrySize = 0;
};

bool readLayout(const std::string& header, unsigned blockSize, Layout& layout, std::string& error) {
  if (header.size() < gptMinHeaderSize || header.compare(0, 8, "EFI PART") != 0) {
    error = "the GPT header carries no EFI PART signature";
    return false;
  }
  layout.headerSize = readLittleEndian(header, gptHeaderSize, 4);
  layout.entryCount = readLittleEndian(header, gptEntryCount, 4);
  layout.entrySize = readLittleEndian(header, gptEntrySize, 4);
  if (layout.headerSize < gptMinHeaderSize || layout.headerSize > header.size() || layout.headerSize > blockSize ||
      layout.entrySize < gptEntryLastLba + 8 || layout.entrySize > kMaxEntryArrayBytes ||
      layout.entryCount * layout.entrySize > kMaxEntryArrayBytes) {
    error = "the GPT header announces a header size of " + std::to_string(layout.headerSize) +
            " and entries of " + std::to_string(layout.entrySize) + " bytes";
    return false;
  }
  return true;
}

// The last block a standard table leaves to partitions on a disk of
// `blocks` blocks: the backup header takes the last block, the backup
// entries the blocks before it (as util-linux and gdisk lay them out).
bool lastUsableBlock(const Layout& layout, uint64_t blocks, unsigned blockSize, uint64_t& lastUsable) {
  const uint64_t entryBlocks = (layout.entryCount * layout.entrySize + blockSize - 1) / blockSize;
  if (blocks < entryBlocks + 2) {
    return false;
  }
  lastUsable = blocks - 2 - entryBlocks;
  return true;
}

uint32_t headerCrc(std::string header, size_t headerSize) {
  writeLittleEndian(header, gptHeaderCrc, 4, 0);
  boost::crc_32_type crc;
  crc.process_bytes(header.data(), headerSize);
  return crc.checksum();
}

bool readBlock(int fd, uint64_t offset, std::string& block, std::string& error) {
  const ssize_t got = preadFull(fd, block.data(), block.size(), static_cast<off_t>(offset));
  if (got != static_cast<ssize_t>(block.size())) {
    error = got < 0 ? systemError("cannot read the GPT header") : "cannot read the GPT header: the disk ended early";
    return false;
  }
  return true;
}

}  // namespace

bool gptFitsDisk(const std::string& header, const std::string& entries, uint64_t diskSize, unsigned blockSize,
                 std::string& error) {
  Layout layout;
  if (blockSize == 0 || !readLayout(header, blockSize, layout, error)) {
    return false;
  }
  uint64_t lastUsable = 0;
  if (!lastUsableBlock(layout, diskSize / blockSize, blockSize, lastUsable)) {
    error = "the disk has no room for a GPT";
    return false;
  }
  for (uint64_t index = 0; index < layout.entryCount; ++index) {
    const uint64_t at = index * layout.entrySize;
    if (at + layout.entrySize > entries.size()) {
      break;
    }
    if (entries.find_first_not_of('\0', at) >= at + gptEntryTypeSize) {
      continue;  // an unused entry: its type is all zeros
    }
    const uint64_t last = readLittleEndian(entries, at + gptEntryLastLba, 8);
    if (last > lastUsable) {
      error = "partition " + std::to_string(index + 1) + " ends in block " + std::to_string(last) +
              ", beyond block " + std::to_string(lastUsable) +
              ", the last a GPT leaves usable on the target; the target disk is smaller than the backed-up disk's "
              "partitions need";
      return false;
    }
  }
  return true;
}

bool relocateGptBackup(BlockDevice& device, std::string& error) {
  const unsigned blockSize = device.logicalBlockSize();
  std::string header(blockSize, '\0');
  Layout layout;
  uint64_t lastUsable = 0;
  if (!readBlock(device.descriptor(), blockSize, header, error) || !readLayout(header, blockSize, layout, error)) {
    return false;
  }
  const uint64_t blocks = device.size() / blockSize;
  if (!lastUsableBlock(layout, blocks, blockSize, lastUsable)) {
    error = device.path() + " has no room for a GPT";
    return false;
  }
  // util-linux reads a primary header whose LastUsableLBA lies beyond the
  // disk as broken and turns to the backup, which is missing here or, worse,
  // a stale one of the disk's earlier table. So the primary is first made
  // one of this disk; its entries, and their CRC, stay as they are.
  if (readLittleEndian(header, gptAlternateLba, 8) != blocks - 1 ||
      readLittleEndian(header, gptLastUsableLba, 8) != lastUsable) {
    writeLittleEndian(header, gptAlternateLba, 8, blocks - 1);
    writeLittleEndian(header, gptLastUsableLba, 8, lastUsable);
    writeLittleEndian(header, gptHeaderCrc, 4, headerCrc(header, layout.headerSize));
    if (!device.writeAll(blockSize, header.data(), header.size(), error) || !device.sync(error)) {
      return false;
    }
  }
  // util-linux keeps a backup header it finds valid at the disk's end and
  // writes it back as it is; one of the disk's earlier table would then pair
  // this primary with another disk GUID and other entries. Cleared, the
  // backup is made from the primary.
  const std::string cleared(blockSize, '\0');
  if (!device.writeAll((blocks - 1) * blockSize, cleared.data(), cleared.size(), error) || !device.sync(error)) {
    return false;
  }
  // sfdisk opens the node without O_EXCL, so it works beside the claim this
  // descriptor holds; the kernel is told of the table by the caller's re-read.
  const CommandRun run = runCommandWithStatus("sfdisk --relocate gpt-bak-std --no-reread --no-tell-kernel " +
                                              shellQuote(device.path()) + " 2>&1");
  if (!run.exitedCleanly()) {
    error = "sfdisk could not write the backup GPT of " + device.path();
    for (const std::string& line : run.lines) {
      error += "; " + line;
    }
    return false;
  }
  return true;
}

}  // namespace blockdev
