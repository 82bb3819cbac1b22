#include "common/agent_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/loopback.h"

extern char** environ;

namespace {

// The child's environment: the test's own, with PATH prefixed and the extra
// variables set. Built before fork, since only async-signal-safe calls may
// follow it.
std::vector<std::string> childEnvironment(const AgentOptions& options) {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const auto equals = text.find('=');
    if (equals != std::string::npos) {
      variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
  }
  if (!options.pathPrefix.empty()) {
    const auto path = variables.find("PATH");
    variables["PATH"] = options.pathPrefix + (path == variables.end() ? std::string() : ":" + path->second);
  }
  // The console's folder of this machine is not the test's to write in.
  variables["RESTORE_AGENT_ISSUE_DIR"] = (options.workingDirectory / "issue.d").string();
  for (const auto& [name, value] : options.environment) {
    variables[name] = value;
  }
  std::vector<std::string> result;
  for (const auto& [name, value] : variables) {
    result.push_back(name + "=" + value);
  }
  return result;
}

// Starts the agent in `options.workingDirectory` with its standard output in
// `logFile`; throws std::runtime_error when it cannot be started.
pid_t spawnAgent(const AgentOptions& options, const std::filesystem::path& logFile) {
  const std::string binary = agentBinaryPath().string();
  const std::vector<std::string> environment = childEnvironment(options);
  std::vector<char*> envp;
  for (const auto& entry : environment) {
    envp.push_back(const_cast<char*>(entry.c_str()));
  }
  envp.push_back(nullptr);
  const std::string directory = options.workingDirectory.string();
  const std::string logPath = logFile.string();
  char* const argv[] = {const_cast<char*>(binary.c_str()), nullptr};

  const int logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (logFd < 0) {
    throw std::runtime_error("cannot create " + logPath + ": " + std::strerror(errno));
  }
  const pid_t pid = fork();
  if (pid < 0) {
    close(logFd);
    throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  }
  if (pid == 0) {
    if (dup2(logFd, STDOUT_FILENO) < 0 || chdir(directory.c_str()) != 0) {
      _exit(127);
    }
    execve(argv[0], argv, envp.data());
    _exit(127);
  }
  close(logFd);
  return pid;
}

}  // namespace

std::filesystem::path agentBinaryPath() {
  return std::filesystem::path(RESTORE_AGENT_BINARY_DIR) / "src" / "control" / "restore-agent";
}

AgentProcess::AgentProcess(AgentOptions options)
    : logFile_(options.logFile.empty() ? options.workingDirectory / "agent.log" : options.logFile) {
  const std::string binary = agentBinaryPath().string();
  if (access(binary.c_str(), X_OK) != 0) {
    throw std::runtime_error("agent binary not found: " + binary);
  }
  if (loopbackPortAccepts(port)) {
    throw std::runtime_error("port " + std::to_string(port) + " is already taken by another program");
  }

  pid_ = spawnAgent(options, logFile_);

  const auto deadline = std::chrono::steady_clock::now() + options.startTimeout;
  while (!loopbackPortAccepts(port)) {
    if (!running() || std::chrono::steady_clock::now() >= deadline) {
      const std::string output = log();
      kill(pid_, SIGKILL);
      int status = 0;
      while (!reaped_ && waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      throw std::runtime_error("the agent did not start listening; its output:\n" + output);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int AgentProcess::runUntilExit(const AgentOptions& options, std::chrono::milliseconds timeout, std::string& log) {
  const std::filesystem::path logFile =
      options.logFile.empty() ? options.workingDirectory / "agent.log" : options.logFile;
  const pid_t pid = spawnAgent(options, logFile);
  int status = 0;
  bool ended = false;
  for (const auto end = std::chrono::steady_clock::now() + timeout;
       !ended && std::chrono::steady_clock::now() < end;) {
    ended = waitpid(pid, &status, WNOHANG) == pid;
    if (!ended) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  if (!ended) {
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  std::ifstream in(logFile, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  log = text.str();
  return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

AgentProcess::~AgentProcess() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

bool AgentProcess::running() {
  if (reaped_) {
    return false;
  }
  int status = 0;
  const pid_t result = waitpid(pid_, &status, WNOHANG);
  if (result == pid_) {
    reaped_ = true;
  }
  return !reaped_;
}

std::string AgentProcess::log() const {
  std::ifstream in(logFile_, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::size_t AgentProcess::countInLog(const std::string& text) const {
  const std::string all = log();
  std::size_t count = 0;
  for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size())) {
    ++count;
  }
  return count;
}

bool AgentProcess::waitForLog(const std::string& text, std::chrono::milliseconds timeout, std::size_t count) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (countInLog(text) >= count) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
