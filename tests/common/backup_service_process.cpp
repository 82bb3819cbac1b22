#include "common/backup_service_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "common/loopback.h"

namespace {

bool serviceAccepts() { return loopbackPortAccepts(BackupServiceProcess::port); }

std::vector<char*> argumentVector(std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (auto& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  return argv;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

std::filesystem::path backupServiceBinaryPath() {
  return std::filesystem::path(RESTORE_AGENT_BINARY_DIR) / "companions" / "backup-service" / "backup-service";
}

BackupServiceProcess::BackupServiceProcess(BackupServiceOptions options)
    : logFile_(options.logFile.empty() ? options.workingDirectory / "backup-service.log" : options.logFile) {
  if (serviceAccepts()) {
    throw std::runtime_error("port " + std::to_string(port) + " is already taken by another program");
  }
  std::vector<std::string> words{backupServiceBinaryPath().string(), "serve", "--store", options.store.string()};
  words.insert(words.end(), options.arguments.begin(), options.arguments.end());
  std::vector<char*> argv = argumentVector(words);
  const std::string directory = options.workingDirectory.string();
  const int logFd = open(logFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (logFd < 0) {
    throw std::runtime_error("cannot create " + logFile_.string() + ": " + std::strerror(errno));
  }
  pid_ = fork();
  if (pid_ < 0) {
    close(logFd);
    throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  }
  if (pid_ == 0) {
    if (dup2(logFd, STDOUT_FILENO) < 0 || dup2(logFd, STDERR_FILENO) < 0 || chdir(directory.c_str()) != 0) {
      _exit(127);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(logFd);
  const auto deadline = std::chrono::steady_clock::now() + options.startTimeout;
  while (!serviceAccepts()) {
    if (!running() || std::chrono::steady_clock::now() >= deadline) {
      const std::string output = log();
      if (!reaped_) {
        kill(pid_, SIGKILL);
        reap(pid_);
        reaped_ = true;
      }
      throw std::runtime_error("the backup service did not start listening; its output:\n" + output);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

BackupServiceProcess::~BackupServiceProcess() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    reap(pid_);
  }
}

bool BackupServiceProcess::running() {
  if (!reaped_) {
    int status = 0;
    reaped_ = waitpid(pid_, &status, WNOHANG) == pid_;
  }
  return !reaped_;
}

std::string BackupServiceProcess::log() const { return readFile(logFile_); }

BackupServiceRun runBackupService(const std::vector<std::string>& arguments) {
  char out_pattern[] = "/tmp/backup-service-out.XXXXXX";
  char err_pattern[] = "/tmp/backup-service-err.XXXXXX";
  const int out = mkstemp(out_pattern);
  const int err = mkstemp(err_pattern);
  if (out < 0 || err < 0) {
    throw std::runtime_error("cannot create capture files for backup-service output");
  }
  std::vector<std::string> words{backupServiceBinaryPath().string()};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv = argumentVector(words);
  BackupServiceRun run;
  const pid_t pid = fork();
  if (pid == 0) {
    if (dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) {
      _exit(127);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid > 0) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  close(out);
  close(err);
  run.output = readFile(out_pattern);
  run.errors = readFile(err_pattern);
  unlink(out_pattern);
  unlink(err_pattern);
  if (pid < 0) {
    throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  }
  return run;
}

int captureWithBackupService(const CaptureRequest& request) {
  std::vector<std::string> arguments{"capture",     "--store",  request.store.string(),
                                     "--client",    request.client, "--disk", request.disk,
                                     "--partition", std::to_string(request.partition), "--letter", request.letter};
  if (request.time) {
    arguments.insert(arguments.end(), {"--time", std::to_string(*request.time)});
  }
  if (request.associatedTo != 0) {
    arguments.insert(arguments.end(), {"--associated-to", std::to_string(request.associatedTo)});
  }
  if (request.allowPlainFile) {
    arguments.push_back("--allow-plain-file");
  }
  const BackupServiceRun run = runBackupService(arguments);
  if (run.status != 0) {
    throw std::runtime_error("backup-service capture failed: " + run.errors + run.output);
  }
  return std::stoi(run.output);
}

void writeServicePassword(const std::filesystem::path& dir, const std::string& password) {
  std::filesystem::create_directories(dir / "keelback");
  std::ofstream out(dir / "keelback" / "pw.txt", std::ios::binary | std::ios::trunc);
  out << password;
  if (!out.flush()) {
    throw std::runtime_error("cannot write the service password file in " + dir.string());
  }
  // The agent refuses a password file that others may read.
  std::filesystem::permissions(dir / "keelback" / "pw.txt",
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}
