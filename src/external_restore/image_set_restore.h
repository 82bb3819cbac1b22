#pragma once
// Writing the images of one target disk: a system-volume image brings its
// system-reserved and EFI partition images along, restored before it.
#include <string>
#include <vector>

// Restores `images` in order onto the whole disk `target`; stops after the
// image during which the run was cancelled.
void DoRestoreForList(const std::vector<std::string>& images, const std::string& target);

// Writes the partition table of <image>.mbr onto `target`, then the image onto
// its partition, reporting under `key`. The table is learned through the tool
// on a scratch disk and checked against the target first. An image whose
// partition number cannot be read, whose table does not fit the target, or
// whose target is refused by the gate is marked "ERROR" and nothing of it is
// written; so is the image when the tool's table step fails or leaves the
// disk without that partition where the table puts it. Returns 1.
int RestoreImage(const std::string& image, const std::string& key, const std::string& target);
