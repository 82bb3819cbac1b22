#include "capture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <vector>

#include "partition_record.h"
#include "support/io.h"
#include "support/system_error.h"
#include "support/unique_fd.h"
#include "volume_probe.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kReadChunk = 4 * 1024 * 1024;
constexpr size_t kRecordsPerWrite = 256;

bool isZero(const char* data, size_t size) {
  return data[0] == 0 && std::memcmp(data, data + 1, size - 1) == 0;
}

bool checkDisk(const CaptureOptions& options, std::string& error) {
  struct stat info {};
  if (::stat(options.disk.c_str(), &info) != 0) {
    error = options.disk + " does not exist";
    return false;
  }
  if (S_ISREG(info.st_mode) && options.allow_plain_file) {
    return true;
  }
  if (!S_ISBLK(info.st_mode)) {
    error = options.disk + " is not a block device";
    return false;
  }
  const std::string sys = "/sys/dev/block/" + std::to_string(major(info.st_rdev)) + ":" +
                          std::to_string(minor(info.st_rdev)) + "/partition";
  if (fs::exists(sys)) {
    error = options.disk + " is a partition; name the whole disk and the partition number";
    return false;
  }
  return true;
}

// Leaves the staging directory behind only when the capture succeeded (it has
// then been renamed away).
struct StagingDir {
  fs::path path;
  ~StagingDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

bool writeFile(const fs::path& path, const std::string& content) {
  UniqueFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  return out.get() >= 0 && writeFull(out.get(), content.data(), content.size()) && ::fsync(out.get()) == 0 &&
         out.close();
}

// Copies the blocks of `range` that hold data into `path` as position + block
// records; returns the number of records, or -1.
int64_t copyDataBlocks(const std::string& disk, const PartitionRange& range, const fs::path& path,
                       std::string& error) {
  UniqueFd in(::open(disk.c_str(), O_RDONLY | O_CLOEXEC));
  UniqueFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (in.get() < 0 || out.get() < 0) {
    error = systemError("cannot open " + (in.get() < 0 ? disk : path.string()));
    return -1;
  }
  // Pages cached from an earlier read of the whole-disk node can be older
  // than what was since written through a partition node; drop them.
  ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_DONTNEED);
  ::posix_fadvise(in.get(), range.start, range.length, POSIX_FADV_SEQUENTIAL);
  std::vector<char> chunk(kReadChunk);
  std::vector<char> pending;
  pending.reserve(kRecordsPerWrite * kBlockRecordSize);
  int64_t records = 0;
  for (int64_t done = 0; done < range.length;) {
    const size_t size = static_cast<size_t>(std::min<int64_t>(kReadChunk, range.length - done));
    const ssize_t got = preadFull(in.get(), chunk.data(), size, range.start + done);
    if (got != static_cast<ssize_t>(size)) {
      const std::string what = "cannot read " + disk + " at byte " + std::to_string(range.start + done);
      error = got < 0 ? systemError(what) : what + ": the disk ends before the partition";
      return -1;
    }
    for (size_t at = 0; at < size; at += kBlockSize) {
      const size_t block = std::min<size_t>(kBlockSize, size - at);
      if (isZero(chunk.data() + at, block)) {
        continue;
      }
      const int64_t position = done + static_cast<int64_t>(at);
      for (int i = 0; i < 8; ++i) {
        pending.push_back(static_cast<char>((static_cast<uint64_t>(position) >> (8 * i)) & 0xFF));
      }
      pending.insert(pending.end(), chunk.data() + at, chunk.data() + at + block);
      pending.resize(pending.size() + (kBlockSize - block), '\0');  // the last block of an odd-sized partition
      ++records;
      if (pending.size() >= kRecordsPerWrite * kBlockRecordSize) {
        if (!writeFull(out.get(), pending.data(), pending.size())) {
          error = systemError("cannot write " + path.string());
          return -1;
        }
        pending.clear();
      }
    }
    done += static_cast<int64_t>(size);
  }
  if (!writeFull(out.get(), pending.data(), pending.size()) || ::fsync(out.get()) != 0 || !out.close()) {
    error = systemError("cannot write " + path.string());
    return -1;
  }
  return records;
}

}  // namespace

std::optional<ImageMeta> captureImage(const Store& store, const CaptureOptions& options, std::string& error) {
  if (!isValidClientName(options.client)) {
    error = "the client name \"" + options.client + "\" cannot be used (empty, or holds | # / & \\ or control characters)";
    return std::nullopt;
  }
  if (!isValidLetter(options.letter)) {
    error = "the letter \"" + options.letter + "\" cannot be used";
    return std::nullopt;
  }
  if (!checkDisk(options, error)) {
    return std::nullopt;
  }
  DiskTable table;
  PartitionRange range;
  if (!readDiskTable(options.disk, table, error) || !partitionRange(table, options.partition, range, error)) {
    return std::nullopt;
  }
  if (options.associated_to != 0) {
    const auto parent = store.findImage(options.associated_to);
    if (!parent || parent->client != options.client || parent->associated_to != 0) {
      error = "image " + std::to_string(options.associated_to) + " is not a top-level image of client " + options.client;
      return std::nullopt;
    }
  }
  if (!store.create(error)) {
    return std::nullopt;
  }
  std::error_code failure;
  fs::create_directories(store.root() / "clients" / options.client, failure);
  const auto id = store.allocateId(error);
  if (!id) {
    return std::nullopt;
  }
  StagingDir staging{store.root() / "clients" / options.client / (".staging-" + std::to_string(*id))};
  fs::create_directories(staging.path, failure);
  if (failure) {
    error = "cannot create " + staging.path.string() + ": " + failure.message();
    return std::nullopt;
  }

  const VolumeDescription volume = probeVolume(options.disk, range);
  RecordIdentity identity;
  identity.device_number = options.device_number;
  identity.partition_number = options.partition;
  identity.serial_number = diskSerial(options.disk);
  identity.volume_name = volume.label;
  identity.fsn = volume.fsn;
  if (!writeFile(staging.path / "record.bin", encodePartitionRecord(table, identity))) {
    error = "cannot write the partition-table record";
    return std::nullopt;
  }
  const int64_t records = copyDataBlocks(options.disk, range, staging.path / "blocks.bin", error);
  if (records < 0) {
    return std::nullopt;
  }

  ImageMeta image;
  image.id = *id;
  image.client = options.client;
  image.time = options.time.value_or(static_cast<int64_t>(std::time(nullptr)));
  image.date = formatBackupDate(image.time);
  image.letter = options.letter;
  image.associated_to = options.associated_to;
  image.image_size = range.length;
  image.data_blocks = records;
  image.source = options.disk;
  image.partition = options.partition;
  if (!store.commitImage(staging.path, image, error)) {
    return std::nullopt;
  }
  return image;
}
