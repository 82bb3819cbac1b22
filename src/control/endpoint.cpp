#include "control/endpoint.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <exception>
#include <optional>
#include <regex>
#include <thread>

#include "control/endpoint_io.h"
#include "control/listener.h"
#include "control/log_line.h"

std::vector<WsConnectionPtr> WsEndpoint::connections() const {
  const std::lock_guard lock(mutex_);
  return open_;
}

std::vector<WsConnectionPtr> WsEndpoint::waitForConnections() const {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !open_.empty(); });
  return open_;
}

void WsEndpoint::add(const WsConnectionPtr& connection) {
  {
    const std::lock_guard lock(mutex_);
    open_.push_back(connection);
  }
  changed_.notify_all();
}

void WsEndpoint::remove(const WsConnectionPtr& connection) {
  const std::lock_guard lock(mutex_);
  open_.erase(std::remove(open_.begin(), open_.end(), connection), open_.end());
}

void WsEndpoint::removeAll() {
  const std::lock_guard lock(mutex_);
  open_.clear();
}

struct WsServer::Impl {
  explicit Impl(WsServerConfig c) : config(std::move(c)), path(config.pathPattern) {}

  WsServerConfig config;
  std::regex path;
  WsEndpoint endpoint;
  net::io_context ioc{1};
  std::optional<net::executor_work_guard<net::io_context::executor_type>> work;
  std::shared_ptr<Listener> listener;
  std::thread thread;
};

WsServer::WsServer(WsServerConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}

WsServer::~WsServer() {
  impl_->ioc.stop();
  if (impl_->thread.joinable()) {
    impl_->thread.join();
  }
  // Connections own sockets of the I/O context, so they go before it does.
  impl_->endpoint.removeAll();
  impl_->listener.reset();
}

WsEndpoint& WsServer::endpoint() { return impl_->endpoint; }

bool WsServer::listen(std::string& error) {
  auto listener = std::make_shared<Listener>(impl_->ioc, impl_->endpoint, impl_->config, impl_->path);
  if (!listener->open(error)) {
    return false;
  }
  impl_->listener = std::move(listener);
  return true;
}

unsigned short WsServer::port() const { return impl_->listener ? impl_->listener->port() : 0; }

void WsServer::startThread() {
  if (impl_->listener) {
    impl_->listener->start();
  }
  impl_->work.emplace(impl_->ioc.get_executor());
  impl_->thread = std::thread([this] {
    // A handler that throws must not end the process or the server: log it
    // and carry on with the remaining work.
    for (;;) {
      try {
        impl_->ioc.run();
        return;
      } catch (const std::exception& e) {
        logLine(std::string("Server: unexpected failure in a handler: ") + e.what());
      } catch (...) {
        logLine("Server: unexpected failure in a handler");
      }
    }
  });
}
