// Feeds arbitrary bytes to the typed reader and the partition-table record
// decoder. Beyond memory errors (caught by the sanitizers) it checks that the
// reader never moves past its end and that variable-length integers survive
// a write/read round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol/data.h"
#include "protocol/mbr_record.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void readTyped(const uint8_t* data, size_t size) {
  if (size == 0) return;
  // The first byte chooses the sequence of reads; the rest is the input.
  const uint8_t plan = data[0];
  CRData reader(reinterpret_cast<const char*>(data + 1), size - 1, (plan & 1) != 0);
  for (int step = 0; step < 64; ++step) {
    const uint64_t before = reader.getStreampos();
    bool ok = false;
    switch ((plan + step) % 7) {
      case 0: { int v = 0; ok = reader.getInt(&v); break; }
      case 1: { int64_t v = 0; ok = reader.getInt64(&v); break; }
      case 2: { std::string v; ok = reader.getStr(&v); check(!ok || v.size() <= CRData::maxStringLength); break; }
      case 3: { int64_t v = 0; ok = reader.getVarInt(&v); break; }
      case 4: { unsigned short v = 0; ok = reader.getUShort(&v); break; }
      case 5: { float v = 0; ok = reader.getFloat(&v); break; }
      default: ok = reader.incrementPtr(static_cast<unsigned>(step)); break;
    }
    check(reader.getStreampos() <= reader.getSize());
    if (!ok) check(reader.getStreampos() == before);
  }
}

void varIntRoundTrip(const uint8_t* data, size_t size) {
  for (size_t at = 0; at + 8 <= size; at += 8) {
    int64_t value = 0;
    std::memcpy(&value, data + at, sizeof value);
    CWData writer;
    writer.addVarInt(value);
    CRData reader(writer.getDataPtr(), writer.getDataSize());
    int64_t back = 0;
    check(reader.getVarInt(&back));
    check(back == value);
    check(reader.getLeft() == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CRData reader(reinterpret_cast<const char*>(data), size);
  const SMBRData record(reader);
  const std::string info = record.infoString();
  check(!info.empty());
  check(reader.getStreampos() <= reader.getSize());

  readTyped(data, size);
  varIntRoundTrip(data, size);
  return 0;
}
