#pragma once
// The operations that the user interface sends to the endpoint. The machine
// side (shell commands, session threads) is reached only through
// OperationEnvironment, so the dispatch can be exercised without touching the
// machine.
#include "control/endpoint.h"

#include <functional>
#include <string>
#include <vector>

class OperationEnvironment {
public:
  virtual ~OperationEnvironment() = default;
  // Runs `command` through the shell and returns its non-empty output lines.
  virtual std::vector<std::string> runCommand(const std::string& command) = 0;
  // Runs `command` through the shell; the exit status is of no interest.
  virtual void runSystem(const std::string& command) = 0;
  // Carries out a slow machine operation: the program hands it to one
  // background thread (one operation at a time, in order), so the endpoint
  // keeps reading meanwhile. Here, at once.
  virtual void runMachineTask(std::function<void()> task) { task(); }
  // Whether a restore session may still be taking from msg_queue.
  virtual bool sessionRunning() = 0;
  // Start a detached session thread; false when no thread could be started.
  virtual bool startServerSession() = 0;
  virtual bool startExternalSession() = 0;
};

// Carries out one message received from the user interface over `sender` (null
// when it came from no connection): a machine or session operation, or, for
// anything else, a push of the unchanged text onto msg_queue. Replies go onto
// resp_queue; a refusal goes to `sender` alone.
void dispatchMessage(const std::string& text, OperationEnvironment& environment,
                     const WsConnectionPtr& sender = nullptr);
