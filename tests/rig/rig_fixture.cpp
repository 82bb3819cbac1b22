#include "rig/rig_fixture.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace {

// Closes a descriptor on every path out of the scope that opened it.
class Fd {
public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = -1;
  }

private:
  int fd_;
};

// Standard input of the child comes from a scratch file rather than a pipe,
// so a child that never reads it cannot block us or raise SIGPIPE.
std::filesystem::path writeInputFile(const std::string& input) {
  std::string pattern = (std::filesystem::temp_directory_path() / "rig-input.XXXXXX").string();
  Fd fd(mkstemp(pattern.data()));
  if (fd.get() < 0) {
    throw std::runtime_error("cannot create a scratch file for the rig's input");
  }
  size_t written = 0;
  while (written < input.size()) {
    const ssize_t n = ::write(fd.get(), input.data() + written, input.size() - written);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      std::filesystem::remove(pattern);
      throw std::runtime_error("cannot write the rig's input");
    }
    written += static_cast<size_t>(n);
  }
  return pattern;
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

RigRun runProgram(const std::vector<std::string>& argv, const std::string& input) {
  RigRun result;
  if (argv.empty()) {
    return result;
  }
  const auto inputFile = writeInputFile(input);
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    std::filesystem::remove(inputFile);
    throw std::runtime_error("pipe failed");
  }
  Fd readEnd(pipeFds[0]);
  Fd writeEnd(pipeFds[1]);

  std::vector<char*> args;
  for (const auto& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, inputFile.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 2);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  writeEnd.reset();
  if (spawned != 0) {
    std::filesystem::remove(inputFile);
    result.output = "cannot start " + argv[0] + ": " + std::strerror(spawned);
    return result;
  }

  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    result.output.append(buffer, static_cast<size_t>(n));
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  std::filesystem::remove(inputFile);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

RigRun runRig(const std::vector<std::string>& arguments, const std::string& input) {
  std::vector<std::string> argv{Rig::script().string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runProgram(argv, input);
}

std::filesystem::path Rig::script() {
  return RIG_SCRIPT_PATH;
}

std::filesystem::path Rig::binDir() {
  return RIG_BIN_DIR;
}

bool Rig::available(std::string* why) {
  static std::once_flag once;
  static bool ok = false;
  static std::string reason;
  std::call_once(once, [] {
    const RigRun check = runRig({"check"});
    ok = check.status == 0;
    reason = trimmed(check.output);
    if (!ok && reason.empty()) {
      reason = "rig check failed";
    }
  });
  if (!ok && why != nullptr) {
    *why = "no test rig here: " + reason;
  }
  return ok;
}

Rig::Rig(std::vector<RigDiskSpec> disks) {
  // Loop devices are few; take back those of tests that were killed.
  runRig({"sweep"});
  std::string pattern = (std::filesystem::temp_directory_path() / "restore-agent-rig.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create the rig's state directory");
  }
  state_ = pattern;

  std::vector<std::string> arguments{"up", state_.string()};
  for (const auto& d : disks) {
    std::string argument = d.name + ":" + d.role + ":" + d.size;
    if (!d.model.empty()) {
      argument += ":" + d.model;
    }
    arguments.push_back(argument);
  }
  const RigRun up = runRig(arguments);
  std::istringstream lines(up.output);
  std::string line;
  while (std::getline(lines, line)) {
    const auto eq = line.find("=/dev/loop");
    if (eq != std::string::npos && line.find(' ') == std::string::npos) {
      devices_[line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  if (up.status != 0 || devices_.size() != disks.size()) {
    runRig({"down", state_.string()});
    std::error_code ignored;
    std::filesystem::remove_all(state_, ignored);
    throw std::runtime_error("rig up failed: " + trimmed(up.output));
  }
}

Rig::~Rig() {
  const RigRun down = runRig({"down", state_.string()});
  if (down.status != 0) {
    std::cerr << "rig down " << state_ << " failed: " << down.output << '\n';
  }
  std::error_code ignored;
  std::filesystem::remove_all(state_, ignored);
}

std::string Rig::device(const std::string& name) const {
  const auto it = devices_.find(name);
  if (it == devices_.end()) {
    throw std::runtime_error("no rig disk named " + name);
  }
  return it->second;
}

std::string Rig::partition(const std::string& name, int n) const {
  return device(name) + "p" + std::to_string(n);
}

namespace {
void runOrThrow(const std::vector<std::string>& arguments, const std::string& input = "") {
  const RigRun run = runRig(arguments, input);
  if (run.status != 0) {
    std::string command = "rig";
    for (const auto& a : arguments) {
      command += " " + a;
    }
    throw std::runtime_error(command + " failed: " + trimmed(run.output));
  }
}
}  // namespace

void Rig::partition(const std::string& name, const std::string& sfdiskScript) {
  runOrThrow({"partition", state_.string(), name}, sfdiskScript);
}

void Rig::mkfs(const std::string& name, int partno, const std::string& fstype, const std::string& label) {
  std::vector<std::string> arguments{"mkfs", state_.string(), name, std::to_string(partno), fstype};
  if (!label.empty()) {
    arguments.push_back(label);
  }
  runOrThrow(arguments);
}

void Rig::fill(const std::string& name, int partno) {
  runOrThrow({"fill", state_.string(), name, std::to_string(partno)});
}

void Rig::mount(const std::string& name, int partno, const std::filesystem::path& dir) {
  runOrThrow({"mount", state_.string(), name, std::to_string(partno), dir.string()});
}

void Rig::umount(const std::filesystem::path& dir) {
  runOrThrow({"umount", state_.string(), dir.string()});
}

std::string Rig::pathWithStandIns() {
  const char* path = std::getenv("PATH");
  return binDir().string() + ":" + (path != nullptr ? path : "/usr/sbin:/usr/bin:/sbin:/bin");
}

std::vector<std::string> Rig::calls() const {
  std::vector<std::string> result;
  std::ifstream in(state_ / "calls");
  std::string line;
  while (std::getline(in, line)) {
    result.push_back(line);
  }
  return result;
}

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str()); old != nullptr) {
    had_ = true;
    old_ = old;
  }
  setenv(name_.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (had_) {
    setenv(name_.c_str(), old_.c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}
