#pragma once
// Readable tables of what the agent lists: clients, images, disks.
#include <ostream>
#include <string>
#include <vector>

#include "messages.h"

namespace restorectl {

// Left-aligned columns, two blanks apart; the first row is the header.
std::string formatColumns(const std::vector<std::vector<std::string>>& rows);

void printImages(std::ostream& out, const std::vector<ImageEntry>& images, const std::string& pathHeading);
void printDiskReport(std::ostream& out, const DiskReport& report);
// The USB drives of an "-m" answer with the backup folder found on each partition.
void printUsbDrives(std::ostream& out, const std::vector<TargetDisk>& drives);

// The backup folders ("MOUNTPOINT" after "-m") of an "-m" answer, in order.
std::vector<std::string> backupFolders(const std::vector<TargetDisk>& drives);

}  // namespace restorectl
