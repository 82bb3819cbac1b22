#include "service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include "download_progress.h"
#include "image_stream.h"
#include "requests.h"
#include "support/io.h"
#include "support/pause.h"

namespace {

// Commands are short texts; anything larger is not a client of this protocol.
constexpr uint32_t kMaxCommandSize = 1024 * 1024;
constexpr int kIdleSeconds = 60;
// A client that stops reading for this long is given up.
constexpr int kSendTimeoutSeconds = 300;

std::mutex log_lock;

void logLine(const std::string& line) {
  std::lock_guard<std::mutex> guard(log_lock);
  std::cout << line << std::endl;
}

struct Shared {
  explicit Shared(const ServeOptions& serve_options) : handler(serve_options.store), options(serve_options) {}
  RequestHandler handler;
  const ServeOptions& options;
  DownloadProgress progress;
};

class Connection {
public:
  Connection(int socket, Shared& shared) : socket_(socket), shared_(shared) {}
  ~Connection() { ::close(socket_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void run() {
    std::string payload;
    while (readFrame(payload)) {
      if (!handle(payload)) {
        return;
      }
    }
  }

private:
  // False when the connection closed, stayed idle too long, or broke.
  bool readExactly(char* buffer, size_t size) { return readFull(socket_, buffer, size) == static_cast<ssize_t>(size); }

  bool readFrame(std::string& payload) {
    unsigned char header[4];
    if (!readExactly(reinterpret_cast<char*>(header), 4)) {
      return false;
    }
    const uint32_t size = header[0] | (header[1] << 8) | (header[2] << 16) | (static_cast<uint32_t>(header[3]) << 24);
    if (size > kMaxCommandSize) {
      logLine("dropping a connection that announced a " + std::to_string(size) + "-byte command");
      return false;
    }
    payload.assign(size, '\0');
    return readExactly(payload.data(), size);
  }

  bool sendAll(const std::string& bytes) { return sendFull(socket_, bytes.data(), bytes.size()); }

  bool reply(const std::string& text) {
    std::string frame(4, '\0');
    const uint32_t size = static_cast<uint32_t>(text.size());
    for (int i = 0; i < 4; ++i) {
      frame[i] = static_cast<char>((size >> (8 * i)) & 0xFF);
    }
    return sendAll(frame + text);
  }

  bool replyToListing(const std::string& text) {
    if (!shared_.options.faults.garbage_listings) {
      return reply(text);
    }
    // A length field far above any packet limit, then junk, then the end:
    // no frame can ever be taken from this.
    static const char junk[] = "\xFF\xFF\xFF\x7F" "garbage\x01\x02|||\n#|x\n";
    sendAll(std::string(junk, sizeof(junk) - 1));
    return false;
  }

  // False when the connection is to be closed.
  bool handle(const std::string& payload) {
    const auto request = parseRequest(payload, shared_.options.service_password);
    if (!request) {
      logLine("request without a service password field");
      return reply("0missing service password");
    }
    const std::string& command = request->command;
    logLine("request " + command + (request->password_ok ? "" : " (wrong service password)"));
    RequestHandler& handler = shared_.handler;
    if (command == "GET SALT") {
      return reply(handler.saltReply(*request));
    }
    if (command == "LOGIN FOR DOWNLOAD") {
      const std::string answer = handler.loginReply(*request);
      logLine("login: " + answer);
      return reply(answer);
    }
    if (command == "GET BACKUPCLIENTS") {
      return replyToListing(handler.clientsReply(*request));
    }
    if (command.rfind("GET BACKUPIMAGES ", 0) == 0) {
      return replyToListing(handler.imagesReply(*request, command.substr(17)));
    }
    if (command == "GET DOWNLOAD PROGRESS") {
      return reply(request->password_ok ? shared_.progress.percentText() : "-1");
    }
    if (command == "DOWNLOAD IMAGE") {
      logLine(streamDownload(socket_, handler, *request, shared_.options.faults, shared_.progress));
      return false;  // the stream has no frame; its end is the connection's end
    }
    return reply("0unknown command");
  }

  int socket_;
  Shared& shared_;
};

void configureClientSocket(int socket) {
  const int on = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  const timeval idle{kIdleSeconds, 0};
  ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof(idle));
  const timeval stuck{kSendTimeoutSeconds, 0};
  ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &stuck, sizeof(stuck));
}

}  // namespace

int serve(const ServeOptions& options, std::string& error) {
  // Clients that vanish mid-stream must cost a failed send, not the process.
  std::signal(SIGPIPE, SIG_IGN);
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) {
    error = std::string("cannot create a socket: ") + std::strerror(errno);
    return 1;
  }
  const int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options.port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(listener, 64) != 0) {
    error = "cannot listen on 127.0.0.1:" + std::to_string(options.port) + ": " + std::strerror(errno);
    ::close(listener);
    return 1;
  }
  auto shared = std::make_shared<Shared>(options);
  logLine("serving " + options.store.root().string() + " on 127.0.0.1:" + std::to_string(options.port));
  for (;;) {
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR || errno == ECONNABORTED) {
        continue;
      }
      if (errno == EMFILE || errno == ENFILE) {
        pauseFor(std::chrono::milliseconds(100));  // until running connections end
        continue;
      }
      error = std::string("accept failed: ") + std::strerror(errno);
      ::close(listener);
      return 1;
    }
    configureClientSocket(client);
    std::thread([client, shared] {
      Connection connection(client, *shared);
      connection.run();
    }).detach();
  }
}
