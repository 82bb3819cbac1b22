#pragma once
// Runs the restore tool's image-writing command and turns its output lines
// into the progress of one key.
#include <string>

// Line rules, first match wins: a line holding "error" in lower case marks the key "ERROR" and ends the image; "successfully"
// marks it "SUCCESS"; a line holding "%" sets its last blank-separated word
// (37%); any other line sets the empty text. The table is sent after every
// line. The image counts as written only when the tool exits with status 0
// after its success line; otherwise (killed, refused by sudo, silent) the key
// becomes "ERROR". A cancel ends reading without sending the line just read,
// and stops the tool within a quarter of a second, also while it is silent.
// Returns 0 when the command could not be started or failed, 1 when it
// succeeded or was cancelled.
int DownloadImageFromExtDrive(const std::string& command, const std::string& key);
