#include "disk_images.h"

#include <fcntl.h>
#include <unistd.h>

#include <json/json.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/command.h"
#include "support/shell_quote.h"

void makeDiskImage(const std::filesystem::path& file, int64_t size, const std::string& script) {
  std::ofstream(file, std::ios::binary | std::ios::trunc).close();
  std::filesystem::resize_file(file, static_cast<uintmax_t>(size));
  const auto script_file = file.string() + ".sfdisk";
  std::ofstream(script_file) << script;
  std::string output;
  runCommand("sfdisk -q --no-reread " + shellQuote(file.string()) + " < " + shellQuote(script_file) + " 2>&1",
             output);
  std::filesystem::remove(script_file);
  if (readWithSfdisk(file).partitions.empty()) {
    throw std::runtime_error("sfdisk did not partition " + file.string() + ": " + output);
  }
}

SfdiskTable readWithSfdisk(const std::filesystem::path& file) {
  std::string output;
  runCommand("sfdisk -J " + shellQuote(file.string()) + " 2>/dev/null", output);
  Json::Value root;
  std::istringstream in(output);
  SfdiskTable table;
  if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &root, nullptr)) {
    return table;
  }
  const Json::Value& pt = root["partitiontable"];
  table.label = pt["label"].asString();
  table.sector_size = pt.get("sectorsize", 512).asInt();
  for (const Json::Value& entry : pt["partitions"]) {
    const std::string node = entry["node"].asString();
    const auto digits = node.find_last_not_of("0123456789");
    table.partitions.push_back(
        {std::stoi(node.substr(digits + 1)), entry["start"].asInt64(), entry["size"].asInt64()});
  }
  return table;
}

std::string readBytes(const std::filesystem::path& file, int64_t offset, size_t count) {
  std::ifstream in(file, std::ios::binary);
  in.seekg(offset);
  std::string bytes(count, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(count));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

void writeBytes(const std::filesystem::path& file, int64_t offset, const std::string& bytes) {
  const int fd = open(file.c_str(), O_WRONLY | O_CLOEXEC);
  const bool written = fd >= 0 && pwrite(fd, bytes.data(), bytes.size(), offset) == static_cast<ssize_t>(bytes.size());
  const bool synced = fd >= 0 && fsync(fd) == 0;
  if (fd >= 0) {
    close(fd);
  }
  if (!written || !synced) {
    throw std::runtime_error("cannot write " + file.string());
  }
}

std::string patternBlock(int seed) {
  std::string block(4096, '\0');
  uint32_t state = 0x9E3779B9u * static_cast<uint32_t>(seed + 1);
  for (char& byte : block) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<char>((state >> 24) | 1);  // never zero
  }
  return block;
}
