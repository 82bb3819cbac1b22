#include "control/task_worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

TEST(TaskWorker, RunsTasksOneAtATimeInOrderWithoutHoldingTheCaller) {
  std::mutex mutex;
  std::vector<int> order;
  int running = 0;
  int mostAtOnce = 0;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::thread::id worker;
  {
    TaskWorker tasks;
    tasks.post([&] {
      worker = std::this_thread::get_id();
      released.wait();
    });
    for (int i = 0; i < 5; ++i) {
      tasks.post([&, i] {
        {
          const std::lock_guard lock(mutex);
          mostAtOnce = std::max(mostAtOnce, ++running);
        }
        std::this_thread::sleep_for(2ms);
        const std::lock_guard lock(mutex);
        --running;
        if (i == 2) {
          throw std::runtime_error("the script failed");
        }
        order.push_back(i);
      });
    }
    // The first task still blocks; posting did not wait for it.
    release.set_value();
  }
  EXPECT_NE(worker, std::this_thread::get_id());
  EXPECT_EQ(order, (std::vector<int>{0, 1, 3, 4}));
  EXPECT_EQ(mostAtOnce, 1);
}
