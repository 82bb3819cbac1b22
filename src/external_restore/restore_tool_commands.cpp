#include "external_restore/restore_tool_commands.h"

#include "support/shell_quote.h"

std::string partitionNumberCommand(const std::string& image) {
  return "./keelbackrestoreclient --mbr-info " + shellQuote(image + ".mbr") +
         " | grep partition_number | sed 's/partition_number=//'";
}

std::string restoreMbrCommand(const std::string& image, const std::string& disk) {
  return "sudo ./keelbackrestoreclient --restore-mbr " + shellQuote(image + ".mbr") + " -o  " + shellQuote(disk);
}

std::string restoreImageCommand(const std::string& image, const std::string& partition) {
  return "sudo ./keelbackrestoreclient --restore-image " + shellQuote(image) + " -o  " + shellQuote(partition);
}
