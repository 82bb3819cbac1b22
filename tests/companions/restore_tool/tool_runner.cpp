#include "tool_runner.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "common/temp_dir.h"

extern char** environ;

namespace {

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::string bytes(in ? static_cast<size_t>(in.tellg()) : 0, '\0');
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

// The tool's path followed by `args`.
std::vector<std::string> toolCommand(const std::vector<std::string>& args) {
  std::vector<std::string> all = {RESTORE_TOOL_BINARY};
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

// An argument vector for posix_spawn over `words`, which must outlive it.
std::vector<char*> argvOf(std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (auto& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  return argv;
}

}  // namespace

std::vector<std::string> ToolRun::lines() const {
  std::vector<std::string> result;
  std::istringstream stream(out);
  for (std::string line; std::getline(stream, line);) {
    result.push_back(line);
  }
  return result;
}

ToolRun runTool(const std::vector<std::string>& args) {
  TempDir capture;
  const std::string out_path = (capture.path() / "out").string();
  const std::string err_path = (capture.path() / "err").string();
  std::vector<std::string> all = toolCommand(args);
  std::vector<char*> argv = argvOf(all);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t child = 0;
  ToolRun run;
  if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  run.out = readFile(out_path);
  run.err = readFile(err_path);
  return run;
}

int startTool(const std::vector<std::string>& args, int* out) {
  int pipe_ends[2];
  if (::pipe2(pipe_ends, O_CLOEXEC) != 0) {
    return -1;
  }
  std::vector<std::string> all = toolCommand(args);
  std::vector<char*> argv = argvOf(all);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
  pid_t child = -1;
  if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    child = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_ends[1]);
  *out = pipe_ends[0];
  return child;
}
