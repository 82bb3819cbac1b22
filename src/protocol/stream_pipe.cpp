#include "protocol/stream_pipe.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

CStreamPipe::CStreamPipe(int socket) : s(socket) {}

CStreamPipe::~CStreamPipe() { ::close(s); }

CStreamPipe::Ready CStreamPipe::waitFor(short events, int timeoutms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutms);
  for (;;) {
    pollfd entry{s, events, 0};
    int wait = timeoutms;
    if (timeoutms > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    const int rc = ::poll(&entry, 1, wait);
    if (rc > 0) {
      return Ready::yes;
    }
    if (rc == 0) {
      return Ready::timedOut;
    }
    // A signal landing in poll says nothing about the socket: wait out the rest.
    if (errno != EINTR) {
      has_error = true;
      return Ready::failed;
    }
  }
}

bool CStreamPipe::throttle(std::vector<IPipeThrottler*>& throttlers, size_t bytes, bool wait) {
  transferred_bytes += static_cast<int64_t>(bytes);
  bool go_on = true;
  for (IPipeThrottler* throttler : throttlers) {
    go_on = throttler->throttle(bytes, wait);
    if (!go_on) {
      break;
    }
  }
  return go_on;
}

size_t CStreamPipe::Read(char* buffer, size_t bsize, int timeoutms) {
  if (waitFor(POLLIN, timeoutms) != Ready::yes) {
    return 0;
  }
  const ssize_t received = ::recv(s, buffer, bsize, MSG_NOSIGNAL);
  if (received > 0) {
    throttle(incoming_throttles, static_cast<size_t>(received), true);
    return static_cast<size_t>(received);
  }
  // recv returning 0 is an orderly close and leaves errno as it was, so only a
  // negative result may be excused by EAGAIN or EINTR.
  if (received < 0 && (errno == EAGAIN || errno == EINTR)) {
    return 0;
  }
  has_error = true;
  return 0;
}

bool CStreamPipe::Write(const char* buffer, size_t bsize, int timeoutms, bool flush) {
  size_t done = 0;
  int wait = timeoutms;
  while (done < bsize) {
    const Ready ready = waitFor(POLLOUT, wait);
    if (ready != Ready::yes) {
      return false;
    }
    const ssize_t sent = ::send(s, buffer + done, bsize - done, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno != EAGAIN) {
        has_error = true;
      }
      return false;
    }
    throttle(outgoing_throttles, static_cast<size_t>(sent), true);
    done += static_cast<size_t>(sent);
    // The rest of a partly sent buffer goes out without a time-out.
    wait = -1;
  }
  (void)flush;  // sends are unbuffered
  return true;
}

size_t CStreamPipe::Read(std::string* ret, int timeoutms) {
  char buffer[8192];
  const size_t received = Read(buffer, sizeof buffer, timeoutms);
  if (received > 0) {
    ret->assign(buffer, received);
  }
  return received;
}

bool CStreamPipe::Write(const std::string& str, int timeoutms, bool flush) {
  return Write(str.data(), str.size(), timeoutms, flush);
}

bool CStreamPipe::Flush(int /*timeoutms*/) { return true; }

bool CStreamPipe::isWritable(int timeoutms) {
  if (!throttle(outgoing_throttles, 0, false)) {
    return false;
  }
  return waitFor(POLLOUT, timeoutms) == Ready::yes;
}

bool CStreamPipe::isReadable(int timeoutms) {
  if (!throttle(incoming_throttles, 0, false)) {
    return false;
  }
  return waitFor(POLLIN, timeoutms) == Ready::yes;
}

bool CStreamPipe::hasError() { return has_error; }

void CStreamPipe::shutdown() { ::shutdown(s, SHUT_RDWR); }

size_t CStreamPipe::getNumElements() { return 0; }

void CStreamPipe::addThrottler(IPipeThrottler* throttler) {
  addIncomingThrottler(throttler);
  addOutgoingThrottler(throttler);
}

void CStreamPipe::addOutgoingThrottler(IPipeThrottler* throttler) {
  if (throttler != nullptr) {
    outgoing_throttles.push_back(throttler);
  }
}

void CStreamPipe::addIncomingThrottler(IPipeThrottler* throttler) {
  if (throttler != nullptr) {
    incoming_throttles.push_back(throttler);
  }
}

int64_t CStreamPipe::getTransferedBytes() { return transferred_bytes; }

void CStreamPipe::resetTransferedBytes() { transferred_bytes = 0; }
