#include "protocol/mbr_record.h"

#include <memory>

#include "protocol/image_download.h"
#include "protocol/open_file.h"
#include "support/command.h"
#include "support/file.h"
#include "support/log_line.h"
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

namespace {

constexpr const char* recordFile = "mbr.dat";

bool readWholeFile(const std::string& name, std::string& content) {
  const std::unique_ptr<File> file(Server::openFile(name, File::readOnly));
  if (!file) {
    return false;
  }
  const long long size = file->Size();
  if (size < 0 || static_cast<unsigned long long>(size) > CRData::maxLength) {
    return false;
  }
  content.assign(static_cast<size_t>(size), '\0');
  size_t done = 0;
  while (done < content.size()) {
    bool failed = false;
    const unsigned int got =
        file->Read(static_cast<long long>(done), content.data() + done,
                   static_cast<unsigned int>(content.size() - done), &failed);
    if (failed || got == 0) {
      return false;
    }
    done += got;
  }
  return true;
}

}  // namespace

bool DownloadMBR(const SImage& image, std::string& errmsg, CRData& data) {
  if (FileExists(recordFile)) {
    const bool deleted = DeleteFileInt(recordFile);
    logLine(std::string("Trying to Delete mbr.data ") + (deleted ? "1" : "0"));
  }
  runSystem("touch mbr.dat");
  const int result =
      downloadImage(image.image_id, std::to_string(image.backup_time), recordFile, true, -1, 0, nullptr, nullptr);
  std::string content;
  if (result != downloadOk || !readWholeFile(recordFile, content)) {
    errmsg = "cannot_read_mbr";
    logLine(errmsg);
    return false;
  }
  data.set(content.data(), content.size(), true);
  return true;
}
