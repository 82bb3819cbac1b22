#pragma once
// Everything the server session reaches outside itself: the backup service,
// the local disks and the disk restore. The program runs the real ones; the
// session's tests drive it with stand-ins.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <json/value.h>

#include "protocol/listing.h"

namespace server_restore {

// What the partition-table record of an image says about its source disk.
struct SourceRecord {
  enum class Outcome { downloadFailed, decodeFailed, read };
  Outcome outcome = Outcome::downloadFailed;
  int device_number = 0;
};

struct SessionServices {
  // The login dialogue; sets `abort` when the user interface started over.
  std::function<bool(bool& abort)> login;
  std::function<std::vector<std::string>(int* err)> listClients;
  std::function<std::vector<SImage>(const std::string& client, int* err)> listImages;
  // Downloads and decodes the image's partition-table record.
  std::function<SourceRecord(const SImage& image)> readSourceRecord;
  // Size in bytes of the source disk of the record read last.
  std::function<int64_t()> lastSourceDiskSize;
  // The local non-USB disks: the disk inventory's JSON value.
  std::function<Json::Value()> targetDisks;
  // Restores one partition image onto `disk`; `errtext` empty on success.
  std::function<void(const SImage& image, const std::string& disk, std::string& errtext)> restore;
};

SessionServices realSessionServices();

}  // namespace server_restore
