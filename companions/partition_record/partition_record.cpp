#include "partition_record.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "protocol/data.h"
#include "support/file.h"
#include "support/io.h"
#include "support/system_error.h"

namespace {

constexpr int64_t kMbrSize = 512;
constexpr int kMbrEntryTable = 446;
constexpr int kMbrEntrySize = 16;
constexpr unsigned char kProtectiveType = 0xEE;
constexpr char kGptSignature[] = "EFI PART";
constexpr uint32_t kMinGptHeaderSize = 92;
// Far above any table a partitioning tool writes (128 entries of 128 bytes is
// the norm); the bound only stops a corrupt header from asking for gigabytes.
constexpr uint64_t kMaxEntryArrayBytes = 4 * 1024 * 1024;

uint64_t littleEndian(const std::string& bytes, size_t at, unsigned width) {
  uint64_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    value |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  }
  return value;
}

// False with errno set (EIO when the disk ends first) unless all `count`
// bytes at `offset` were read.
bool readExactly(File& file, int64_t offset, size_t count, std::string& out) {
  out.assign(count, '\0');
  const ssize_t got = preadFull(file.descriptor(), out.data(), count, static_cast<off_t>(offset));
  if (got >= 0 && static_cast<size_t>(got) < count) {
    errno = EIO;
  }
  return got >= 0 && static_cast<size_t>(got) == count;
}

bool isBlockDevice(const File& file) {
  struct stat info {};
  return ::fstat(file.descriptor(), &info) == 0 && S_ISBLK(info.st_mode);
}

bool hasProtectiveEntry(const std::string& mbr) {
  for (int i = 0; i < 4; ++i) {
    if (static_cast<unsigned char>(mbr[kMbrEntryTable + i * kMbrEntrySize + 4]) == kProtectiveType) {
      return true;
    }
  }
  return false;
}

bool hasGptSignature(const std::string& header) {
  return header.size() >= 8 && std::memcmp(header.data(), kGptSignature, 8) == 0;
}

struct GptHeaderFields {
  uint32_t header_size;
  uint64_t alternate_lba;
  uint64_t entries_lba;
  uint32_t entry_count;
  uint32_t entry_size;
};

GptHeaderFields headerFields(const std::string& sector) {
  return {static_cast<uint32_t>(littleEndian(sector, 12, 4)), littleEndian(sector, 32, 8),
          littleEndian(sector, 72, 8), static_cast<uint32_t>(littleEndian(sector, 80, 4)),
          static_cast<uint32_t>(littleEndian(sector, 84, 4))};
}

// Byte position of `lba`, or -1 when it (with `length` bytes) does not lie on the disk.
int64_t bytePosition(uint64_t lba, uint64_t length, const DiskTable& table) {
  const uint64_t size = static_cast<uint64_t>(table.disk_size);
  if (lba > size / table.logical_block_size) {
    return -1;
  }
  const uint64_t offset = lba * table.logical_block_size;
  if (length > size || offset > size - length) {
    return -1;
  }
  return static_cast<int64_t>(offset);
}

bool readRegion(File& file, const DiskTable& table, uint64_t lba, uint64_t length, const char* what,
                DiskRegion& region, std::string& error) {
  region.offset = bytePosition(lba, length, table);
  if (region.offset < 0) {
    error = std::string("the GPT ") + what + " lies beyond the end of the disk";
    return false;
  }
  if (!readExactly(file, region.offset, length, region.bytes)) {
    error = systemError(std::string("cannot read the GPT ") + what);
    return false;
  }
  return true;
}

bool readGpt(File& file, const std::string& primary_sector, DiskTable& table, std::string& error) {
  const GptHeaderFields primary = headerFields(primary_sector);
  if (primary.header_size < kMinGptHeaderSize || primary.header_size > table.logical_block_size) {
    error = "the GPT header announces an impossible size of " + std::to_string(primary.header_size) + " bytes";
    return false;
  }
  const uint64_t entry_bytes = static_cast<uint64_t>(primary.entry_count) * primary.entry_size;
  if (primary.entry_size < 128 || primary.entry_size % 8 != 0 || entry_bytes == 0 ||
      entry_bytes > kMaxEntryArrayBytes) {
    error = "the GPT header announces an impossible partition entry array";
    return false;
  }
  table.header.offset = table.logical_block_size;
  table.header.bytes = primary_sector.substr(0, primary.header_size);
  if (!readRegion(file, table, primary.entries_lba, entry_bytes, "partition entry array", table.entries, error) ||
      !readRegion(file, table, primary.alternate_lba, table.logical_block_size, "backup header",
                  table.backup_header, error)) {
    return false;
  }
  if (!hasGptSignature(table.backup_header.bytes)) {
    error = "the backup GPT header is missing or damaged";
    return false;
  }
  const GptHeaderFields backup = headerFields(table.backup_header.bytes);
  if (backup.header_size != primary.header_size || backup.entry_count != primary.entry_count ||
      backup.entry_size != primary.entry_size) {
    error = "the backup GPT header does not match the primary header";
    return false;
  }
  table.backup_header.bytes.resize(backup.header_size);
  return readRegion(file, table, backup.entries_lba, entry_bytes, "backup partition entry array",
                    table.backup_entries, error);
}

