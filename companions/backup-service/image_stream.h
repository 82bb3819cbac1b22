#pragma once
// "DOWNLOAD IMAGE": the 8-byte size and the raw stream that follows it, in
// partition-table mode (the record bytes) or image mode (position + 4096-byte
// block pairs for the blocks holding data, then the end marker).
#include <cstdint>
#include <string>

#include "download_progress.h"
#include "faults.h"
#include "requests.h"

constexpr int64_t kEndMarker = 0x7FFFFFFFFFFFFFFF;
constexpr int64_t kRefused = -1;

struct DownloadRequest {
  int image_id = 0;
  int64_t time = 0;
  bool record_mode = false;
  int64_t offset = -1;  // image mode: blocks before it are left out
};

// False when a parameter is missing or malformed.
bool parseDownloadRequest(const Request& request, DownloadRequest& download);

// Sends the reply stream for one request on `socket` and returns a one-line
// account of what happened, for the service log.
std::string streamDownload(int socket, const RequestHandler& handler, const Request& request, const FaultPlan& faults,
                           DownloadProgress& progress);
