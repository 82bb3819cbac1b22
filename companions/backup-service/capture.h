#pragma once
// Turning one partition of a real disk into a stored image: its
// partition-table record and its non-zero 4096-byte blocks.
#include <cstdint>
#include <optional>
#include <string>

#include "store.h"

struct CaptureOptions {
  std::string client;
  std::string disk;
  int partition = 0;
  std::string letter;
  std::optional<int64_t> time;  // now when not given
  int associated_to = 0;
  int device_number = 0;
  // Disk images in plain files are refused unless asked for: a mistyped path
  // should not silently become a "disk".
  bool allow_plain_file = false;
};

std::optional<ImageMeta> captureImage(const Store& store, const CaptureOptions& options, std::string& error);
