#include "server_restore/partition_table_write.h"

#include <sys/stat.h>

#include <cstdlib>
#include <memory>

#include "control/log_line.h"
#include "protocol/open_file.h"
#include "support/file.h"
#include "support/text.h"

namespace server_restore {

namespace {

bool fail(std::string& errtext, const std::string& text) {
  errtext = text;
  logLine(text);
  return false;
}

bool isBlockDevice(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISBLK(info.st_mode);
}

bool writeAt(File& disk, long long offset, const std::string& bytes) {
  return disk.Seek(offset) && disk.Write(bytes) == bytes.size();
}

}  // namespace

long long logicalBlockSize(const std::string& disk) {
  const std::string text = getFile("/sys/block/" + ExtractFileName(disk, "/\\") + "/queue/logical_block_size");
  // sysfs files read with trailing zero bytes; the number stops at the first non-digit.
  return std::strtoll(text.c_str(), nullptr, 10);
}

bool writePartitionTable(const SMBRData& record, const std::string& disk, std::string& errtext) {
  // A regular file or a missing path here would be created, grown or
  // overwritten as if it were the disk; only a block device can be one.
  if (!isBlockDevice(disk)) {
    return fail(errtext, "cannot_open_disk");
  }
  const std::unique_ptr<File> device(Server::openFile(disk, 3));
  struct stat opened {};
  if (!device || fstat(device->descriptor(), &opened) != 0 || !S_ISBLK(opened.st_mode)) {
    return fail(errtext, "cannot_open_disk");
  }
  // The primary GPT header sits in the second logical block, so its offset
  // equals the source's block size; a disk with another block size cannot
  // take the table, and must be refused before anything is written to it.
  if (record.is_gpt) {
    const long long blockSize = logicalBlockSize(disk);
    if (blockSize <= 0 || blockSize != record.header_offset) {
      return fail(errtext, "gpt_logical_blocksize_change");
    }
  }
  if (!writeAt(*device, 0, record.mbr_data)) {
    return fail(errtext, "error_writing_mbr");
  }
  if (record.is_gpt) {
    if (!writeAt(*device, record.header_offset, record.header_bytes) ||
        !writeAt(*device, record.entries_offset, record.entries_bytes)) {
      return fail(errtext, "error_writing_gpt");
    }
    // The backup copy lies at the end of the source disk; a failure there is
    // reported but does not stop the restore, which then decides errtext.
    const bool region3 = writeAt(*device, record.region3_offset, record.region3_bytes);
    const bool region4 = writeAt(*device, record.region4_offset, record.region4_bytes);
    if (!region3 || !region4) {
      fail(errtext, "error_writing_gpt");
    }
  }
  device->Sync();
  return true;
}

}  // namespace server_restore
