#pragma once
// Misbehaviour a service run can be told to show, so that the agent's handling
// of a failing backup service can be exercised against the real thing.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

struct FaultPlan {
  std::optional<int64_t> stall_after;  // image-mode streams: stop sending after N bytes, keep the connection open
  std::optional<int64_t> close_after;  // image-mode streams: close the connection after N bytes
  // The first image-mode stream of the run only: close the connection after
  // N bytes; later streams (a client resuming) go through whole.
  std::optional<int64_t> cut_once_after;
  std::shared_ptr<std::atomic<bool>> cut_done = std::make_shared<std::atomic<bool>>(false);
  bool split_size = false;             // every download: the 8-byte size field goes out as 3 + 5 bytes
  bool refuse_images = false;          // image-mode downloads: size -1
  bool refuse_records = false;         // partition-table downloads: size -1
  bool garbage_listings = false;       // client and image listings: unframed junk, then close
  bool corrupt_records = false;        // partition-table downloads: the record's version byte becomes 2
};
