#pragma once
// Capturing one partition of a disk as an image file with its partition-table
// record beside it (image + ".mbr"): the files a restore reads back.
#include <ostream>
#include <string>

struct CaptureRequest {
  std::string disk;       // block device or disk image file
  int partition = 0;      // counting from 1
  int device_number = 0;  // the disk's number on the backed-up machine
  std::string output;     // image path, ".raw" or ".vhd"
};

// The --create-image command. Existing files are never overwritten. Prints
// progress lines, then a line holding "successfully" or one holding "error".
int createImageCommand(const CaptureRequest& request, std::ostream& out);
