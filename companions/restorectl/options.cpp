#include "options.h"

#include <charconv>
#include <cmath>

#include "restore_plan.h"

namespace restorectl {
namespace {

bool takesValue(const std::string& name) {
  return name == "url" || name == "ca-file" || name == "timeout" || name == "progress-timeout" || name == "password" ||
         name == "password-file" || name == "client" || name == "map" || name == "token" ||
         name == "token-file";
}

std::optional<std::chrono::milliseconds> seconds(const std::string& text) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  // A week is far beyond any wait; the bound keeps the conversion in range.
  if (text.empty() || error != std::errc() || stop != end || !std::isfinite(value) ||
      value <= 0 || value > 7 * 24 * 3600) {
    return std::nullopt;
  }
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(value * 1000)));
}

struct Raw {
  std::vector<std::string> words;
  std::vector<std::string> maps;
  std::optional<std::string> client;
  bool help = false;
};

bool takeOption(const std::string& name, const std::string& value, Options& options, Raw& raw,
                std::string& error) {
  if (name == "url") {
    options.url = value;
  } else if (name == "ca-file") {
    options.caFile = value;
  } else if (name == "timeout" || name == "progress-timeout") {
    const auto duration = seconds(value);
    if (!duration) {
      error = "--" + name + " wants a number of seconds greater than 0, not \"" + value + "\"";
      return false;
    }
    (name == "timeout" ? options.timeout : options.progressTimeout) = *duration;
  } else if (name == "password") {
    options.password = value;
  } else if (name == "password-file") {
    options.passwordFile = value;
  } else if (name == "token") {
    options.token = value;
  } else if (name == "token-file") {
    options.tokenFile = value;
  } else if (name == "client") {
    raw.client = value;
  } else if (name == "map") {
    raw.maps.push_back(value);
  }
  return true;
}

bool wantCount(const std::vector<std::string>& words, std::size_t min, std::size_t max,
               const std::string& usage, std::string& error) {
  const std::size_t given = words.size() - (words.front() == "server" || words.front() == "usb" ? 2 : 1);
  if (given < min || given > max) {
    error = "usage: restorectl " + usage;
    return false;
  }
  return true;
}

bool interpret(const Raw& raw, Options& options, std::string& error) {
  const auto& w = raw.words;
  if (raw.help || w.empty() || w.front() == "help") {
    options.command = CommandKind::Help;
    return true;
  }
  const std::string head = w.front();
  const std::string sub = w.size() > 1 ? w[1] : "";
  const bool restore = (head == "server" || head == "usb") && sub == "restore";
  const bool clientCommand = head == "server" && (sub == "images" || sub == "report" || restore);
  if (!raw.maps.empty() && !restore) {
    error = "--map belongs to \"server restore\" and \"usb restore\"";
    return false;
  }
  if (raw.client && !clientCommand) {
    error = "--client belongs to \"server images\", \"server report\" and \"server restore\"";
    return false;
  }
  if (head == "server") {
    if (sub == "clients") {
      options.command = CommandKind::ServerClients;
      return wantCount(w, 0, 0, "server clients", error);
    }
    if (sub == "images") {
      options.command = CommandKind::ServerImages;
      if (raw.client) {
        options.client = *raw.client;
        return wantCount(w, 0, 0, "server images CLIENT", error);
      }
      if (!wantCount(w, 1, 1, "server images CLIENT", error)) {
        return false;
      }
      options.client = w[2];
      return true;
    }
    if (sub == "report") {
      options.command = CommandKind::ServerReport;
      if (!raw.client || !wantCount(w, 1, SIZE_MAX, "server report --client CLIENT IMAGE-KEY...", error)) {
        error = "usage: restorectl server report --client CLIENT IMAGE-KEY...";
        return false;
      }
      options.client = *raw.client;
      options.images.assign(w.begin() + 2, w.end());
      return true;
    }
    if (sub == "restore") {
      options.command = CommandKind::ServerRestore;
      if (!raw.client || !wantCount(w, 0, 0, "", error)) {
        error = "usage: restorectl server restore --client CLIENT --map /dev/DISK=KEY[,KEY...]...";
        return false;
      }
      options.client = *raw.client;
    }
  } else if (head == "usb") {
    if (sub == "mount") {
      options.command = CommandKind::UsbMount;
      return wantCount(w, 0, 0, "usb mount", error);
    }
    if (sub == "clients") {
      options.command = CommandKind::UsbClients;
      if (!wantCount(w, 0, 1, "usb clients [BACKUP-FOLDER]", error)) {
        return false;
      }
      options.folder = w.size() == 3 ? w[2] : "";
      return true;
    }
    if (sub == "points") {
      options.command = CommandKind::UsbPoints;
      if (!wantCount(w, 1, 1, "usb points FOLDER", error)) {
        return false;
      }
      options.folder = w[2];
      return true;
    }
    if (sub == "report") {
      options.command = CommandKind::UsbReport;
      if (!wantCount(w, 1, SIZE_MAX, "usb report IMAGE-PATH...", error)) {
        return false;
      }
      options.images.assign(w.begin() + 2, w.end());
      return true;
    }
    if (sub == "restore") {
      options.command = CommandKind::UsbRestore;
      if (!wantCount(w, 0, 0, "usb restore --map /dev/DISK=PATH[,PATH...]...", error)) {
        return false;
      }
    }
  } else if (w.size() == 1 && head == "cancel") {
    options.command = CommandKind::Cancel;
    return true;
  } else if (w.size() == 1 && head == "network") {
    options.command = CommandKind::Network;
    return true;
  } else if (w.size() == 1 && head == "reboot") {
    options.command = CommandKind::Reboot;
    return true;
  } else if (w.size() == 1 && head == "shutdown") {
    options.command = CommandKind::Shutdown;
    return true;
  } else if (w.size() == 1 && head == "watch") {
    options.command = CommandKind::Watch;
    return true;
  }
  if (!restore) {
    error = "unknown command \"" + head + (sub.empty() ? "" : " " + sub) + "\"; see restorectl --help";
    return false;
  }
  auto targets = parseMaps(raw.maps, error);
  if (!targets) {
    return false;
  }
  options.targets = std::move(*targets);
  return true;
}

}  // namespace

