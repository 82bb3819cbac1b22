#include "protocol/mbr_record.h"

#include "support/text.h"

SMBRData::SMBRData(CRData& data) {
  decode_failed = !decode(data);
}

bool SMBRData::decode(CRData& data) {
  char leading = 0;
  if (!data.getChar(&leading) || !data.getChar(&version)) {
    return false;
  }
  if (static_cast<unsigned char>(version) > 1) {
    return false;
  }
  if (!data.getInt(&device_number) || !data.getInt(&partition_number) || !data.getStr(&serial_number) ||
      !data.getStr(&volume_name) || !data.getStr(&fsn) || !data.getStr(&mbr_data)) {
    return false;
  }
  if (version == 1) {
    is_gpt = true;
    if (!data.getInt64(&header_offset) || !data.getStr(&header_bytes) || !data.getInt64(&entries_offset) ||
        !data.getStr(&entries_bytes) || !data.getInt64(&region3_offset) || !data.getStr(&region3_bytes) ||
        !data.getInt64(&region4_offset) || !data.getStr(&region4_bytes)) {
      return false;
    }
  }
  // Older services end the record before the error text.
  data.getStr(&errmsg);
  return true;
}

std::string SMBRData::infoString() const {
  std::string info;
  info += "version=" + std::to_string(static_cast<int>(version)) + "\n";
  info += "device_number=" + std::to_string(device_number) + "\n";
  info += "partition_number=" + std::to_string(partition_number) + "\n";
  info += "serial_number=" + serial_number + "\n";
  info += "volume_name=" + volume_name + "\n";
  info += "fsn=" + fsn + "\n";
  info += "mbr_data (" + std::to_string(mbr_data.size()) + " bytes)\n";
  if (is_gpt) {
    info += "gpt_data (" + std::to_string(header_bytes.size() + entries_bytes.size()) + " bytes)\n";
  }
  if (!errmsg.empty()) {
    info += "errmsg=" + errmsg + "\n";
  }
  return info;
}
