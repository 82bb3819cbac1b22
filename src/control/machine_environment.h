#pragma once
#include "control/operations.h"
#include "control/task_worker.h"

// The real machine: shell commands through the support library's runner and
// the restore sessions on detached threads.
class MachineEnvironment : public OperationEnvironment {
public:
  std::vector<std::string> runCommand(const std::string& command) override;
  void runSystem(const std::string& command) override;
  void runMachineTask(std::function<void()> task) override;
  // True while the flag is up or any session thread started here is alive. The
  // count covers an old session that ends after a newer one has started and
  // clears the flag that the newer one raised.
  bool sessionRunning() override;
  bool startServerSession() override;
  bool startExternalSession() override;

private:
  TaskWorker machineTasks_;
};
