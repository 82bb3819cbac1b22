#pragma once
// Length-prefixed packets (optionally MD5-checked) over an IPipe. Frame layout:
// docs/WIRE_FORMATS.md.
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "protocol/data.h"
#include "protocol/pipe.h"

class CTCPStack {
public:
  static constexpr size_t defaultMaxPacketSize = 104857600;  // 100 MiB

  CTCPStack(bool add_checksum = false, size_t maxpacketsize = defaultMaxPacketSize);

  // Sends one frame in pieces of at most 4096 bytes: the first with
  // `timeoutms`, the rest without limit. Returns `len`, or 0 when the payload
  // is too large or a piece could not be written.
  size_t Send(IPipe* p, const char* buf, size_t len, int timeoutms = -1, bool flush = true);
  size_t Send(IPipe* p, const CWData& data, int timeoutms = -1, bool flush = true);
  size_t Send(IPipe* p, const std::string& msg, int timeoutms = -1, bool flush = true);

  void AddData(const char* buf, size_t len);
  void AddData(const std::string& data);

  // The next complete payload in a new[]-allocated array with one extra zero
  // byte, owned by the caller; null while no complete valid frame is buffered.
  char* getPacket(size_t* packetsize);
  bool getPacket(std::string& msg);

  // True when the frame at the front announces a payload that will never be
  // accepted, so waiting for more bytes is pointless.
  bool hasOversizePacket() const;

  void reset();
  const char* getBuffer() const;
  size_t getBuffersize() const;
  void setAddChecksum(bool value);
  void setMaxPacketSize(size_t value);

private:
  size_t headerSize() const;

  bool add_checksum;
  size_t maxpacketsize;
  std::vector<char> buffer;
};

// However slowly a service trickles its reply, a request ends by then.
inline constexpr std::chrono::milliseconds kReplyDeadline{std::chrono::seconds(120)};

// Reads exactly one framed reply (reads of 1024 bytes, 30 s time-out each,
// all within `deadline`). The empty string means no answer: time-out, broken
// connection, an oversized frame or an empty payload.
std::string getResponse(IPipe* pipe, std::chrono::milliseconds deadline = kReplyDeadline);
