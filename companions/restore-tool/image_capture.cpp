#include "image_capture.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <vector>

#include "image_restore.h"
#include "image_source.h"
#include "partition_record.h"
#include "progress_printer.h"
#include "support/io.h"
#include "support/process_runner.h"
#include "support/system_error.h"
#include "volume_probe.h"

namespace {

// Runs a helper program without a shell, so that no path handed to it is
// ever interpreted; its output goes to standard error, away from the lines
// the agent reads.
bool runHelper(const std::vector<std::string>& args, std::string& error) {
  const ChildExit exit = runChild(args, ChildStdout::toStderr).exit;
  if (exit.succeeded()) {
    return true;
  }
  error = exit.how == ChildExit::How::notStarted ? exit.error : args[0] + " " + exit.describe();
  return false;
}

// Closes on every path; the file is removed unless kept.
class OutputFile {
public:
  OutputFile() = default;
  ~OutputFile() {
    if (fd_ >= 0) {
      close(fd_);
    }
    if (!path_.empty() && !keep_) {
      unlink(path_.c_str());
    }
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool create(const std::string& path, std::string& error) {
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      error = systemError("cannot create " + path, errno);
      return false;
    }
    path_ = path;
    return true;
  }

  bool writeAll(const char* data, size_t length, std::string& error) {
    if (!writeFull(fd_, data, length)) {
      error = systemError("writing " + path_ + " failed");
      return false;
    }
    return true;
  }

  // Leaves a hole instead of writing zeros; the file keeps its length through
  // finish().
  bool skip(size_t length, std::string& error) {
    if (lseek(fd_, static_cast<off_t>(length), SEEK_CUR) < 0) {
      error = systemError("seeking in " + path_ + " failed", errno);
      return false;
    }
    return true;
  }

  bool finish(uint64_t size, std::string& error) {
    if (ftruncate(fd_, static_cast<off_t>(size)) != 0) {
      error = systemError("finishing " + path_ + " failed", errno);
      return false;
    }
    return sync(error);
  }

  // Also flushes what another program wrote into the same file.
  bool sync(std::string& error) {
    if (fsync(fd_) != 0) {
      error = systemError("flushing " + path_ + " failed", errno);
      return false;
    }
    return true;
  }

  void keep() { keep_ = true; }
  const std::string& path() const { return path_; }

private:
  int fd_ = -1;
  std::string path_;
  bool keep_ = false;
};

// The partition's bytes as a raw image: a window of the disk.
class DiskWindow {
public:
  ~DiskWindow() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  bool open(const std::string& disk, std::string& error) {
    fd_ = ::open(disk.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
      error = systemError("cannot open " + disk, errno);
      return false;
    }
    disk_ = disk;
    return true;
  }
  bool readAt(uint64_t offset, char* buffer, size_t length, std::string& error) {
    const ssize_t got = preadFull(fd_, buffer, length, static_cast<off_t>(offset));
    if (got < 0 || static_cast<size_t>(got) < length) {
      error = got < 0 ? systemError("reading " + disk_ + " failed") : disk_ + " ended early";
      return false;
    }
    return true;
  }

private:
  int fd_ = -1;
  std::string disk_;
};

bool copyPartition(const std::string& disk, const PartitionRange& range, OutputFile& output, std::ostream& out,
                   std::string& error) {
  DiskWindow source;
  if (!source.open(disk, error)) {
    return false;
  }
  const uint64_t size = static_cast<uint64_t>(range.length);
  ProgressPrinter progress(out, size, std::chrono::steady_clock::now, std::chrono::milliseconds(300), "Creating image:");
  std::vector<char> buffer(kImageChunkSize);
  progress.update(0);
  for (uint64_t done = 0; done < size;) {
    const size_t length = static_cast<size_t>(std::min<uint64_t>(kImageChunkSize, size - done));
    if (!source.readAt(static_cast<uint64_t>(range.start) + done, buffer.data(), length, error)) {
      return false;
    }
    const bool zeros = std::all_of(buffer.begin(), buffer.begin() + static_cast<long>(length), [](char c) { return c == 0; });
    if (!(zeros ? output.skip(length, error) : output.writeAll(buffer.data(), length, error))) {
      return false;
    }
    done += length;
    progress.update(done);
  }
  if (!output.finish(size, error)) {
    return false;
  }
  progress.finish();
  return true;
}

bool writeRecordFile(const std::string& path, const std::string& record, std::string& error) {
  OutputFile file;
  if (!file.create(path, error) || !file.writeAll(record.data(), record.size(), error) ||
      !file.finish(record.size(), error)) {
    return false;
  }
  file.keep();
  return true;
}

}  // namespace

int createImageCommand(const CaptureRequest& request, std::ostream& out) {
  std::string error;
  DiskTable table;
  PartitionRange range;
  const ImageFormat format = imageFormatOf(request.output);
  const std::string record_path = request.output + ".mbr";

  auto fail = [&out, &error]() {
    out << "error: " << error << std::endl;
    return 1;
  };
  if (format == ImageFormat::Unknown) {
    error = "image file " + request.output + " must end in .raw or .vhd";
    return fail();
  }
  std::error_code ignored;
  for (const std::string& path : {request.output, record_path}) {
    if (std::filesystem::exists(std::filesystem::symlink_status(path, ignored))) {
      error = path + " exists already; it is not overwritten";
      return fail();
    }
  }
  if (!readDiskTable(request.disk, table, error) || !partitionRange(table, request.partition, range, error)) {
    return fail();
  }

  const VolumeDescription volume = probeVolume(request.disk, range);
  RecordIdentity identity;
  identity.device_number = request.device_number;
  identity.partition_number = request.partition;
  identity.serial_number = diskSerial(request.disk);
  identity.volume_name = volume.label;
  identity.fsn = volume.fsn;

  OutputFile image;
  if (format == ImageFormat::Raw) {
    if (!image.create(request.output, error) || !copyPartition(request.disk, range, image, out, error)) {
      return fail();
    }
  } else {
    // qemu-img writes the VHD; it reads the partition from a raw copy beside
    // the target, which is removed afterwards.
    OutputFile raw;
    const std::string raw_path = request.output + ".partial.raw";
    if (!raw.create(raw_path, error) || !copyPartition(request.disk, range, raw, out, error)) {
      return fail();
    }
    if (!image.create(request.output, error)) {
      return fail();
    }
    if (!runHelper({"qemu-img", "convert", "-q", "-f", "raw", "-O", "vpc", "-o", "subformat=dynamic,force_size=on",
                    raw_path, request.output},
                   error) ||
        !image.sync(error)) {
      return fail();
    }
  }
  if (!writeRecordFile(record_path, encodePartitionRecord(table, identity), error)) {
    return fail();
  }
  image.keep();
  out << "Image created successfully" << std::endl;
  return 0;
}
