#pragma once
// The command line of the restore tool, parsed into one request.
#include <optional>
#include <string>
#include <vector>

enum class ToolOperation {
  MbrInfo,
  RestoreMbr,
  RestoreImage,
  ImageDownloadProgress,
  CreateImage,
  Help,
};

struct ToolOptions {
  ToolOperation operation = ToolOperation::Help;
  // The partition-table file (--mbr-info, --restore-mbr) or the image file
  // (--restore-image).
  std::string input;
  // The device written to, or the image file written by --create-image.
  std::string output;
  // --create-image only.
  std::string disk;
  int partition = 0;
  int device_number = 0;
};

// Parses the arguments after the program name. On failure returns nothing and
// sets `error` to a message for the user.
std::optional<ToolOptions> parseToolOptions(const std::vector<std::string>& args, std::string& error);

std::string toolUsage();
