#pragma once
// Fetching one image from the backup service onto a target file or device.
#include <cstdint>
#include <string>

// Result codes of downloadImage.
enum DownloadResult : int {
  downloadOk = 0,
  downloadCannotOpenTarget = 2,
  downloadRefused = 3,
  downloadStreamFailed = 4,  // stream stopped, timed out, was corrupt, or the restore was cancelled
  downloadWriteFailed = 6,
  downloadNoConnection = 10,
  downloadTargetTooSmall = 11,
};

// Downloads image `img_id` of backup time `img_time` into `outfile`, which
// must exist. With `mbr` the partition-table record is written as it comes;
// otherwise the block stream is written at its positions and the target is
// synced before 0 is returned. `offset` -1 sends none; the sixth argument is
// unused. Each output pointer may be null; the image size is -1 when it
// never arrived whole.
int downloadImage(int img_id, std::string img_time, std::string outfile, bool mbr, int64_t offset, int,
                  int64_t* out_imgsize, int64_t* out_targetsize);
