#include "external_restore/partition_device.h"

#include <cctype>

std::string partitionDevice(const std::string& disk, const std::string& number) {
  const bool endsInDigit = !disk.empty() && std::isdigit(static_cast<unsigned char>(disk.back())) != 0;
  return disk + (endsInDigit ? "p" : "") + number;
}
