#include "image_source.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <optional>

#include <libvhdi.h>

#include "support/io.h"
#include "support/system_error.h"
#include "support/text.h"
#include "vhd_blocks.h"

namespace {

constexpr uint64_t kVhdFooterBytes = 512;

class RawImage : public ImageSource {
public:
  RawImage(int fd, uint64_t size, std::string path) : fd_(fd), size_(size), path_(std::move(path)) {}
  ~RawImage() override { close(fd_); }
  RawImage(const RawImage&) = delete;
  RawImage& operator=(const RawImage&) = delete;

  uint64_t size() const override { return size_; }

  bool readAt(uint64_t offset, char* buffer, size_t length, std::string& error) override {
    const ssize_t got = preadFull(fd_, buffer, length, static_cast<off_t>(offset));
    if (got < 0) {
      error = systemError("reading " + path_ + " failed at byte " + std::to_string(offset));
      return false;
    }
    if (static_cast<size_t>(got) < length) {
      error = "image file " + path_ + " ended early at byte " + std::to_string(offset + static_cast<uint64_t>(got)) +
              " (was it changed while restoring?)";
      return false;
    }
    return true;
  }

private:
  int fd_;
  uint64_t size_;
  std::string path_;
};

std::string vhdiMessage(libvhdi_error_t*& error) {
  if (error == nullptr) {
    return "unknown reason";
  }
  char text[512] = {};
  libvhdi_error_sprint(error, text, sizeof(text));
  libvhdi_error_free(&error);
  return trim(text);
}

class VhdImage : public ImageSource {
public:
  VhdImage(libvhdi_file_t* file, uint64_t size, std::string path) : file_(file), size_(size), path_(std::move(path)) {}
  ~VhdImage() override {
    libvhdi_file_close(file_, nullptr);
    libvhdi_file_free(&file_, nullptr);
  }
  VhdImage(const VhdImage&) = delete;
  VhdImage& operator=(const VhdImage&) = delete;

  uint64_t size() const override { return size_; }

  bool readAt(uint64_t offset, char* buffer, size_t length, std::string& error) override {
    while (length > 0) {
      libvhdi_error_t* vhdi_error = nullptr;
      const ssize_t got = libvhdi_file_read_buffer_at_offset(file_, buffer, length, static_cast<off64_t>(offset), &vhdi_error);
      if (got <= 0) {
        error = "reading " + path_ + " failed at byte " + std::to_string(offset) + ": " +
                (got < 0 ? vhdiMessage(vhdi_error) : std::string("no data"));
        return false;
      }
      buffer += got;
      length -= static_cast<size_t>(got);
      offset += static_cast<uint64_t>(got);
    }
    return true;
  }

private:
  libvhdi_file_t* file_;
  uint64_t size_;
  std::string path_;
};

// With `dataBytes`, the image is the first `dataBytes` of the file, which
// must hold at least that many and `trailerBytes` more.
std::unique_ptr<ImageSource> openRaw(const std::string& path, std::string& error,
                                     std::optional<uint64_t> dataBytes = std::nullopt, uint64_t trailerBytes = 0) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = systemError("cannot open image file " + path, errno);
    return nullptr;
  }
  struct stat info {};
  uint64_t size = 0;
  if (fstat(fd, &info) != 0) {
    error = systemError("cannot examine image file " + path, errno);
  } else if (S_ISREG(info.st_mode)) {
    size = static_cast<uint64_t>(info.st_size);
  } else if (!S_ISBLK(info.st_mode) || ioctl(fd, BLKGETSIZE64, &size) != 0) {
    error = "image " + path + " is neither a file nor a block device";
  }
  if (error.empty() && dataBytes) {
    if (size < *dataBytes || size - *dataBytes < trailerBytes) {
      error = "image file " + path + " is shorter than its layout says";
    }
    size = *dataBytes;
  }
  if (!error.empty()) {
    close(fd);
    return nullptr;
  }
  // The image is read once from start to end.
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::make_unique<RawImage>(fd, size, path);
}

}  // namespace

std::unique_ptr<ImageSource> openVhdImage(const std::string& path, std::string& error, VhdReading reading) {
  if (access(path.c_str(), R_OK) != 0) {
    error = systemError("cannot open image file " + path, errno);
    return nullptr;
  }
  libvhdi_file_t* file = nullptr;
  libvhdi_error_t* vhdi_error = nullptr;
  if (libvhdi_file_initialize(&file, &vhdi_error) != 1) {
    error = "cannot set up the VHD reader: " + vhdiMessage(vhdi_error);
    return nullptr;
  }
  if (libvhdi_file_open(file, path.c_str(), LIBVHDI_OPEN_READ, &vhdi_error) != 1) {
    error = "image file " + path + " is not a readable VHD image: " + vhdiMessage(vhdi_error);
    libvhdi_file_free(&file, nullptr);
    return nullptr;
  }
  uint32_t disk_type = 0;
  size64_t size = 0;
  if (libvhdi_file_get_disk_type(file, &disk_type, &vhdi_error) != 1 ||
      libvhdi_file_get_media_size(file, &size, &vhdi_error) != 1) {
    error = "cannot read the layout of VHD image " + path + ": " + vhdiMessage(vhdi_error);
  } else if (disk_type != LIBVHDI_DISK_TYPE_FIXED && disk_type != LIBVHDI_DISK_TYPE_DYNAMIC) {
    // A differencing image holds only changes against a parent image.
    error = "VHD image " + path + " is a differencing image; only fixed and dynamic images can be restored";
  }
  if (!error.empty()) {
    libvhdi_file_close(file, nullptr);
    libvhdi_file_free(&file, nullptr);
    return nullptr;
  }
  if (reading == VhdReading::WholeBlocks && disk_type == LIBVHDI_DISK_TYPE_FIXED) {
    // A fixed image is the disk's bytes followed by the footer libvhdi has
    // just accepted: read in whole chunks, not libvhdi's sector by sector.
    std::string why;
    auto data = openRaw(path, why, static_cast<uint64_t>(size), kVhdFooterBytes);
    if (data) {
      libvhdi_file_close(file, nullptr);
      libvhdi_file_free(&file, nullptr);
      return data;
    }
    std::cerr << "reading " << path << " through libvhdi: " << why << std::endl;
  }
  if (reading == VhdReading::WholeBlocks && disk_type == LIBVHDI_DISK_TYPE_DYNAMIC) {
    std::string why;
    auto blocks = openDynamicVhdBlocks(path, static_cast<uint64_t>(size), why);
    if (blocks) {
      libvhdi_file_close(file, nullptr);
      libvhdi_file_free(&file, nullptr);
      return blocks;
    }
    // Slower, but libvhdi reads what it accepted.
    std::cerr << "reading " << path << " through libvhdi: " << why << std::endl;
  }
  return std::make_unique<VhdImage>(file, static_cast<uint64_t>(size), path);
}

ImageFormat imageFormatOf(const std::string& path) {
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    return ImageFormat::Unknown;
  }
  const std::string extension = strlower(path.substr(dot + 1));
  if (extension == "raw") {
    return ImageFormat::Raw;
  }
  if (extension == "vhd") {
    return ImageFormat::Vhd;
  }
  return ImageFormat::Unknown;
}

std::unique_ptr<ImageSource> openImage(const std::string& path, std::string& error) {
  switch (imageFormatOf(path)) {
    case ImageFormat::Raw:
      return openRaw(path, error);
    case ImageFormat::Vhd:
      return openVhdImage(path, error);
    case ImageFormat::Unknown:
      break;
  }
  error = "image file " + path + " has an unknown format; expected a .raw or .vhd file";
  return nullptr;
}
