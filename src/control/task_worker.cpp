#include "control/task_worker.h"

#include <exception>
#include <string>

#include "control/log_line.h"

TaskWorker::~TaskWorker() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
}

void TaskWorker::post(std::function<void()> task) {
  {
    const std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    if (!thread_.joinable()) {
      thread_ = std::thread([this] { run(); });
    }
  }
  wake_.notify_all();
}

void TaskWorker::run() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (tasks_.empty()) {
        return;
      }
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    try {
      task();
    } catch (const std::exception& e) {
      logLine(std::string("Error: a machine operation failed: ") + e.what());
    } catch (...) {
      logLine("Error: a machine operation failed");
    }
  }
}
