#include "control/access_policy.h"
#include "control/console_notice.h"
#include "control/endpoint.h"
#include "control/handlers.h"
#include "control/log_line.h"
#include "control/machine_environment.h"
#include "control/response_pump.h"
#include "control/shared_state.h"
#include "control/tls_context.h"
#include "support/pause.h"

#include <pthread.h>
#include <sys/resource.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <memory>
#include <thread>
#include <filesystem>
#include <optional>

namespace {

void logAccessRule(const AccessTokenSetting& token) {
  switch (token.scope) {
    case TokenScope::none:
      logLine("Warning: access is open (RESTORE_AGENT_ACCESS=open): any host on the network may control the "
              "agent, restore over its disks and reboot it");
      break;
    case TokenScope::everyPeer:
      logLine("Every request needs the access token");
      break;
    case TokenScope::remotePeers:
      logLine(std::string("Hosts other than this machine need the access token in ") + accessTokenFileName);
      break;
  }
}

// Every connection and every file of a restore takes a descriptor; the
// bounds on connections assume the agent may use all the system allows it.
void raiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// Keeps the console's lines current while the network script or DHCP
// changes the machine's addresses or someone deletes the token's file, and
// takes the console's file away when the agent is stopped (SIGTERM from
// systemd, Ctrl-C by hand).
void showOnConsole(const std::shared_ptr<AccessTokenHolder>& tokens, unsigned short port,
                   const std::string& scheme) {
  const char* folder = std::getenv("RESTORE_AGENT_ISSUE_DIR");
  auto notice = std::make_shared<ConsoleNotice>(folder && *folder ? folder : "/etc/issue.d",
                                                tokens->current().token, port, scheme);
  notice->update(accessPolicyFromEnvironment(tokens->current()).ownAddresses);

  sigset_t stopping;
  sigemptyset(&stopping);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    sigaddset(&stopping, signal);
  }
  // Blocked here, before any other thread starts, so that only the waiting
  // thread below takes them; programs the agent starts get a mask of their
  // own.
  pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
  std::thread([notice, stopping] {
    int signal = 0;
    sigwait(&stopping, &signal);
    notice->remove();
    // Ends the way the signal would have ended it.
    std::signal(signal, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &stopping, nullptr);
    ::raise(signal);
  }).detach();
  std::thread([notice, tokens] {
    for (;;) {
      pauseFor(std::chrono::seconds(5));
      tokens->followFile();
      const AccessTokenSetting token = tokens->current();
      notice->replaceToken(token.token);
      notice->update(accessPolicyFromEnvironment(token).ownAddresses);
    }
  }).detach();
}

}  // namespace

int main() {
  try {
    logLine("Starting BMR Server....");
    raiseOpenFileLimit();
    std::string tokenError;
    const std::optional<AccessTokenSetting> token =
        accessTokenFromEnvironment(std::filesystem::current_path() / accessTokenFileName, tokenError);
    if (!token) {
      // Starting open instead would hand the machine's disks to the network.
      logLine("Error: no access token: " + tokenError);
      return 1;
    }
    logAccessRule(*token);
    std::shared_ptr<TlsContext> tls;
    std::string tlsError;
    if (!tlsFromEnvironment(tls, tlsError)) {
      logLine("Error: " + tlsError);
      return 1;
    }
    if (tls) {
      logLine("The endpoint serves https and wss (TLS) only");
    }
    // Every program the agent starts inherits its environment; none of them
    // needs the token, and a restore tool's environment is readable in /proc.
    ::unsetenv("RESTORE_AGENT_TOKEN");
    auto tokens = std::make_shared<AccessTokenHolder>(*token, std::filesystem::current_path() / accessTokenFileName);
    // First of the agent's threads: the signals it waits for are blocked in
    // every later one.
    showOnConsole(tokens, WsServerConfig{}.port, tls ? "https" : "http");
    MachineEnvironment machine;
    WsServerConfig config;
    config.tls = tls;
    // Read for each request: the network script may give the machine new
    // addresses, and the token may be made anew, while the agent runs.
    config.gate.access = [tokens](const AccessRequest& request) {
      return judgeAccess(accessPolicyFromEnvironment(tokens->current()), request);
    };
    // Looked up for each request too, so a page installed later is served.
    config.gate.pageRoot = std::filesystem::current_path() / "ui";
    WsServer server(config);
    installHandlers(server.endpoint(), machine);
    std::string error;
    if (!server.listen(error)) {
      logLine("Error: cannot listen: " + error);
      return 1;
    }
    server.startThread();

    while (!isClientConnected) {
      pauseFor(std::chrono::seconds(2));
    }
    for (;;) {
      try {
        pumpOneResponse(server.endpoint());
      } catch (const std::exception& e) {
        logLine(std::string("Error: the response pump failed: ") + e.what());
      }
    }
  } catch (const std::exception& e) {
    logLine(std::string("Error: the agent failed to start: ") + e.what());
    return 1;
  }
}
