#include <chrono>

#include "download_progress.h"
#include "protocol/pipe.h"
#include "protocol/server_connection.h"
#include "protocol/tcp_stack.h"

namespace {

// The service is on this machine: it answers within milliseconds or not at
// all, and a poll must not hold up the next one for long.
constexpr unsigned kConnectTimeoutMs = 2000;
constexpr int kSendTimeoutMs = 2000;
constexpr std::chrono::milliseconds kReplyTimeout{3000};

}  // namespace

std::optional<int> queryServiceDownloadProgress() {
  const PipePtr pipe(Server::ConnectStream("localhost", serviceport, kConnectTimeoutMs));
  if (!pipe) {
    return std::nullopt;
  }
  CTCPStack stack(false, CTCPStack::defaultMaxPacketSize);
  if (stack.Send(pipe.get(), "GET DOWNLOAD PROGRESS#pw=" + readServicePassword(), kSendTimeoutMs, true) == 0) {
    return std::nullopt;
  }
  // Like getResponse, but with a deadline for the whole reply rather than a
  // 30 s wait for each piece of it.
  const auto deadline = std::chrono::steady_clock::now() + kReplyTimeout;
  char buffer[1024];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return std::nullopt;
    }
    const size_t got = pipe->Read(buffer, sizeof(buffer), static_cast<int>(left.count()));
    if (got == 0) {
      if (pipe->hasError()) {
        return std::nullopt;
      }
      continue;
    }
    stack.AddData(buffer, got);
    std::string reply;
    if (stack.getPacket(reply)) {
      return parseDownloadProgress(reply);
    }
  }
}
