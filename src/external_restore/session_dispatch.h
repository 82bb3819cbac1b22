#pragma once
// Which request a message of the external session is.
#include <string>

enum class MessageKind {
  StartOver,
  Mount,
  DiskReport,
  SubFolders,
  BackupPoints,
  EspCheck,
  Restore,
  Unknown,
};

// The kind is the first of "start-over", "-m", "-i", "-u", "-e", "-c", "-r"
// found anywhere in the text, in that order: the user interface's messages
// are matched by substring, so an image path holding "-i" makes a restore
// request a disk report request.
MessageKind messageKindOf(const std::string& message);
