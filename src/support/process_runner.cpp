#include "support/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting caller asks whether to stop: well inside the quarter of
// a second in which a cancel has to end a silent restore tool.
constexpr int kLookMs = 50;
// How long a child may take to go after SIGTERM before it gets SIGKILL.
constexpr int kTermGraceMs = 100;

std::string errnoText(const std::string& what, int error) { return what + ": " + std::strerror(error); }

// posix_spawn's settings, released on every path.
class SpawnSettings {
public:
  SpawnSettings() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSettings() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
};

// Takes the next piece of `buffer` (see readLines); the end of the output
// lets a last piece without a newline go.
bool takePiece(std::string& buffer, bool atEnd, size_t longestPiece, std::string& piece) {
  const size_t newline = buffer.find('\n');
  if (newline != std::string::npos && newline < longestPiece) {
    piece.assign(buffer, 0, newline);
    buffer.erase(0, newline + 1);
    return true;
  }
  if (buffer.size() >= longestPiece || (atEnd && !buffer.empty())) {
    const size_t length = std::min(buffer.size(), longestPiece);
    piece.assign(buffer, 0, length);
    buffer.erase(0, length);
    return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> shellCommand(const std::string& text) { return {"/bin/sh", "-c", text}; }

std::string ChildExit::describe() const {
  switch (how) {
    case How::notStarted:
      return "could not be started: " + error;
    case How::exited:
      return code == 0 ? "exited with status 0" : "failed with exit status " + std::to_string(code);
    case How::killedBySignal:
      return "was killed by signal " + std::to_string(code) + " (" + strsignal(code) + ")";
    case How::stopped:
      return "was stopped";
    case How::timedOut:
      return "was stopped at its time limit";
    case How::unknown:
      return "ended, but how is unknown: " + error;
  }
  return {};
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, ChildStdout output, ChildLimits limits)
    : limits_(std::move(limits)) {
  if (limits_.timeLimit) {
    deadline_ = Clock::now() + *limits_.timeLimit;
  }
  if (argv.empty()) {
    exit_.error = "no program named";
    return;
  }
  const std::string& name = argv[0];
  SpawnSettings settings;
  UniqueFd writeEnd;
  if (output == ChildStdout::pipe) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
      exit_.error = errnoText("cannot make a pipe for " + name, errno);
      return;
    }
    writeEnd = UniqueFd(ends[1]);
    output_ = fdopen(ends[0], "r");
    if (output_ == nullptr) {
      exit_.error = errnoText("cannot read the output of " + name, errno);
      ::close(ends[0]);
      return;
    }
    posix_spawn_file_actions_adddup2(&settings.actions, writeEnd.get(), STDOUT_FILENO);
  } else if (output == ChildStdout::toStderr) {
    posix_spawn_file_actions_adddup2(&settings.actions, STDERR_FILENO, STDOUT_FILENO);
  }
  // Nothing of ours beyond the standard descriptors: a restore tool holding a
  // copy of the agent's listening socket would keep its port taken after the
  // agent has gone, whether or not the socket was opened close-on-exec.
  posix_spawn_file_actions_addclosefrom_np(&settings.actions, STDERR_FILENO + 1);
  // A group of its own, so that stopping it reaches what it started (the tool
  // under sudo, the sleep under sh); the signal state of a program started
  // fresh, not the blocked signals of the thread that starts it nor an
  // ignored SIGPIPE of its parent.
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setflags(&settings.attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&settings.attributes, 0);
  posix_spawnattr_setsigmask(&settings.attributes, &none);
  posix_spawnattr_setsigdefault(&settings.attributes, &defaults);

  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, args[0], &settings.actions, &settings.attributes, args.data(), environ);
  writeEnd.reset();
  if (spawned != 0) {
    exit_.error = errnoText("cannot run " + name, spawned);
    closeOutput();
    return;
  }
  pid_ = pid;
  // Waiting on the child's pidfd lets a wait end at a stop request without
  // sleeping in steps. The system call directly: Debian 12's <sys/pidfd.h>
  // declares its wrapper without C linkage, so C++ cannot link it.
  pidFd_ = UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
  if (pidFd_.get() < 0) {
    const int error = errno;
    ::kill(-pid_, SIGKILL);
    reap(ChildExit::How::stopped);
    closeOutput();
    exit_ = ChildExit{};
    exit_.error = errnoText("cannot watch " + name, error);
    return;
  }
  started_ = true;
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    stop();
  }
  closeOutput();
}

