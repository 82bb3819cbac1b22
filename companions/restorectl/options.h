#pragma once
// The command line of restorectl.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "messages.h"

namespace restorectl {

enum class CommandKind {
  Help,
  ServerClients,
  ServerImages,
  ServerReport,
  ServerRestore,
  UsbMount,
  UsbClients,
  UsbPoints,
  UsbReport,
  UsbRestore,
  Cancel,
  Network,
  Reboot,
  Shutdown,
  Watch,
};

struct Options {
  std::string url = "ws://127.0.0.1:12209/backend";
  std::optional<std::string> caFile;  // wss:// only
  bool json = false;
  bool yes = false;
  bool force = false;  // reboot, shutdown: even under a running restore
  std::chrono::milliseconds timeout{std::chrono::seconds(120)};
  std::chrono::milliseconds progressTimeout{std::chrono::seconds(600)};
  std::optional<std::string> password;
  std::optional<std::string> passwordFile;
  // The agent's access token, when it has one.
  std::optional<std::string> token;
  std::optional<std::string> tokenFile;

  CommandKind command = CommandKind::Help;
  std::string client;                // server images, report, restore
  std::string folder;                // usb points; usb clients when given
  std::vector<std::string> images;   // server report (keys), usb report (paths)
  std::vector<RestoreTarget> targets;  // restore commands
};

// Options may stand before or after the command words; "--" ends them.
// nullopt with `error` set for anything that is not a valid command line.
std::optional<Options> parseCommandLine(const std::vector<std::string>& args, std::string& error);

std::string usageText();

}  // namespace restorectl
