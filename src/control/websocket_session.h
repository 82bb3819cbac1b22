#pragma once
// One open WebSocket connection: reads messages one at a time and hands them
// to the endpoint's handlers, and writes the texts queued for it one at a
// time, from a queue of its own that any thread may add to. `Stream` is
// PlainStream or TlsStream.
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <cstddef>
#include <deque>
#include <memory>
#include <string>

#include "control/admission.h"
#include "control/endpoint.h"
#include "control/endpoint_io.h"

template <class Stream>
class WebSocketSession : public WsConnection, public std::enable_shared_from_this<WebSocketSession<Stream>> {
public:
  WebSocketSession(Stream&& stream, WsEndpoint& endpoint, const WsServerConfig& config);

  std::string identity() const override { return identity_; }
  std::string peerAddress() const override { return peer_; }
  void send(std::string text, SendDone done) override;

  // Completes the handshake of the upgrade `request` and starts reading;
  // `upgrade` counts it toward the open connections until then.
  void run(beast::http::request<beast::http::string_body> request, Admission::Slot upgrade);

private:
  struct Outgoing {
    std::string text;
    SendDone done;
  };

  void onAccept(beast::error_code ec);
  void doRead();
  void onRead(beast::error_code ec, std::size_t);
  void onSend(std::string text, SendDone done);
  // Fails every queued text and drops the connection; the pending read then
  // ends with an error and reports it. The text being written stays until its
  // write returns (with the error), as the write still refers to it.
  void abandon(const beast::error_code& ec);
  void doWrite();
  void onWrite(beast::error_code ec, std::size_t);
  void finishClosed(int status);
  void finishFailed(const beast::error_code& ec);
  // True the first time an open connection ends.
  bool leave();

  beast::websocket::stream<Stream> ws_;
  WsEndpoint& endpoint_;
  std::string identity_;
  std::string peer_;
  beast::flat_buffer buffer_;
  std::deque<Outgoing> outgoing_;
  std::size_t queuedBytes_ = 0;
  std::size_t maxQueuedBytes_ = 0;
  bool writing_ = false;
  bool open_ = false;
  bool closing_ = false;
  Admission::Slot upgrade_;
};

extern template class WebSocketSession<PlainStream>;
extern template class WebSocketSession<TlsStream>;
