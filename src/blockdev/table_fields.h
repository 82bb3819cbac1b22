#pragma once
// Where the fields of the on-disk partition tables lie, and how their
// little-endian numbers are read and written (docs/WIRE_FORMATS.md has the
// record that carries these tables).
#include <cstddef>
#include <cstdint>
#include <string>

namespace blockdev::table_fields {

// A GPT header.
constexpr size_t gptHeaderSize = 12;
constexpr size_t gptHeaderCrc = 16;
constexpr size_t gptAlternateLba = 32;
constexpr size_t gptLastUsableLba = 48;
constexpr size_t gptEntryCount = 80;
constexpr size_t gptEntrySize = 84;
constexpr size_t gptMinHeaderSize = 92;
// One GPT partition entry.
constexpr size_t gptEntryTypeSize = 16;
constexpr size_t gptEntryFirstLba = 32;
constexpr size_t gptEntryLastLba = 40;

// The `width`-byte little-endian number at `at`; the caller has checked that
// the bytes are there.
inline uint64_t readLittleEndian(const std::string& bytes, size_t at, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) {
    value |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  }
  return value;
}

inline void writeLittleEndian(std::string& bytes, size_t at, size_t width, uint64_t value) {
  for (size_t i = 0; i < width; ++i) {
    bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  }
}

}  // namespace blockdev::table_fields
