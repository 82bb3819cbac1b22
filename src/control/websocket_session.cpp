#include "control/websocket_session.h"

#include <boost/asio/post.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <sstream>

#include "control/log_line.h"

namespace websocket = beast::websocket;

template <class Stream>
WebSocketSession<Stream>::WebSocketSession(Stream&& stream, WsEndpoint& endpoint, const WsServerConfig& config)
    : ws_(std::move(stream)), endpoint_(endpoint) {
  std::ostringstream id;
  id << static_cast<const void*>(this);
  identity_ = id.str();
  beast::error_code ignored;
  peer_ = beast::get_lowest_layer(ws_).socket().remote_endpoint(ignored).address().to_string();

  websocket::stream_base::timeout timeouts{};
  timeouts.handshake_timeout = config.handshakeTimeout;
  timeouts.idle_timeout = config.idleTimeout;
  timeouts.keep_alive_pings = true;
  ws_.set_option(timeouts);
  ws_.read_message_max(config.maxMessageSize);
  maxQueuedBytes_ = config.maxQueuedBytes;
}

template <class Stream>
void WebSocketSession<Stream>::send(std::string text, SendDone done) {
  net::post(ws_.get_executor(),
            [self = this->shared_from_this(), text = std::move(text), done = std::move(done)]() mutable {
              self->onSend(std::move(text), std::move(done));
            });
}

template <class Stream>
void WebSocketSession<Stream>::run(beast::http::request<beast::http::string_body> request, Admission::Slot upgrade) {
  upgrade_ = std::move(upgrade);
  ws_.async_accept(request, beast::bind_front_handler(&WebSocketSession::onAccept, this->shared_from_this()));
}

template <class Stream>
void WebSocketSession<Stream>::onAccept(beast::error_code ec) {
  if (ec) {
    return logConnectionFailure(ec, "handshake");
  }
  open_ = true;
  endpoint_.add(this->shared_from_this());
  upgrade_.release();
  if (endpoint_.on_open) {
    endpoint_.on_open(this->shared_from_this());
  }
  doRead();
}

template <class Stream>
void WebSocketSession<Stream>::doRead() {
  ws_.async_read(buffer_, beast::bind_front_handler(&WebSocketSession::onRead, this->shared_from_this()));
}

template <class Stream>
void WebSocketSession<Stream>::onRead(beast::error_code ec, std::size_t) {
  if (ec == websocket::error::closed) {
    return finishClosed(ws_.reason().code);
  }
  if (ec) {
    // An oversize message lands here too: the stream has already sent the
    // close frame with code 1009 by the time the read fails.
    return finishFailed(ec);
  }
  if (ws_.got_binary()) {
    // Every message is JSON text; a binary frame means a client we do not
    // understand, so only that connection ends.
    buffer_.consume(buffer_.size());
    closing_ = true;
    ws_.async_close(websocket::close_code::unknown_data, [self = this->shared_from_this()](beast::error_code closeEc) {
      if (closeEc && closeEc != websocket::error::closed) {
        return self->finishFailed(closeEc);
      }
      const int peerCode = self->ws_.reason().code;
      self->finishClosed(peerCode != websocket::close_code::none ? peerCode
                                                                 : int{websocket::close_code::unknown_data});
    });
    return;
  }
  std::string text = beast::buffers_to_string(buffer_.data());
  buffer_.consume(buffer_.size());
  if (endpoint_.on_message) {
    endpoint_.on_message(this->shared_from_this(), text);
  }
  doRead();
}

template <class Stream>
void WebSocketSession<Stream>::onSend(std::string text, SendDone done) {
  if (closing_) {
    if (done) {
      done(websocket::error::closed);
    }
    return;
  }
  if (queuedBytes_ + text.size() > maxQueuedBytes_) {
    logLine("Server: connection " + identity_ + " does not read; closing it");
    outgoing_.push_back({std::move(text), std::move(done)});
    return abandon(beast::error_code(net::error::no_buffer_space));
  }
  queuedBytes_ += text.size();
  outgoing_.push_back({std::move(text), std::move(done)});
  if (outgoing_.size() == 1) {
    doWrite();
  }
}

template <class Stream>
void WebSocketSession<Stream>::abandon(const beast::error_code& ec) {
  std::deque<Outgoing> failed;
  failed.swap(outgoing_);
  if (writing_) {
    outgoing_.push_back(std::move(failed.front()));
    failed.pop_front();
  }
  queuedBytes_ = outgoing_.empty() ? 0 : outgoing_.front().text.size();
  closing_ = true;
  beast::error_code ignored;
  beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
  beast::get_lowest_layer(ws_).socket().close(ignored);
  for (auto& item : failed) {
    if (item.done) {
      item.done(ec);
    }
  }
}

template <class Stream>
void WebSocketSession<Stream>::doWrite() {
  writing_ = true;
  ws_.text(true);
  ws_.async_write(net::buffer(outgoing_.front().text),
                  beast::bind_front_handler(&WebSocketSession::onWrite, this->shared_from_this()));
}

template <class Stream>
void WebSocketSession<Stream>::onWrite(beast::error_code ec, std::size_t) {
  writing_ = false;
  if (ec) {
    // The stream is unusable after a failed write: every text still queued
    // fails with the same error rather than waiting forever.
    std::deque<Outgoing> failed;
    failed.swap(outgoing_);
    queuedBytes_ = 0;
    closing_ = true;
    for (auto& item : failed) {
      if (item.done) {
        item.done(ec);
      }
    }
    return;
  }
  SendDone done = std::move(outgoing_.front().done);
  queuedBytes_ -= outgoing_.front().text.size();
  outgoing_.pop_front();
  if (done) {
    done({});
  }
  if (!outgoing_.empty()) {
    doWrite();
  }
}

template <class Stream>
void WebSocketSession<Stream>::finishClosed(int status) {
  if (!leave()) {
    return;
  }
  if (endpoint_.on_close) {
    endpoint_.on_close(this->shared_from_this(), status);
  }
}

template <class Stream>
void WebSocketSession<Stream>::finishFailed(const beast::error_code& ec) {
  if (!leave()) {
    return;
  }
  if (endpoint_.on_error) {
    endpoint_.on_error(this->shared_from_this(), ec);
  }
}

template <class Stream>
bool WebSocketSession<Stream>::leave() {
  closing_ = true;
  if (!open_) {
    return false;
  }
  open_ = false;
  endpoint_.remove(this->shared_from_this());
  return true;
}

template class WebSocketSession<PlainStream>;
template class WebSocketSession<TlsStream>;
