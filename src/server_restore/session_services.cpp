#include "server_restore/session_services.h"

#include "disks/target_disks.h"
#include "external_restore/disk_report.h"
#include "protocol/login_dialogue.h"
#include "protocol/mbr_record.h"
#include "server_restore/disk_restore.h"

namespace server_restore {

namespace {

SourceRecord readRecord(const SImage& image) {
  SourceRecord result;
  std::string errmsg;
  CRData data;
  if (!DownloadMBR(image, errmsg, data)) {
    return result;
  }
  const SMBRData record(data);
  if (record.decode_failed) {
    result.outcome = SourceRecord::Outcome::decodeFailed;
    return result;
  }
  result.outcome = SourceRecord::Outcome::read;
  result.device_number = record.device_number;
  return result;
}

}  // namespace

SessionServices realSessionServices() {
  SessionServices services;
  services.login = do_login;
  services.listClients = getBackupclients;
  services.listImages = getBackupimages;
  services.readSourceRecord = readRecord;
  // DownloadMBR leaves the record it fetched in "mbr.dat".
  services.lastSourceDiskSize = [] { return static_cast<int64_t>(GetSizeOfSourceDisk("mbr.dat", false) * 512); };
  services.targetDisks = reportTargetDisks;
  services.restore = [](const SImage& image, const std::string& disk, std::string& errtext) {
    DoRestore(image, disk, errtext);
  };
  return services;
}

}  // namespace server_restore
