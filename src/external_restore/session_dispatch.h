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

// A JSON object with a text "op" is the request that op names, compared
// exactly; an image path or folder name inside it never changes the kind. Only
// a text that is not JSON at all falls back to looking for the first of
// "start-over", "-m", "-i", "-u", "-e", "-c", "-r" anywhere in it, so that a
// broken "-u" or "-c" still gets its "invalid json" answer.
MessageKind messageKindOf(const std::string& message);
