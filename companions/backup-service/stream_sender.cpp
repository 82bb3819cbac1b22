#include "stream_sender.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "support/io.h"
#include "support/system_error.h"

void StreamSender::setBudget(int64_t bytes, Exhausted action) {
  budget_ = bytes;
  action_ = action;
}

size_t StreamSender::allowance(size_t size) const {
  if (!budget_) {
    return size;
  }
  return static_cast<size_t>(std::clamp<int64_t>(*budget_ - sent_, 0, static_cast<int64_t>(size)));
}

bool StreamSender::send(const char* data, size_t size) {
  if (broken_) {
    return false;
  }
  const size_t allowed = allowance(size);
  if (!sendFull(socket_, data, allowed)) {
    fail(systemError("sending to the client failed"));
    return false;
  }
  sent_ += static_cast<int64_t>(allowed);
  return allowed == size || finishBudget();
}

bool StreamSender::sendFile(int file, int64_t offset, size_t size) {
  if (broken_) {
    return false;
  }
  const size_t allowed = allowance(size);
  // EIO here also stands for a blocks file shorter than the store says.
  if (!sendFileFull(socket_, file, static_cast<off_t>(offset), allowed)) {
    fail(systemError("sending the store's blocks to the client failed"));
    return false;
  }
  sent_ += static_cast<int64_t>(allowed);
  return allowed == size || finishBudget();
}

void StreamSender::fail(std::string why) {
  broken_ = true;
  failure_ = std::move(why);
}

bool StreamSender::finishBudget() {
  broken_ = true;
  if (action_ == Exhausted::Stall) {
    waitForPeerToLeave();
  }
  return false;
}

void StreamSender::waitForPeerToLeave() {
  // Whatever the client sends is drained; its closing the connection (or an
  // error) ends the stall. The service never ends it by itself.
  char sink[4096];
  for (;;) {
    pollfd waiting{socket_, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, -1);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      return;
    }
    const ssize_t got = ::recv(socket_, sink, sizeof(sink), 0);
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
      return;
    }
  }
}
