#include "control/shared_state.h"

#include <gtest/gtest.h>

#include <thread>

TEST(SessionGeneration, OnlyTheNewestSessionClearsTheRunningFlag) {
  const unsigned first = beginSessionGeneration();
  isRestoreProcessRunning = true;
  const unsigned second = beginSessionGeneration();
  ASSERT_NE(first, second);

  // The replaced session ends late, after its successor started.
  std::thread([first] {
    adoptSessionGeneration(first);
    endRestoreSession();
  }).join();
  EXPECT_TRUE(isRestoreProcessRunning);

  std::thread([second] {
    adoptSessionGeneration(second);
    endRestoreSession();
  }).join();
  EXPECT_FALSE(isRestoreProcessRunning);
}

TEST(SessionGeneration, ASessionThatEndedBeforeTheNextInitLeavesTheFlagDown) {
  const unsigned only = beginSessionGeneration();
  isRestoreProcessRunning = true;
  std::thread([only] {
    adoptSessionGeneration(only);
    endRestoreSession();
  }).join();
  EXPECT_FALSE(isRestoreProcessRunning);
  EXPECT_EQ(currentSessionGeneration(), only);
}
