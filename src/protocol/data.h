#pragma once
// Typed little-endian encoding of the backup-service protocol. The byte
// layouts are tabled in docs/WIRE_FORMATS.md.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Appends typed values to a growable buffer; never fails short of memory.
class CWData {
public:
  void addInt(int value);
  void addUInt(unsigned int value);
  void addInt64(int64_t value);
  void addUInt64(uint64_t value);
  void addFloat(float value);
  void addUShort(unsigned short value);
  void addChar(char value);
  void addUChar(unsigned char value);
  void addVoidPtr(void* value);
  void addBuffer(const char* buffer, size_t size);
  // 32-bit byte count, then the bytes; only the low 32 bits of the length are kept.
  void addString(const std::string& value);
  void addVarInt(int64_t value);

  // Null while nothing has been written.
  char* getDataPtr();
  const char* getDataPtr() const;
  size_t getDataSize() const;
  void clear();

private:
  std::vector<char> data;
};

// Reads typed values back. A read that would run past the end returns false
// and leaves both the target and the read position unchanged, so a caller can
// stop at the first false and treat the record as malformed.
class CRData {
public:
  static constexpr uint64_t maxLength = 104857600;      // 100 MiB
  static constexpr uint32_t maxStringLength = 10485760;  // 10 MiB

  CRData() = default;
  CRData(const char* buf, size_t len, bool copy = false);
  // Reads the string's bytes in place; the string must outlive the reader.
  explicit CRData(const std::string* str);
  CRData(const CRData&) = delete;
  CRData& operator=(const CRData&) = delete;

  // Input longer than maxLength is cut to it. Without `copy` the caller keeps
  // `buf` valid for the reader's life.
  void set(const char* buf, size_t len, bool copy = false);

  bool getInt(int* value);
  bool getUInt(unsigned int* value);
  bool getInt64(int64_t* value);
  bool getFloat(float* value);
  bool getUShort(unsigned short* value);
  bool getChar(char* value);
  bool getUChar(unsigned char* value);
  bool getVoidPtr(void** value);
  bool getStr(std::string* value);
  bool getVarInt(int64_t* value);

  uint64_t getSize() const { return length; }
  uint32_t getLeft() const { return static_cast<uint32_t>(length - streampos); }
  uint64_t getStreampos() const { return streampos; }
  const char* getDataPtr() const { return data; }
  const char* getCurrDataPtr() const { return data + streampos; }
  // Ignored when `pos` lies past the end.
  void setStreampos(unsigned int pos);
  bool incrementPtr(unsigned int n);

private:
  // Copies `width` bytes little-endian into a value, or fails without moving.
  bool readLittleEndian(uint64_t* value, unsigned width);

  const char* data = nullptr;
  uint64_t streampos = 0;
  uint64_t length = 0;
  std::unique_ptr<char[]> owned_copy;
};
