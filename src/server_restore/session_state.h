#pragma once
// What one server session remembers between operations.
#include <string>
#include <vector>

#include "protocol/listing.h"

namespace server_restore {

struct SessionState {
  std::vector<std::string> clients;
  // The client of the last "-e".
  std::string client;
  // The listing of the last "-e", newest first, and the same without
  // duplicate keys (kept from an earlier listing when the last one failed).
  std::vector<SImage> images;
  std::vector<SImage> unique;
  // The images chosen by the last "-i".
  std::vector<SImage> selection;
};

}  // namespace server_restore
