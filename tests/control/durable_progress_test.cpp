#include "control/durable_progress.h"

#include <gtest/gtest.h>

namespace {

TEST(DurableProgress, ShowsOnlyTheFlushedShareAndNever100WhileTheDownloadRuns) {
  DurableProgress progress;
  EXPECT_EQ(progress.scale(42), 42) << "no download running: passed on as it is";
  progress.begin();
  EXPECT_EQ(progress.scale(30), 0) << "nothing handed over yet";
  struct Case {
    int sent;
    int64_t handed, durable;
    int shown;
  };
  for (const Case c : {Case{80, 100, 50, 40}, Case{100, 100, 100, 99}, Case{100, 4096, 0, 0}, Case{50, 10, 20, 50},
                       Case{150, 10, 10, 99}, Case{-5, 10, 10, 0}}) {
    progress.update(c.handed, c.durable);
    EXPECT_EQ(progress.scale(c.sent), c.shown) << c.sent << " " << c.handed << " " << c.durable;
  }
  progress.end();
  EXPECT_EQ(progress.scale(100), 100) << "flushed and verified";
}

}  // namespace
