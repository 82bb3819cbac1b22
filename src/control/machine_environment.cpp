#include "control/machine_environment.h"

#include "control/log_line.h"
#include "control/shared_state.h"
#include "external_restore/external_session.h"
#include "server_restore/server_session.h"
#include "support/command.h"

#include <exception>
#include <system_error>
#include <thread>

namespace {

bool startSessionThread(void (*session)(), const char* name) {
  const unsigned generation = currentSessionGeneration();
  try {
    std::thread([session, name, generation] {
      // Waits for the session before this one to end; a session replaced
      // before its turn came never runs.
      const SessionTurn turn(generation);
      if (!turn.entered()) {
        logLine(std::string(name) + " was replaced before it started");
        return;
      }
      // Nothing may escape a detached thread: it would end the process.
      try {
        session();
      } catch (const std::exception& e) {
        logLine(std::string(name) + " ended by an unexpected failure: " + e.what());
      } catch (...) {
        logLine(std::string(name) + " ended by an unexpected failure");
      }
    }).detach();
    return true;
  } catch (const std::system_error& e) {
    logLine(std::string("Error: cannot start ") + name + ": " + e.what());
    return false;
  }
}

}  // namespace

std::vector<std::string> MachineEnvironment::runCommand(const std::string& command) {
  std::string output;
  return ::runCommand(command, output);
}

void MachineEnvironment::runSystem(const std::string& command) { ::runSystem(command); }

void MachineEnvironment::runMachineTask(std::function<void()> task) { machineTasks_.post(std::move(task)); }

bool MachineEnvironment::sessionRunning() { return isRestoreProcessRunning; }

bool MachineEnvironment::startServerSession() {
  return startSessionThread(&restore_from_bmr_server, "The server restore session");
}

bool MachineEnvironment::startExternalSession() {
  return startSessionThread(&RestoreFromExternalDrive, "The external-drive restore session");
}
