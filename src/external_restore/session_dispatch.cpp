#include "external_restore/session_dispatch.h"

#include <array>
#include <utility>

MessageKind messageKindOf(const std::string& message) {
  static constexpr std::array<std::pair<const char*, MessageKind>, 7> kinds{{
      {"start-over", MessageKind::StartOver},
      {"-m", MessageKind::Mount},
      {"-i", MessageKind::DiskReport},
      {"-u", MessageKind::SubFolders},
      {"-e", MessageKind::BackupPoints},
      {"-c", MessageKind::EspCheck},
      {"-r", MessageKind::Restore},
  }};
  for (const auto& [text, kind] : kinds) {
    if (message.find(text) != std::string::npos) {
      return kind;
    }
  }
  return MessageKind::Unknown;
}
