#include "stream_sender.h"

#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

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
  size_t done = 0;
  while (done < allowed) {
    const ssize_t put = ::send(socket_, data + done, allowed - done, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      broken_ = true;
      return false;
    }
    done += static_cast<size_t>(put);
    sent_ += put;
  }
  return allowed == size || finishBudget();
}

bool StreamSender::sendFile(int file, int64_t offset, size_t size) {
  if (broken_) {
    return false;
  }
  const size_t allowed = allowance(size);
  off_t position = static_cast<off_t>(offset);
  size_t done = 0;
  while (done < allowed) {
    const ssize_t put = ::sendfile(socket_, file, &position, allowed - done);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {  // 0: the file is shorter than the store says
      broken_ = true;
      return false;
    }
    done += static_cast<size_t>(put);
    sent_ += put;
  }
  return allowed == size || finishBudget();
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
