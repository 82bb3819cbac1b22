// restorectl: drives the restore agent from a console, speaking the same
// messages as its web page.
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "commands.h"
#include "driver.h"
#include "options.h"
#include "secrets.h"
#include "terminal_console.h"
#include "websocket_transport.h"

namespace {

using namespace restorectl;

// The token given, else the environment's, else (for root) the one the
// agent on this machine keeps.
std::optional<std::string> accessToken(const Options& options, std::string& error) {
  if (options.tokenFile) {
    return readSecretLine(*options.tokenFile, std::cin, error);
  }
  if (options.token) {
    return options.token;
  }
  if (const char* fromEnvironment = std::getenv("RESTORE_AGENT_TOKEN"); fromEnvironment && *fromEnvironment) {
    return std::string(fromEnvironment);
  }
  if (::geteuid() == 0) {
    return localAgentToken();
  }
  return std::nullopt;
}

void warnAboutVisibleSecrets(const Options& options) {
  if (options.password) {
    std::cerr << "restorectl: warning: ps shows --password to every user of this machine; use --password-file\n";
  }
  if (options.token) {
    std::cerr << "restorectl: warning: ps shows --token to every user of this machine; use --token-file\n";
  }
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
  if (options->caFile && !url->tls) {
    return usageError("--ca-file belongs to a wss:// address");
  }
  warnAboutVisibleSecrets(*options);
  const std::optional<std::string> token = accessToken(*options, error);
  if (!token && options->tokenFile) {
    return usageError("--token-file: " + error);
  }
  if (token && !token->empty()) {
    addAccessToken(*url, *token);
  }
  Settings settings;
  settings.answerTimeout = options->timeout;
  settings.progressTimeout = options->progressTimeout;
  settings.password = options->password;
  if (options->passwordFile) {
    settings.password = readSecretLine(*options->passwordFile, std::cin, error);
    if (!settings.password) {
      return usageError("--password-file: " + error);
    }
  }
  settings.assumeYes = options->yes;
  settings.json = options->json;
  settings.terminal = drawsInPlace();

  auto transport = WebSocketTransport::connect(*url, options->timeout, error, options->caFile);
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
