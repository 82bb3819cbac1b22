#pragma once
// The disk mapping of a "-r" operation and the status table it starts with.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "protocol/listing.h"

namespace server_restore {

// Target disk (device path from the user interface) -> image keys, targets
// in text order.
using RestorePlan = std::map<std::string, std::vector<std::string>>;

// Reads "restorepoints": [{"out": disk, "in": [keys]}, ...]; a repeated "out"
// replaces the earlier list. A missing member is an empty plan. Nothing (and
// `why` says what) when any part has the wrong JSON type: a mapping that was
// only partly understood must not be restored.
std::optional<RestorePlan> readRestorePlan(const Json::Value& operation, std::string& why);

// Names the associated images of each selected image ("SYSVOL" for the first,
// "ESPVOL" for the second of exactly two) and gives every drive of the
// selection an empty status in restorePointToProgress.
void seedProgress(std::vector<SImage>& selection);

}  // namespace server_restore
