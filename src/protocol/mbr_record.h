#pragma once
// The partition-table record of one backed-up disk. Layout:
// docs/WIRE_FORMATS.md ("Partition-table record").
#include <cstdint>
#include <string>

#include "protocol/data.h"
#include "protocol/listing.h"

struct SMBRData {
  // Decodes from the reader's current position; the outcome is in decode_failed.
  explicit SMBRData(CRData& data);

  std::string infoString() const;

  char version = 0;
  int device_number = 0;
  int partition_number = 0;
  std::string serial_number;
  std::string volume_name;
  std::string fsn;
  std::string mbr_data;
  std::string errmsg;
  bool is_gpt = false;
  int64_t header_offset = 0;
  std::string header_bytes;
  int64_t entries_offset = 0;
  std::string entries_bytes;
  int64_t region3_offset = 0;
  std::string region3_bytes;
  int64_t region4_offset = 0;
  std::string region4_bytes;
  bool decode_failed = true;

private:
  bool decode(CRData& data);
};

// Downloads the record of `image` into "mbr.dat" in the working directory and
// sets `data` on its bytes (the reader keeps its own copy). False, with
// errmsg = "cannot_read_mbr", on any failure.
bool DownloadMBR(const SImage& image, std::string& errmsg, CRData& data);
