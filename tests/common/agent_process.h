#pragma once
// Runs the real restore-agent binary for end-to-end tests.
//
//   AgentOptions options;
//   options.workingDirectory = dir.path();
//   options.pathPrefix = standIns;  // recording reboot and shutdown
//   AgentProcess agent(options);
//   WsClient client;
//   client.connect("127.0.0.1", AgentProcess::port, "/backend", 5s);
//   EXPECT_TRUE(agent.waitForLog("Server: Opened connection", 5s));
//
// The constructor returns once the agent accepts TCP connections on its port
// and throws std::runtime_error (with the agent's output so far) when it does
// not within the start time-out. The destructor kills it with SIGKILL and
// reaps it. Tests that use this class take `LOCKS ports` in add_gtest.
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <map>
#include <string>

struct AgentOptions {
  // The agent's working directory (where it finds ./get_ip.sh and friends).
  std::filesystem::path workingDirectory;
  // Put first on the agent's PATH, ahead of the inherited PATH. Give the
  // directory of recording stand-ins for reboot and shutdown here.
  std::string pathPrefix;
  // Extra environment variables; they replace inherited ones of that name.
  std::map<std::string, std::string> environment;
  // Standard output goes here; empty means workingDirectory / "agent.log".
  // Standard error stays the test's own.
  std::filesystem::path logFile;
  std::chrono::milliseconds startTimeout{15000};
};

class AgentProcess {
public:
  static constexpr unsigned short port = 12209;

  explicit AgentProcess(AgentOptions options);
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  // Runs the agent until it ends by itself, for starts that must fail: its
  // exit status, or -1 when it had not ended within `timeout` and was killed.
  // `log` gets its standard output.
  static int runUntilExit(const AgentOptions& options, std::chrono::milliseconds timeout, std::string& log);

  // Everything the agent has written to standard output so far.
  std::string log() const;
  // Waits until the log holds `text` at least `count` times.
  bool waitForLog(const std::string& text, std::chrono::milliseconds timeout, std::size_t count = 1) const;
  std::size_t countInLog(const std::string& text) const;

  // False once the process has ended (killed or exited).
  bool running();
  pid_t pid() const { return pid_; }
  const std::filesystem::path& logFile() const { return logFile_; }

private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::filesystem::path logFile_;
};

// Path of the built agent binary.
std::filesystem::path agentBinaryPath();