uint32_t logicalBlockSize(const File& file) {
  int size = 0;
  if (::ioctl(file.descriptor(), BLKSSZGET, &size) == 0 && size >= 512) {
    return static_cast<uint32_t>(size);
  }
  return 512;
}

}  // namespace

bool readDiskTable(const std::string& disk, DiskTable& table, std::string& error) {
  table = DiskTable{};
  File file;
  if (!file.Open(disk, File::readOnly)) {
    error = systemError("cannot open " + disk + " for reading");
    return false;
  }
  // Clean pages cached by an earlier read may predate a table written since
  // through another node of the same disk.
  ::posix_fadvise(file.descriptor(), 0, 0, POSIX_FADV_DONTNEED);
  table.disk_size = file.Size();
  table.logical_block_size = isBlockDevice(file) ? logicalBlockSize(file) : 512;
  if (table.disk_size < kMbrSize) {
    error = "cannot read the first sector of " + disk + ": it holds fewer bytes";
    return false;
  }
  if (!readExactly(file, 0, kMbrSize, table.mbr)) {
    error = systemError("cannot read the first sector of " + disk);
    return false;
  }
  if (static_cast<unsigned char>(table.mbr[510]) != 0x55 || static_cast<unsigned char>(table.mbr[511]) != 0xAA) {
    error = disk + " holds no partition table";
    return false;
  }
  if (!hasProtectiveEntry(table.mbr)) {
    return true;
  }
  // A disk image in a plain file does not say its block size: it is taken as
  // 512, what sfdisk and the loop driver assume for files.
  std::string sector;
  if (table.disk_size >= 2 * static_cast<int64_t>(table.logical_block_size) &&
      readExactly(file, table.logical_block_size, table.logical_block_size, sector) && hasGptSignature(sector)) {
    table.is_gpt = true;
    return readGpt(file, sector, table, error);
  }
  error = disk + " has a protective MBR but no GPT header";
  return false;
}

bool partitionRange(const DiskTable& table, int number, PartitionRange& range, std::string& error) {
  uint64_t first_block = 0;
  uint64_t block_count = 0;
  const std::string name = "partition " + std::to_string(number);
  if (table.is_gpt) {
    const uint32_t entry_size = static_cast<uint32_t>(littleEndian(table.header.bytes, 84, 4));
    const uint64_t at = static_cast<uint64_t>(number - 1) * entry_size;
    if (number < 1 || at + entry_size > table.entries.bytes.size()) {
      error = name + " does not exist in the GPT";
      return false;
    }
    const std::string entry = table.entries.bytes.substr(at, entry_size);
    if (entry.substr(0, 16) == std::string(16, '\0')) {
      error = name + " is not in use";
      return false;
    }
    first_block = littleEndian(entry, 32, 8);
    const uint64_t last_block = littleEndian(entry, 40, 8);
    if (last_block < first_block) {
      error = name + " ends before it starts";
      return false;
    }
    block_count = last_block - first_block + 1;
  } else {
    if (number > 4) {
      error = "logical partitions (5 and above) are not supported: their table is not part of the record";
      return false;
    }
    if (number < 1) {
      error = name + " does not exist";
      return false;
    }
    const size_t at = kMbrEntryTable + static_cast<size_t>(number - 1) * kMbrEntrySize;
    const unsigned type = static_cast<unsigned char>(table.mbr[at + 4]);
    if (type == 0) {
      error = name + " is not in use";
      return false;
    }
    if (type == 0x05 || type == 0x0F || type == 0x85) {
      error = name + " is an extended partition";
      return false;
    }
    first_block = littleEndian(table.mbr, at + 8, 4);
    block_count = littleEndian(table.mbr, at + 12, 4);
    if (block_count == 0) {
      error = name + " is empty";
      return false;
    }
  }
  range.start = bytePosition(first_block, 0, table);
  const uint64_t length = block_count * table.logical_block_size;
  if (range.start < 0 || block_count > static_cast<uint64_t>(table.disk_size) / table.logical_block_size ||
      bytePosition(first_block, length, table) < 0) {
    error = name + " reaches beyond the end of the disk";
    return false;
  }
  range.length = static_cast<int64_t>(length);
  return true;
}

std::string encodePartitionRecord(const DiskTable& table, const RecordIdentity& identity) {
  CWData data;
  data.addUChar(0);  // leading byte: readers skip it
  data.addUChar(table.is_gpt ? 1 : 0);
  data.addInt(identity.device_number);
  data.addInt(identity.partition_number);
  data.addString(identity.serial_number);
  data.addString(identity.volume_name);
  data.addString(identity.fsn);
  data.addString(table.mbr);
  if (table.is_gpt) {
    for (const DiskRegion* region : {&table.header, &table.entries, &table.backup_entries, &table.backup_header}) {
      data.addInt64(region->offset);
      data.addString(region->bytes);
    }
  }
  data.addString(identity.errmsg);
  return std::string(data.getDataPtr(), data.getDataSize());
}
