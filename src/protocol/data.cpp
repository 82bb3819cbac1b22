#include "protocol/data.h"

#include <algorithm>
#include <cstring>

namespace {

void appendLittleEndian(std::vector<char>& out, uint64_t value, unsigned width) {
  for (unsigned i = 0; i < width; ++i) {
    out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  }
}

// Byte count of the variable-length form: one byte per started 7-bit group,
// nine for anything that needs more than 56 bits (the ninth byte holds 8).
unsigned varIntLength(uint64_t value) {
  unsigned length = 1;
  while ((value >>= 7) != 0 && length < 9) {
    ++length;
  }
  return length;
}

}  // namespace

void CWData::addInt(int value) { appendLittleEndian(data, static_cast<uint32_t>(value), 4); }
void CWData::addUInt(unsigned int value) { appendLittleEndian(data, value, 4); }
void CWData::addInt64(int64_t value) { appendLittleEndian(data, static_cast<uint64_t>(value), 8); }
void CWData::addUInt64(uint64_t value) { appendLittleEndian(data, value, 8); }

void CWData::addFloat(float value) {
  uint32_t bits = 0;
  static_assert(sizeof bits == sizeof value);
  std::memcpy(&bits, &value, sizeof bits);
  appendLittleEndian(data, bits, 4);
}

void CWData::addUShort(unsigned short value) { appendLittleEndian(data, value, 2); }
void CWData::addChar(char value) { data.push_back(value); }
void CWData::addUChar(unsigned char value) { data.push_back(static_cast<char>(value)); }

void CWData::addVoidPtr(void* value) {
  appendLittleEndian(data, reinterpret_cast<uintptr_t>(value), 8);
}

void CWData::addBuffer(const char* buffer, size_t size) {
  if (size > 0) {
    data.insert(data.end(), buffer, buffer + size);
  }
}

void CWData::addString(const std::string& value) {
  addUInt(static_cast<uint32_t>(value.size()));
  addBuffer(value.data(), value.size());
}

void CWData::addVarInt(int64_t signedValue) {
  uint64_t value = static_cast<uint64_t>(signedValue);
  const unsigned length = varIntLength(value);
  const size_t start = data.size();
  data.resize(start + length);
  char* out = data.data() + start;
  if (length == 9) {
    out[8] = static_cast<char>(value & 0xFF);
    value >>= 8;
    for (int i = 7; i >= 0; --i) {
      out[i] = static_cast<char>((value & 0x7F) | 0x80);
      value >>= 7;
    }
    return;
  }
  for (int i = static_cast<int>(length) - 1; i >= 0; --i) {
    const bool last = i == static_cast<int>(length) - 1;
    out[i] = static_cast<char>((value & 0x7F) | (last ? 0x00 : 0x80));
    value >>= 7;
  }
}

char* CWData::getDataPtr() { return data.empty() ? nullptr : data.data(); }
const char* CWData::getDataPtr() const { return data.empty() ? nullptr : data.data(); }
size_t CWData::getDataSize() const { return data.size(); }
void CWData::clear() { data.clear(); }

CRData::CRData(const char* buf, size_t len, bool copy) { set(buf, len, copy); }

CRData::CRData(const std::string* str) { set(str->data(), str->size(), false); }

void CRData::set(const char* buf, size_t len, bool copy) {
  length = std::min<uint64_t>(len, maxLength);
  streampos = 0;
  if (copy) {
    std::unique_ptr<char[]> fresh(new char[length > 0 ? length : 1]);
    if (length > 0) {
      std::memcpy(fresh.get(), buf, length);
    }
    owned_copy = std::move(fresh);
    data = owned_copy.get();
  } else {
    owned_copy.reset();
    data = buf;
  }
}

bool CRData::readLittleEndian(uint64_t* value, unsigned width) {
  if (length - streampos < width) {
    return false;
  }
  uint64_t result = 0;
  for (unsigned i = 0; i < width; ++i) {
    result |= static_cast<uint64_t>(static_cast<unsigned char>(data[streampos + i])) << (8 * i);
  }
  streampos += width;
  *value = result;
  return true;
}

bool CRData::getInt(int* value) {
  uint64_t raw = 0;
  if (!readLittleEndian(&raw, 4)) return false;
  *value = static_cast<int>(static_cast<uint32_t>(raw));
  return true;
}

bool CRData::getUInt(unsigned int* value) {
  uint64_t raw = 0;
  if (!readLittleEndian(&raw, 4)) return false;
  *value = static_cast<unsigned int>(raw);
  return true;
}

bool CRData::getInt64(int64_t* value) {
  uint64_t raw = 0;
  if (!readLittleEndian(&raw, 8)) return false;
  *value = static_cast<int64_t>(raw);
  return true;
}

bool CRData::getFloat(float* value) {
  uint64_t raw = 0;
  if (!readLittleEndian(&raw, 4)) return false;
  const uint32_t bits = static_cast<uint32_t>(raw);
  std::memcpy(value, &bits, sizeof bits);
  return true;
}

bool CRData::getUShort(unsigned short* value) {
  uint64_t raw = 0;
  if (!readLittleEndian(&raw, 2)) return false;
  *value = static_cast<unsigned short>(raw);
  return true;
}

bool CRData::getChar(char* value) {
  uint64_t raw = 0;
  if (!readLittleEndian(&raw, 1)) return false;
  *value = static_cast<char>(raw);
  return true;
}

bool CRData::getUChar(unsigned char* value) {
  uint64_t raw = 0;
  if (!readLittleEndian(&raw, 1)) return false;
  *value = static_cast<unsigned char>(raw);
  return true;
}

bool CRData::getVoidPtr(void** value) {
  uint64_t raw = 0;
  if (!readLittleEndian(&raw, 8)) return false;
  *value = reinterpret_cast<void*>(static_cast<uintptr_t>(raw));
  return true;
}

bool CRData::getStr(std::string* value) {
  const uint64_t start = streampos;
  uint64_t raw = 0;
  if (!readLittleEndian(&raw, 4)) return false;
  if (raw > maxStringLength || raw > length - streampos) {
    // The length field was unusable: the position stays where the string began.
    streampos = start;
    return false;
  }
  value->assign(data + streampos, raw);
  streampos += raw;
  return true;
}

bool CRData::getVarInt(int64_t* value) {
  uint64_t result = 0;
  uint64_t pos = streampos;
  for (unsigned i = 0; i < 9; ++i) {
    if (pos >= length) {
      return false;
    }
    const auto byte = static_cast<unsigned char>(data[pos++]);
    if (i == 8) {
      result = (result << 8) | byte;
      break;
    }
    result = (result << 7) | (byte & 0x7F);
    if ((byte & 0x80) == 0) {
      break;
    }
  }
  streampos = pos;
  *value = static_cast<int64_t>(result);
  return true;
}

void CRData::setStreampos(unsigned int pos) {
  if (pos <= length) {
    streampos = pos;
  }
}

bool CRData::incrementPtr(unsigned int n) {
  if (n > getLeft()) {
    return false;
  }
  streampos += n;
  return true;
}