std::optional<Options> parseCommandLine(const std::vector<std::string>& args, std::string& error) {
  Options options;
  Raw raw;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      raw.words.insert(raw.words.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    }
    if (arg == "-h" || arg == "--help") {
      raw.help = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0) {
      raw.words.push_back(arg);
      continue;
    }
    const auto equals = arg.find('=');
    const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    if (name == "json" || name == "yes" || name == "force") {
      if (equals != std::string::npos) {
        error = "--" + name + " takes no value";
        return std::nullopt;
      }
      (name == "json" ? options.json : name == "yes" ? options.yes : options.force) = true;
      continue;
    }
    if (!takesValue(name)) {
      error = "unknown option --" + name + "; see restorectl --help";
      return std::nullopt;
    }
    std::string value;
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      error = "--" + name + " needs a value";
      return std::nullopt;
    }
    if (!takeOption(name, value, options, raw, error)) {
      return std::nullopt;
    }
  }
  if (options.password && options.passwordFile) {
    error = "give either --password or --password-file, not both";
    return std::nullopt;
  }
  if (options.token && options.tokenFile) {
    error = "give either --token or --token-file, not both";
    return std::nullopt;
  }
  if (options.passwordFile == "-" && options.tokenFile == "-") {
    error = "only one of --password-file and --token-file can read standard input";
    return std::nullopt;
  }
  if (!interpret(raw, options, error)) {
    return std::nullopt;
  }
  if (options.force && options.command != CommandKind::Reboot && options.command != CommandKind::Shutdown) {
    error = "--force belongs to \"reboot\" and \"shutdown\"";
    return std::nullopt;
  }
  return options;
}

std::string usageText() {
  return R"(restorectl: command-line client of the restore agent

Usage: restorectl [OPTIONS] COMMAND

Restore from the backup server:
  server clients                     log in and list the backup clients
  server images CLIENT               list the images of a client (oldest first)
  server report --client CLIENT KEY...
                                     where the images come from, and the disks they can go to
  server restore --client CLIENT --map /dev/DISK=KEY[,KEY...] [--map ...]
                                     restore images onto disks, with progress

Restore from USB drives:
  usb mount                          mount the USB drives and find their backup folders
  usb clients [BACKUP-FOLDER]        list the client folders of the backup folders
  usb points FOLDER                  list the backup points (images) under a folder
  usb report PATH...                 where the images come from, and the disks they can go to
  usb restore --map /dev/DISK=PATH[,PATH...] [--map ...]
                                     restore image files onto disks, with progress

The machine:
  watch                              show the progress of the running restore until it ends
  cancel                             ask the agent to cancel the running restore
  network                            configure the network and show the result
  reboot [--force]                   reboot the agent's machine; refused during a
                                     restore unless --force
  shutdown [--force]                 power the agent's machine off; as reboot

Options:
  --url URL                 the agent's endpoint (default ws://127.0.0.1:12209/backend);
                            wss://HOST:12209/backend for an agent that speaks TLS
  --ca-file F               with wss://, trust the certificate(s) in the PEM file F
                            (the agent's own, when self-signed) instead of the
                            system's authorities; the certificate must name HOST
  --timeout S               longest wait for an answer, in seconds (default 120)
  --progress-timeout S      longest silence during a restore, in seconds (default 600)
  --password-file F         read the backup service's password from the first
                            line of F (- for standard input)
  --password P              the password itself (ps shows it to every user of
                            this machine; prefer --password-file)
  --token-file F            read the agent's access token from the first line of
                            F (- for standard input); needed from other hosts.
                            Default: $RESTORE_AGENT_TOKEN, or, for root, the
                            access-token file of the agent running here
  --token T                 the token itself (ps shows it; prefer --token-file)
  --yes                     do not ask before overwriting disks, rebooting or
                            shutting down
  --json                    print the agent's messages as they arrive instead of
                            readable output (messages left from an earlier
                            session, which arrive right after connecting, are not
                            printed)
  -h, --help                this text

A restore asks for confirmation unless --yes is given: type yes. The first
Ctrl-C during a restore asks the agent to cancel; the second stops restorectl.
Without --password or --password-file the password is asked for on the terminal
when the backup service wants one.

Exit status: 0 done; 1 the agent reported a failure, a drive failed, or the
user declined; 2 wrong command line; 3 no connection or connection lost;
4 the agent did not answer in time; 130 interrupted.
)";
}

}  // namespace restorectl