std::optional<ChildProcess::Reading> ChildProcess::limitReached() const {
  if (deadline_ && Clock::now() >= *deadline_) {
    return Reading::timedOut;
  }
  if (limits_.stopRequested && limits_.stopRequested()) {
    return Reading::stopRequested;
  }
  return std::nullopt;
}

// The longest wait before the limits must be looked at again; -1 for none.
int ChildProcess::nextLookMs() const {
  int wait = limits_.stopRequested ? kLookMs : -1;
  if (deadline_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - Clock::now()).count() + 1;
    const int leftMs = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
    wait = wait < 0 ? leftMs : std::min(wait, leftMs);
  }
  return wait;
}

void ChildProcess::readSome() {
  pollfd entry{fileno(output_), POLLIN, 0};
  const int ready = ::poll(&entry, 1, nextLookMs());
  if (ready <= 0) {
    return;
  }
  char block[65536];
  const ssize_t got = ::read(entry.fd, block, sizeof block);
  if (got > 0) {
    buffer_.append(block, static_cast<size_t>(got));
  } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
    endOfOutput_ = true;
  }
}

ChildProcess::Reading ChildProcess::pump(const std::function<bool()>& deliver) {
  if (output_ == nullptr) {
    return Reading::ended;
  }
  for (;;) {
    if (!deliver()) {
      return Reading::quitByReader;
    }
    if (endOfOutput_) {
      return Reading::ended;
    }
    if (const auto reached = limitReached()) {
      limitHit_ = reached;
      return *reached;
    }
    readSome();
  }
}

ChildProcess::Reading ChildProcess::readLines(const std::function<bool(const std::string&)>& onLine,
                                              size_t longestPiece) {
  longestPiece = std::max<size_t>(longestPiece, 1);
  std::string piece;
  return pump([&] {
    while (takePiece(buffer_, endOfOutput_, longestPiece, piece)) {
      if (!onLine(piece)) {
        return false;
      }
    }
    return true;
  });
}

ChildProcess::Reading ChildProcess::readAll(std::string& output) {
  return pump([&] {
    output += buffer_;
    buffer_.clear();
    return true;
  });
}

bool ChildProcess::exitedWithin(int timeoutMs) {
  pollfd entry{pidFd_.get(), POLLIN, 0};
  return ::poll(&entry, 1, timeoutMs) > 0;
}

ChildExit ChildProcess::wait() {
  closeOutput();
  if (pid_ <= 0) {
    return exit_;
  }
  for (;;) {
    if (limitHit_) {
      return stop();
    }
    if (exitedWithin(nextLookMs())) {
      return reap(ChildExit::How::exited);
    }
    limitHit_ = limitReached();
  }
}

ChildExit ChildProcess::stop() {
  closeOutput();
  if (pid_ <= 0) {
    return exit_;
  }
  if (exitedWithin(0)) {
    return reap(ChildExit::How::exited);
  }
  ::kill(-pid_, SIGTERM);
  if (!exitedWithin(kTermGraceMs)) {
    ::kill(-pid_, SIGKILL);
  }
  return reap(limitHit_ == Reading::timedOut ? ChildExit::How::timedOut : ChildExit::How::stopped);
}

// Collects the child's status. `how` is exited for a child that ended by
// itself; the status then tells whether it exited or was killed.
ChildExit ChildProcess::reap(ChildExit::How how) {
  int status = 0;
  pid_t waited = 0;
  do {
    waited = ::waitpid(pid_, &status, 0);
  } while (waited < 0 && errno == EINTR);
  const int error = errno;
  pid_ = -1;
  pidFd_.reset();
  exit_ = ChildExit{};
  if (waited < 0) {
    exit_.how = ChildExit::How::unknown;
    exit_.error = std::strerror(error);
    return exit_;
  }
  exit_.waitStatus = status;
  exit_.code = WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
  if (how == ChildExit::How::exited && WIFSIGNALED(status)) {
    how = ChildExit::How::killedBySignal;
  }
  exit_.how = how;
  return exit_;
}

void ChildProcess::closeOutput() {
  if (output_ != nullptr) {
    fclose(output_);
    output_ = nullptr;
  }
}

ChildRun runChild(const std::vector<std::string>& argv, ChildStdout output, ChildLimits limits) {
  ChildRun run;
  ChildProcess child(argv, output, std::move(limits));
  if (!child.started()) {
    run.exit = child.startFailure();
    return run;
  }
  const ChildProcess::Reading reading = child.readAll(run.output);
  run.exit = reading == ChildProcess::Reading::ended ? child.wait() : child.stop();
  return run;
}
