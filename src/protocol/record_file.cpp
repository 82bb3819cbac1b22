#include "protocol/record_file.h"

#include <fstream>

#include "protocol/data.h"

std::optional<SMBRData> readPartitionRecordFile(const std::string& path, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot open partition-table file " + path;
    return std::nullopt;
  }
  std::string content;
  // A record holds a few sectors of tables; anything beyond the reader's own
  // limit is not one.
  char block[65536];
  while (file.read(block, sizeof(block)) || file.gcount() > 0) {
    content.append(block, static_cast<size_t>(file.gcount()));
    if (content.size() > CRData::maxLength) {
      error = "partition-table file " + path + " is too large to be a partition-table record";
      return std::nullopt;
    }
  }
  if (file.bad()) {
    error = "cannot read partition-table file " + path;
    return std::nullopt;
  }
  CRData reader(content.data(), content.size(), false);
  SMBRData record(reader);
  if (record.decode_failed) {
    error = "partition-table file " + path + " is damaged or not a partition-table record";
    return std::nullopt;
  }
  return record;
}
