#pragma once
// The reason a restore target was refused, sent to the user interface beside
// the drive's "ERROR" status, which alone does not say what to fix.
#include <string>

// Pushes {"op": "refused", "key": key, "target": target, "reason": reason}
// onto resp_queue.
void SendTargetRefusal(const std::string& key, const std::string& target, const std::string& reason);
