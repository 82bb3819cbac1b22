#pragma once
// The images of one backup client as the session offers them: keyed by date
// and letter, newest first without duplicates, answered oldest first.
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "protocol/listing.h"

namespace server_restore {

// backup_date + "_" + letter: how an image is named in every message between
// the session and the user interface.
std::string imageKey(const SImage& image);

// `sorted` without the images whose key was already seen, order kept. Logs
// "Duplicate entries are handled.." for each one dropped.
std::vector<SImage> uniqueImages(const std::vector<SImage>& sorted);

// The "-e" answer: the images from the last to the first, each as
// {"letter", "backupdate", "path": key}.
Json::Value imageListAnswer(const std::vector<SImage>& unique);

// The "error" answer for a listing with result `code` that found `count`
// images; nothing when the listing can be answered.
std::optional<Json::Value> imageListingError(int code, size_t count);

}  // namespace server_restore
