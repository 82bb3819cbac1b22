#pragma once
// A small WebSocket server: one path, four handlers and the set of open
// connections. All handlers run on the server's single I/O thread, one event
// at a time; only send() and the connection snapshot are for other threads.
#include "control/http_gate.h"

#include <boost/system/error_code.hpp>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TlsContext;

class WsConnection {
public:
  using SendDone = std::function<void(const boost::system::error_code&)>;

  virtual ~WsConnection() = default;
  // A stable token for log lines: the connection's address in hexadecimal.
  virtual std::string identity() const = 0;
  // The peer's network address as text; empty when it is not known.
  virtual std::string peerAddress() const { return std::string(); }
  // Queues `text` as one text frame. Callable from any thread; `done`, when
  // given, runs on the I/O thread once the frame is written or has failed.
  virtual void send(std::string text, SendDone done = {}) = 0;
};

using WsConnectionPtr = std::shared_ptr<WsConnection>;

class WsEndpoint {
public:
  std::function<void(const WsConnectionPtr&)> on_open;
  std::function<void(const WsConnectionPtr&, const std::string& text)> on_message;
  // `status` is the close code of the closing handshake.
  std::function<void(const WsConnectionPtr&, int status)> on_close;
  std::function<void(const WsConnectionPtr&, const boost::system::error_code&)> on_error;

  // Snapshot of the open connections, oldest first.
  std::vector<WsConnectionPtr> connections() const;
  // Like connections(), but first waits until at least one is open.
  std::vector<WsConnectionPtr> waitForConnections() const;

  // Kept by the server: a connection is added before on_open and removed
  // before on_close or on_error.
  void add(const WsConnectionPtr& connection);
  void remove(const WsConnectionPtr& connection);
  void removeAll();

private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<WsConnectionPtr> open_;
};

struct WsServerConfig {
  // 0 picks a free port (tests); port() tells which.
  unsigned short port = 12209;
  std::string pathPattern = "^/backend/?$";
  std::chrono::seconds handshakeTimeout{5};
  // A larger message closes its connection with close code 1009.
  std::size_t maxMessageSize = std::size_t{1} << 20;
  // A connection silent for half of this is pinged; one that stays silent
  // (no pong, no message) for all of it is closed, so replies go to a peer
  // that is still there rather than to a laptop that went to sleep.
  std::chrono::milliseconds idleTimeout{std::chrono::seconds(30)};
  // A peer that does not read while texts pile up for it is closed once its
  // queued texts pass this many bytes.
  std::size_t maxQueuedBytes = std::size_t{8} << 20;
  // Further upgrade requests are refused (503) while this many are open or
  // being opened.
  std::size_t maxConnections = 32;
  // Connections that have not finished their HTTP exchange, in all and from
  // one address other than loopback; more are closed as soon as accepted.
  std::size_t maxPending = 64;
  std::size_t maxPendingPerAddress = 8;
  // Who may connect, and the web page served beside the WebSocket path.
  HttpGate gate;
  // When set, every connection speaks TLS (https, wss) on the port; its
  // handshake counts as part of the HTTP exchange, under the same time-out.
  std::shared_ptr<TlsContext> tls;
};

class WsServer {
public:
  explicit WsServer(WsServerConfig config = {});
  // Stops the I/O thread and drops every connection.
  ~WsServer();
  WsServer(const WsServer&) = delete;
  WsServer& operator=(const WsServer&) = delete;

  WsEndpoint& endpoint();

  // Binds to all local addresses (address reuse on) and listens. On failure
  // returns false and describes the cause in `error`.
  bool listen(std::string& error);
  unsigned short port() const;
  // Runs the I/O loop on one thread of its own until the server is destroyed.
  void startThread();

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
