// The partition-table record download bound to the agent's session: it goes
// through the session's image download, so a cancel stops it too.
#include <memory>

#include "protocol/image_download.h"
#include "protocol/mbr_record.h"
#include "protocol/open_file.h"
#include "support/command.h"
#include "support/file.h"
#include "support/io.h"
#include "support/log_line.h"
#include "support/system_error.h"
#include "support/text.h"

namespace {

constexpr const char* recordFile = "mbr.dat";

bool readWholeFile(const std::string& name, std::string& content) {
  const std::unique_ptr<File> file(Server::openFile(name, File::readOnly));
  if (!file) {
    logLine(systemError("cannot open the downloaded record " + name));
    return false;
  }
  const long long size = file->Size();
  if (size < 0 || static_cast<unsigned long long>(size) > CRData::maxLength) {
    return false;
  }
  content.assign(static_cast<size_t>(size), '\0');
  const ssize_t got = preadFull(file->descriptor(), content.data(), content.size(), 0);
  if (got < 0) {
    logLine(systemError("cannot read the downloaded record " + name));
  }
  return got == static_cast<ssize_t>(content.size());
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
