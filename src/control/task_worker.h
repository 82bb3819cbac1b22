#pragma once
// One background thread that carries out tasks in the order they were posted,
// one at a time. The endpoint hands it the machine operations that may take
// long (the network script, stopping SSH), so that it goes on reading
// messages ("cancel-restore" above all) meanwhile.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class TaskWorker {
public:
  TaskWorker() = default;
  // Carries out the tasks still queued, then ends the thread.
  ~TaskWorker();
  TaskWorker(const TaskWorker&) = delete;
  TaskWorker& operator=(const TaskWorker&) = delete;

  // Queues `task`; the thread is started with the first one. A task that
  // throws is logged and the next one runs.
  void post(std::function<void()> task);

private:
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::thread thread_;
};
