#pragma once
// Runs the real backup-service binary for tests: `serve` as a long-lived
// process, the other sub-commands to completion.
//
//   TempDir work;
//   writeServicePassword(work.path(), "secret");
//   BackupServiceProcess service({.store = store, .workingDirectory = work.path(),
//                                 .arguments = {"--close-after", "5000"}});
//
// The constructor returns once 127.0.0.1:35623 accepts connections and throws
// std::runtime_error (with the service's output so far) when it does not
// within the start time-out. The destructor kills it and reaps it. Tests
// that use this class take `LOCKS ports` in add_gtest.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct BackupServiceOptions {
  std::filesystem::path store;
  // Where the service looks for keelback/pw.txt (unless the arguments name
  // another password file).
  std::filesystem::path workingDirectory;
  // Extra arguments of `serve`: fault flags, --password-file.
  std::vector<std::string> arguments;
  // Standard output and error go here; empty means
  // workingDirectory / "backup-service.log".
  std::filesystem::path logFile;
  std::chrono::milliseconds startTimeout{15000};
};

class BackupServiceProcess {
public:
  static constexpr unsigned short port = 35623;

  explicit BackupServiceProcess(BackupServiceOptions options);
  ~BackupServiceProcess();
  BackupServiceProcess(const BackupServiceProcess&) = delete;
  BackupServiceProcess& operator=(const BackupServiceProcess&) = delete;

  std::string log() const;
  bool running();

private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::filesystem::path logFile_;
};

std::filesystem::path backupServiceBinaryPath();

struct BackupServiceRun {
  int status = -1;     // exit status; -1 when it did not exit normally
  std::string output;  // standard output
  std::string errors;  // standard error
};
// Runs `backup-service <arguments...>` to its end.
BackupServiceRun runBackupService(const std::vector<std::string>& arguments);

struct CaptureRequest {
  std::filesystem::path store;
  std::string client;
  std::string disk;
  int partition = 1;
  std::string letter = "C";
  std::optional<int64_t> time;
  int associatedTo = 0;
  bool allowPlainFile = false;
};
// Runs `backup-service capture` and returns the new image id; throws
// std::runtime_error with the tool's messages when the capture fails.
int captureWithBackupService(const CaptureRequest& request);

// Writes `password` (as it is, no line end) to dir/keelback/pw.txt, where both
// the agent's protocol code and the service look for it.
void writeServicePassword(const std::filesystem::path& dir, const std::string& password);
