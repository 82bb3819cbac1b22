// restorectl: drives the restore agent from a console, speaking the same
// messages as its web page.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

#include "commands.h"
#include "driver.h"
#include "options.h"
#include "terminal_console.h"
#include "websocket_transport.h"

namespace {

using namespace restorectl;

std::optional<std::string> readPasswordFile(const std::string& path, std::string& error) {
  std::ifstream file(path);
  if (!file) {
    error = "cannot read the password file " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::string line;
  std::getline(file, line);
  if (!line.empty() && line.back() == '\r') {
    line.pop_back();
  }
  return line;
}

bool drawsInPlace() {
  const char* term = std::getenv("TERM");
  return ::isatty(STDOUT_FILENO) == 1 && term != nullptr && std::string(term) != "dumb";
}

int runCommand(Driver& driver, const Options& options) {
  switch (options.command) {
    case CommandKind::ServerClients:
      return serverClients(driver);
    case CommandKind::ServerImages:
      return serverImages(driver, options.client);
    case CommandKind::ServerReport:
      return serverReport(driver, options.client, options.images);
    case CommandKind::ServerRestore:
      return serverRestore(driver, options.client, options.targets);
    case CommandKind::UsbMount:
      return usbMount(driver);
    case CommandKind::UsbClients:
      return usbClients(driver, options.folder.empty() ? std::nullopt
                                                       : std::optional<std::string>(options.folder));
    case CommandKind::UsbPoints:
      return usbPoints(driver, options.folder);
    case CommandKind::UsbReport:
      return usbReport(driver, options.images);
    case CommandKind::UsbRestore:
      return usbRestore(driver, options.targets);
    case CommandKind::Cancel:
      return cancelRestore(driver);
    case CommandKind::Network:
      return configureNetwork(driver);
    case CommandKind::Reboot:
      return reboot(driver, options.force);
    case CommandKind::Shutdown:
      return shutDown(driver, options.force);
    case CommandKind::Watch:
      return watchRestore(driver);
    case CommandKind::Help:
      break;
  }
  return kSuccess;
}

int usageError(const std::string& error) {
  std::cerr << "restorectl: " << error << '\n';
  return kUsage;
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  const auto options = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc), error);
  if (!options) {
    return usageError(error);
  }
  if (options->command == CommandKind::Help) {
    std::cout << usageText();
    return kSuccess;
  }
  auto url = parseAgentUrl(options->url, error);
  if (!url) {
    return usageError("--url " + options->url + ": " + error);
  }
  const char* tokenFromEnvironment = std::getenv("RESTORE_AGENT_TOKEN");
  const std::string token = options->token.value_or(tokenFromEnvironment ? tokenFromEnvironment : "");
  if (!token.empty()) {
    addAccessToken(*url, token);
  }
  Settings settings;
  settings.answerTimeout = options->timeout;
  settings.progressTimeout = options->progressTimeout;
  settings.password = options->password;
  if (options->passwordFile) {
    settings.password = readPasswordFile(*options->passwordFile, error);
    if (!settings.password) {
      return usageError(error);
    }
  }
  settings.assumeYes = options->yes;
  settings.json = options->json;
  settings.terminal = drawsInPlace();

  auto transport = WebSocketTransport::connect(*url, options->timeout, error);
  if (!transport) {
    std::cerr << "Could not connect to the agent at " << options->url << ": " << error << ".\n";
    return kNoConnection;
  }
  TerminalConsole console;
  Driver driver(*transport, console, std::cout, std::cerr, settings);
  // The progress the agent shows a new connection is what "watch" is for.
  if (options->command != CommandKind::Watch) {
    driver.settle();
  }
  const int status = runCommand(driver, *options);
  std::cout.flush();
  return status;
}
