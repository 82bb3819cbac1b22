#include "terminal_console.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <iostream>

namespace restorectl {
namespace {

volatile std::sig_atomic_t interruptPending = 0;

void onInterrupt(int) { interruptPending = 1; }

// SA_RESETHAND puts the default action back after the first Ctrl-C, so a
// second one ends the program even while it waits; no SA_RESTART, so a
// blocking read at a prompt returns instead of waiting on.
void catchFirstInterrupt() {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
}

class TerminalFile {
public:
  TerminalFile() : fd_(::open("/dev/tty", O_RDWR | O_CLOEXEC)) {}
  ~TerminalFile() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  TerminalFile(const TerminalFile&) = delete;
  TerminalFile& operator=(const TerminalFile&) = delete;
  int fd() const { return fd_; }

private:
  int fd_;
};

void writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) {
      return;
    }
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

TerminalConsole::TerminalConsole() { catchFirstInterrupt(); }

std::optional<std::string> TerminalConsole::askPassword(const std::string& prompt) {
  TerminalFile tty;
  if (tty.fd() < 0) {
    return std::nullopt;
  }
  termios saved{};
  const bool canHide = ::tcgetattr(tty.fd(), &saved) == 0;
  if (canHide) {
    termios hidden = saved;
    hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(tty.fd(), TCSAFLUSH, &hidden);
  }
  writeAll(tty.fd(), prompt);
  std::string password;
  bool complete = false;
  char c = 0;
  while (::read(tty.fd(), &c, 1) == 1) {
    if (c == '\n' || c == '\r') {
      complete = true;
      break;
    }
    password += c;
  }
  if (canHide) {
    ::tcsetattr(tty.fd(), TCSAFLUSH, &saved);
  }
  writeAll(tty.fd(), "\n");
  if (!complete) {
    return std::nullopt;
  }
  return password;
}

bool TerminalConsole::confirm(const std::string& question) {
  std::cerr << question << " Type yes to continue: " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) {
    std::cerr << '\n';
    return false;
  }
  const auto first = answer.find_first_not_of(" \t\r");
  const auto last = answer.find_last_not_of(" \t\r");
  if (first == std::string::npos) {
    return false;
  }
  answer = answer.substr(first, last - first + 1);
  std::transform(answer.begin(), answer.end(), answer.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  return answer == "yes";
}

bool TerminalConsole::interrupted() {
  if (interruptPending == 0) {
    return false;
  }
  interruptPending = 0;
  return true;
}

}  // namespace restorectl
