#pragma once
// A small synchronous WebSocket client for tests. Every call has a time-out
// and none throws; a failure shows in the result and in lastError().
//
//   WsClient client;
//   ASSERT_TRUE(client.connect("127.0.0.1", 12209, "/backend", 5s)) << client.lastError();
//   client.sendText(R"({"op":"config_network"})");
//   std::optional<std::string> reply = client.receiveText(5s);
//
// Messages are read in the background of every call, so a close by the
// server is noticed by receiveText() and waitClosed() alike.
//
// For wss, call useTls() before connect().
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

class WsClient {
public:
  WsClient();
  ~WsClient();
  WsClient(const WsClient&) = delete;
  WsClient& operator=(const WsClient&) = delete;

  // Speaks TLS from the next connect() on; the server's certificate must be
  // vouched for by the certificate (or authority) in `trusted`.
  void useTls(const std::filesystem::path& trusted);

  // Connects and performs the WebSocket handshake on `path`. The HTTP status
  // of the server's answer is in handshakeStatus() afterwards (101 on
  // success, 404 for a path the server refuses, 0 when none came).
  bool connect(const std::string& host, unsigned short port, const std::string& path,
               std::chrono::milliseconds timeout);
  int handshakeStatus() const;

  bool sendText(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  bool sendBinary(const std::string& data, std::chrono::milliseconds timeout = std::chrono::seconds(5));

  // The next message from the server, or nothing when none arrives within
  // `timeout` or the connection has ended.
  std::optional<std::string> receiveText(std::chrono::milliseconds timeout);

  // Waits until the server has ended the connection; its close code (1000,
  // 1009, ...) or nothing when it did not end in time. A connection dropped
  // without a close frame gives 1006, as browsers report it.
  std::optional<int> waitClosed(std::chrono::milliseconds timeout);

  // Sends a close frame (code 1000) and waits briefly for the answer.
  void close();

  bool isOpen() const;
  const std::string& lastError() const;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
