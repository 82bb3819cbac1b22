#pragma once
// Runs each test in its own working directory holding the password file, as
// the agent runs in its own; the fake service is started by the test itself.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "common/temp_dir.h"
#include "protocol/fake_service.h"

class ServiceTest : public ::testing::Test {
protected:
  static constexpr const char* password = "s3rvice&pw";

  void SetUp() override {
    previous_ = std::filesystem::current_path();
    // Owner only: a password file others may read is refused.
    std::filesystem::permissions(dir_.write("keelback/pw.txt", password),
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::filesystem::current_path(dir_.path());
  }
  void TearDown() override {
    service_.reset();
    std::filesystem::current_path(previous_);
  }
  void start(FakeBackupService::Handler handler) {
    service_ = std::make_unique<FakeBackupService>(std::move(handler));
    ASSERT_TRUE(service_->listening()) << "port 35623 is taken; run under the ports lock";
  }
  // Answers every request with one framed reply.
  void startReplying(const std::string& reply) {
    start([reply](const std::string&, int socket) { FakeBackupService::sendFrame(socket, reply); });
  }

  TempDir dir_;
  std::filesystem::path previous_;
  std::unique_ptr<FakeBackupService> service_;
};
