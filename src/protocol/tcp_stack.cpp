#include "protocol/tcp_stack.h"

#include <algorithm>
#include <cstring>

#include "protocol/md5.h"

namespace {

constexpr size_t checksumSize = 16;
constexpr size_t lengthSize = 4;
constexpr size_t sendPieceSize = 4096;

uint32_t readLength(const char* at) {
  uint32_t value = 0;
  for (size_t i = 0; i < lengthSize; ++i) {
    value |= static_cast<uint32_t>(static_cast<unsigned char>(at[i])) << (8 * i);
  }
  return value;
}

}  // namespace

CTCPStack::CTCPStack(bool add_checksum_, size_t maxpacketsize_)
    : add_checksum(add_checksum_), maxpacketsize(maxpacketsize_) {}

size_t CTCPStack::headerSize() const { return add_checksum ? checksumSize + lengthSize : lengthSize; }

size_t CTCPStack::Send(IPipe* p, const char* buf, size_t len, int timeoutms, bool flush) {
  if (len > maxpacketsize) {
    return 0;
  }
  std::string frame(headerSize(), '\0');
  const size_t lengthAt = add_checksum ? checksumSize : 0;
  for (size_t i = 0; i < lengthSize; ++i) {
    frame[lengthAt + i] = static_cast<char>((len >> (8 * i)) & 0xFF);
  }
  if (len > 0) {
    frame.append(buf, len);
  }
  if (add_checksum) {
    const std::string digest = md5Raw(frame.substr(checksumSize));
    frame.replace(0, checksumSize, digest);
  }
  int wait = timeoutms;
  for (size_t done = 0; done < frame.size(); done += sendPieceSize) {
    const size_t piece = std::min(sendPieceSize, frame.size() - done);
    if (!p->Write(frame.data() + done, piece, wait, flush)) {
      return 0;
    }
    wait = -1;
  }
  return len;
}

size_t CTCPStack::Send(IPipe* p, const CWData& data, int timeoutms, bool flush) {
  return Send(p, data.getDataPtr(), data.getDataSize(), timeoutms, flush);
}

size_t CTCPStack::Send(IPipe* p, const std::string& msg, int timeoutms, bool flush) {
  return Send(p, msg.data(), msg.size(), timeoutms, flush);
}

void CTCPStack::AddData(const char* buf, size_t len) {
  if (len > 0) {
    buffer.insert(buffer.end(), buf, buf + len);
  }
}

void CTCPStack::AddData(const std::string& data) { AddData(data.data(), data.size()); }

bool CTCPStack::getPacket(std::string& msg) {
  const size_t header = headerSize();
  if (buffer.size() < header) {
    return false;
  }
  const size_t announced = readLength(buffer.data() + header - lengthSize);
  if (announced >= maxpacketsize || buffer.size() - header < announced) {
    return false;
  }
  const size_t frameSize = header + announced;
  if (add_checksum) {
    const std::string covered(buffer.data() + checksumSize, lengthSize + announced);
    if (md5Raw(covered) != std::string(buffer.data(), checksumSize)) {
      buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(frameSize));
      return false;
    }
  }
  msg.assign(buffer.data() + header, announced);
  buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(frameSize));
  return true;
}

char* CTCPStack::getPacket(size_t* packetsize) {
  std::string payload;
  if (!getPacket(payload)) {
    return nullptr;
  }
  char* copy = new char[payload.size() + 1];
  std::memcpy(copy, payload.data(), payload.size());
  copy[payload.size()] = '\0';
  *packetsize = payload.size();
  return copy;
}

bool CTCPStack::hasOversizePacket() const {
  const size_t header = headerSize();
  return buffer.size() >= header && readLength(buffer.data() + header - lengthSize) >= maxpacketsize;
}

void CTCPStack::reset() { buffer.clear(); }

const char* CTCPStack::getBuffer() const { return buffer.empty() ? nullptr : buffer.data(); }

size_t CTCPStack::getBuffersize() const { return buffer.size(); }

void CTCPStack::setAddChecksum(bool value) { add_checksum = value; }

void CTCPStack::setMaxPacketSize(size_t value) { maxpacketsize = value; }

std::string getResponse(IPipe* pipe, std::chrono::milliseconds deadline) {
  CTCPStack tcpstack(false, CTCPStack::defaultMaxPacketSize);
  char buffer[1024];
  const auto end = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      return std::string();
    }
    const size_t received = pipe->Read(buffer, sizeof buffer, static_cast<int>(std::min<long long>(left, 30000)));
    if (received == 0) {
      return std::string();
    }
    tcpstack.AddData(buffer, received);
    std::string payload;
    if (tcpstack.getPacket(payload)) {
      return payload;
    }
    // Such a frame is never delivered; waiting for the read time-out would
    // only delay the same empty answer.
    if (tcpstack.hasOversizePacket()) {
      return std::string();
    }
  }
}
