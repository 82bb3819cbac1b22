#include "support/child_output.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace {

constexpr size_t kPieceSize = 511;

}  // namespace

ChildOutput::ChildOutput(const std::string& command) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  const int rc = posix_spawn(&pid_, "/bin/sh", &actions, &attributes, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(fds[1]);
  if (rc != 0) {
    pid_ = -1;
    ::close(fds[0]);
    return;
  }
  handle_ = fdopen(fds[0], "r");
  if (handle_ == nullptr) {
    ::close(fds[0]);
    stop();
    close();
  }
}

ChildOutput::~ChildOutput() {
  if (pid_ > 0) {
    stop();
  }
  close();
}

bool ChildOutput::takePiece(std::string& piece, bool atEnd) {
  const size_t newline = buffer_.find('\n');
  size_t length = 0;
  if (newline != std::string::npos && newline < kPieceSize) {
    length = newline + 1;
  } else if (buffer_.size() >= kPieceSize) {
    length = kPieceSize;
  } else if (atEnd && !buffer_.empty()) {
    length = buffer_.size();
  } else {
    return false;
  }
  piece = buffer_.substr(0, length);
  buffer_.erase(0, length);
  return true;
}

ChildOutput::Read ChildOutput::next(std::string& piece, std::chrono::milliseconds wait) {
  if (handle_ == nullptr) {
    return Read::ended;
  }
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (takePiece(piece, eof_)) {
      return Read::piece;
    }
    if (eof_) {
      return Read::ended;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left < 0) {
      return Read::waiting;
    }
    pollfd entry{fileno(handle_), POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready == 0) {
      return Read::waiting;
    }
    char block[4096];
    const ssize_t got = ::read(fileno(handle_), block, sizeof block);
    if (got > 0) {
      buffer_.append(block, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      eof_ = true;
    }
  }
}

void ChildOutput::stop() {
  if (pid_ > 0) {
    ::kill(-pid_, SIGTERM);
  }
}

int ChildOutput::close() {
  if (handle_ != nullptr) {
    fclose(handle_);
    handle_ = nullptr;
  }
  if (pid_ > 0) {
    int status = 0;
    pid_t waited = 0;
    do {
      waited = ::waitpid(pid_, &status, 0);
    } while (waited < 0 && errno == EINTR);
    status_ = waited == pid_ ? status : -1;
    pid_ = -1;
  }
  return status_;
}
