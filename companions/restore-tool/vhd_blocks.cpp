#include "vhd_blocks.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "support/io.h"

namespace {

constexpr uint32_t kUnallocated = 0xFFFFFFFF;
constexpr uint32_t kDynamicDisk = 3;
constexpr uint64_t kSector = 512;
// qemu and Windows use 2 MiB; the bounds only keep a damaged header from
// asking for absurd buffers.
constexpr uint32_t kMaxBlockSize = 256 * 1024 * 1024;

uint64_t bigEndian(const unsigned char* bytes, unsigned width) {
  uint64_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    value = value << 8 | bytes[i];
  }
  return value;
}

// One's complement of the byte sum with the checksum field counted as zero.
bool checksumMatches(const std::vector<unsigned char>& bytes, size_t checksum_at) {
  uint32_t sum = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i < checksum_at || i >= checksum_at + 4) {
      sum += bytes[i];
    }
  }
  return static_cast<uint32_t>(~sum) == static_cast<uint32_t>(bigEndian(&bytes[checksum_at], 4));
}

bool readFully(int fd, uint64_t offset, void* buffer, size_t length) {
  return preadFull(fd, buffer, length, static_cast<off_t>(offset)) == static_cast<ssize_t>(length);
}

class DynamicVhdBlocks : public ImageSource {
public:
  DynamicVhdBlocks(int fd, std::string path, uint64_t size, uint32_t block_size, std::vector<uint32_t> table)
      : fd_(fd),
        path_(std::move(path)),
        size_(size),
        block_size_(block_size),
        bitmap_bytes_(((block_size / kSector + 7) / 8 + kSector - 1) & ~(kSector - 1)),
        table_(std::move(table)),
        block_(block_size) {}
  ~DynamicVhdBlocks() override { close(fd_); }
  DynamicVhdBlocks(const DynamicVhdBlocks&) = delete;
  DynamicVhdBlocks& operator=(const DynamicVhdBlocks&) = delete;

  uint64_t size() const override { return size_; }

  bool readAt(uint64_t offset, char* buffer, size_t length, std::string& error) override {
    while (length > 0) {
      const uint64_t index = offset / block_size_;
      const uint64_t within = offset % block_size_;
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(length, block_size_ - within));
      if (offset >= size_ || index >= table_.size()) {
        error = "read beyond the end of VHD image " + path_;
        return false;
      }
      if (table_[index] == kUnallocated) {
        std::memset(buffer, 0, piece);
      } else {
        if (index != cached_ && !loadBlock(index, error)) {
          return false;
        }
        std::memcpy(buffer, block_.data() + within, piece);
      }
      buffer += piece;
      length -= piece;
      offset += piece;
    }
    return true;
  }

private:
  bool loadBlock(uint64_t index, std::string& error) {
    cached_ = UINT64_MAX;
    const uint64_t at = static_cast<uint64_t>(table_[index]) * kSector + bitmap_bytes_;
    if (!readFully(fd_, at, block_.data(), block_.size())) {
      error = "VHD image " + path_ + " ends inside block " + std::to_string(index);
      return false;
    }
    cached_ = index;
    return true;
  }

  int fd_;
  std::string path_;
  uint64_t size_;
  uint32_t block_size_;
  size_t bitmap_bytes_;
  std::vector<uint32_t> table_;
  std::vector<char> block_;
  uint64_t cached_ = UINT64_MAX;
};

}  // namespace

std::unique_ptr<ImageSource> openDynamicVhdBlocks(const std::string& path, uint64_t media_size, std::string& why) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    why = std::strerror(errno);
    return nullptr;
  }
  auto fail = [fd, &why](const std::string& reason) -> std::unique_ptr<ImageSource> {
    close(fd);
    why = reason;
    return nullptr;
  };
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    return fail("cannot examine the file");
  }
  const uint64_t file_size = static_cast<uint64_t>(info.st_size);

  std::vector<unsigned char> footer(512);
  if (!readFully(fd, 0, footer.data(), footer.size()) || std::memcmp(footer.data(), "conectix", 8) != 0 ||
      !checksumMatches(footer, 64)) {
    return fail("no valid footer copy at the start");
  }
  if (bigEndian(&footer[60], 4) != kDynamicDisk || bigEndian(&footer[48], 8) != media_size) {
    return fail("footer disagrees with libvhdi");
  }
  const uint64_t header_at = bigEndian(&footer[16], 8);
  std::vector<unsigned char> header(1024);
  if (header_at > file_size || !readFully(fd, header_at, header.data(), header.size()) ||
      std::memcmp(header.data(), "cxsparse", 8) != 0 || !checksumMatches(header, 36)) {
    return fail("no valid dynamic header");
  }
  const uint64_t table_at = bigEndian(&header[16], 8);
  const uint64_t entries = bigEndian(&header[28], 4);
  const uint64_t block_size = bigEndian(&header[32], 4);
  if (block_size < kSector || block_size > kMaxBlockSize || block_size % kSector != 0 ||
      entries * block_size < media_size || table_at > file_size || entries * 4 > file_size - table_at) {
    return fail("implausible block table");
  }
  std::vector<unsigned char> raw_table(static_cast<size_t>(entries * 4));
  if (!readFully(fd, table_at, raw_table.data(), raw_table.size())) {
    return fail("cannot read the block table");
  }
  std::vector<uint32_t> table(static_cast<size_t>(entries));
  for (size_t i = 0; i < table.size(); ++i) {
    table[i] = static_cast<uint32_t>(bigEndian(&raw_table[i * 4], 4));
  }
  // The image is read once from start to end.
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::make_unique<DynamicVhdBlocks>(fd, path, media_size, static_cast<uint32_t>(block_size), std::move(table));
}
