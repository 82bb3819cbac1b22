#include "partition_record_file.h"

namespace {

std::string oneLine(std::string value) {
  for (char& c : value) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      c = ' ';
    }
  }
  return value;
}

}  // namespace

std::string mbrInfoText(const SMBRData& record) {
  std::string text;
  auto line = [&text](const std::string& key, const std::string& value) { text += key + "=" + oneLine(value) + "\n"; };
  line("version", std::to_string(static_cast<int>(record.version)));
  line("device_number", std::to_string(record.device_number));
  line("partition_number", std::to_string(record.partition_number));
  line("serial_number", record.serial_number);
  line("volume_name", record.volume_name);
  line("fsn", record.fsn);
  line("is_gpt", record.is_gpt ? "1" : "0");
  line("mbr_bytes", std::to_string(record.mbr_data.size()));
  if (record.is_gpt) {
    line("gpt_header_offset", std::to_string(record.header_offset));
    line("gpt_entries_offset", std::to_string(record.entries_offset));
    line("gpt_entries_bytes", std::to_string(record.entries_bytes.size()));
  }
  line("errmsg", record.errmsg);
  return text;
}

int mbrInfoCommand(const std::string& path, std::ostream& out, std::ostream& diagnostics) {
  std::string error;
  const std::optional<SMBRData> record = readPartitionRecordFile(path, error);
  if (!record) {
    diagnostics << "error: " << error << std::endl;
    return 1;
  }
  out << mbrInfoText(*record) << std::flush;
  return 0;
}
