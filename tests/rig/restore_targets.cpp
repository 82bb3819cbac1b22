#include "rig/restore_targets.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "partition_record.h"
#include "protocol/data.h"

std::string encodedRecordOf(const std::string& disk, int partition) {
  DiskTable table;
  std::string error;
  if (!readDiskTable(disk, table, error)) {
    throw std::runtime_error("cannot read the table of " + disk + ": " + error);
  }
  RecordIdentity identity;
  identity.device_number = 1;
  identity.partition_number = partition;
  return encodePartitionRecord(table, identity);
}

SMBRData recordOf(const std::string& disk, int partition) {
  const std::string bytes = encodedRecordOf(disk, partition);
  CRData reader(bytes.data(), bytes.size(), true);
  return SMBRData(reader);
}

std::string deviceBytes(const std::string& device) {
  std::string bytes;
  const int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return bytes;
  }
  char block[65536];
  for (ssize_t got; (got = ::read(fd, block, sizeof block)) > 0;) {
    bytes.append(block, static_cast<size_t>(got));
  }
  ::close(fd);
  return bytes;
}

void writeDeviceBytes(const std::string& device, long long offset, const std::string& bytes) {
  std::fstream out(device, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(offset);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.flush();
  if (!out) {
    throw std::runtime_error("cannot write to " + device);
  }
}

std::string pattern(size_t size, char seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>(seed + i % 97);
  }
  return bytes;
}

void swapMedium(Rig& rig, const std::string& name) {
  const std::string device = rig.device(name);
  const std::filesystem::path backing = rig.state() / (name + ".img");
  const std::filesystem::path fresh = rig.state() / (name + ".swapped.img");
  std::filesystem::copy_file(backing, fresh);
  // The fresh backing file lies in the rig's state, so the rig still owns
  // the device and detaches it at the end.
  for (const std::vector<std::string>& command : {std::vector<std::string>{"losetup", "-d", device},
                                                  std::vector<std::string>{"losetup", "-P", device, fresh.string()}}) {
    const RigRun run = runProgram(command);
    if (run.status != 0) {
      throw std::runtime_error("cannot swap the medium of " + device + ": " + run.output);
    }
  }
}

RigInventory::RigInventory(const Rig& rig)
    : path_("PATH", Rig::pathWithStandIns()), state_("RIG_STATE", rig.state().string()) {}

void plantMdSuperblock(const std::string& partition, long long size) {
  const uint64_t offset = (static_cast<uint64_t>(size) & ~uint64_t{0xFFF}) - 0x2000;
  std::string block(256, '\0');
  auto put = [&block](size_t at, size_t width, uint64_t value) {
    for (size_t i = 0; i < width; ++i) {
      block[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
  };
  put(0, 4, 0xa92b4efc);  // magic
  put(4, 4, 1);           // major version
  block.replace(16, 16, "planted-md-uuid!");
  block.replace(32, 8, "oldarray");
  put(72, 4, 1);             // RAID 1
  put(92, 4, 2);             // of two disks
  put(144, 8, offset >> 9);  // where this superblock lies, in sectors
  // The checksum adds the superblock's little-endian 32-bit words (with no
  // device roles, max_dev 0) and folds the carry back in.
  uint64_t sum = 0;
  for (size_t at = 0; at < block.size(); at += 4) {
    uint32_t word = 0;
    for (size_t i = 4; i-- > 0;) {
      word = (word << 8) | static_cast<unsigned char>(block[at + i]);
    }
    sum += word;
  }
  put(216, 4, (sum & 0xFFFFFFFF) + (sum >> 32));
  writeDeviceBytes(partition, static_cast<long long>(offset), block);
}
