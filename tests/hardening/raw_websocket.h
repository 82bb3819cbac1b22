#pragma once
// A WebSocket peer written byte by byte, for what a well-behaved client never
// sends: half a handshake, half a frame, frames that break the protocol,
// lengths no message may have. Blocking calls, each with a time-out.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

class RawWebSocket {
public:
  RawWebSocket() = default;
  ~RawWebSocket();
  RawWebSocket(const RawWebSocket&) = delete;
  RawWebSocket& operator=(const RawWebSocket&) = delete;

  // TCP only; no handshake.
  bool connect(unsigned short port);
  // Sends the upgrade request for `path` and reads the answer; true on 101.
  bool handshake(const std::string& path = "/backend");
  bool send(const std::string& bytes);

  // Waits until the server has ended the TCP connection (end of stream or a
  // reset); false when it is still open after `timeout`.
  bool waitClosedByServer(std::chrono::milliseconds timeout);
  // The code of the first close frame the server sent, if it sent one.
  std::optional<int> closeCode() const;

  // Leaves at once: with a reset, or with an orderly end of stream.
  void reset();
  void close();

  static std::string upgradeRequest(const std::string& path);
  // One client frame (masked unless `masked` is false). `rsv` sets the three
  // reserved bits (values 0 to 7).
  static std::string frame(uint8_t opcode, const std::string& payload, bool fin = true, bool masked = true,
                           uint8_t rsv = 0);
  // Only the header (with mask key) of a masked frame announcing `length`.
  static std::string header(uint8_t opcode, uint64_t length, bool fin = true);

private:
  int fd_ = -1;
  std::string received_;  // everything after the handshake answer
};
