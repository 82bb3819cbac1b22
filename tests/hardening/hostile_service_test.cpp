// The protocol client against a backup service that misbehaves at the socket
// level: connections closed or reset at once, replies that are no frame or
// announce more than any frame may hold, streams cut short, a service that
// never answers, and a listing far larger than any real one. Every request
// must end with its error result, never with success and never by waiting
// longer than its read time-out.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/temp_dir.h"
#include "control/shared_state.h"
#include "hardening/hostile_service.h"
#include "protocol/image_download.h"
#include "protocol/listing.h"
#include "protocol/login.h"
#include "protocol/mbr_record.h"
#include "support/text.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

class HostileServiceTest : public ::testing::Test {
protected:
  void SetUp() override {
    previous_ = fs::current_path();
    // Owner only: a password file others may read is refused.
    fs::permissions(dir_.write("keelback/pw.txt", "service-pw"), fs::perms::owner_read | fs::perms::owner_write);
    fs::current_path(dir_.path());
    cancelrestore = false;
  }
  void TearDown() override {
    service_.reset();
    fs::current_path(previous_);
    cancelrestore = false;
  }
  void start(HostileService::Behaviour behaviour) {
    service_ = std::make_unique<HostileService>(std::move(behaviour));
    ASSERT_TRUE(service_->listening()) << "port 35623 is taken; run under the ports lock";
  }

  // Every request that reads one framed reply must report the empty reply
  // (err 1) and return nothing. A peer that resets before the client has seen
  // the connection established leaves no connection (err 10) instead.
  void expectEveryRequestSeesNoReply(const std::string& peer, bool mayResetWhileConnecting = false) {
    const auto expectNoReply = [&](int err, const char* request) {
      if (mayResetWhileConnecting && err == 10) return;
      EXPECT_EQ(err, 1) << request << ", " << peer;
    };
    int err = -1;
    EXPECT_TRUE(getSalt("admin", &err).empty()) << peer;
    expectNoReply(err, "getSalt");
    err = -1;
    EXPECT_FALSE(tryLogin("admin", "pw", parseSaltReply("ok;S;C"), &err)) << peer;
    expectNoReply(err, "tryLogin");
    err = -1;
    EXPECT_TRUE(getBackupclients(&err).empty()) << peer;
    expectNoReply(err, "getBackupclients");
    err = -1;
    EXPECT_TRUE(getBackupimages("pc", &err).empty()) << peer;
    expectNoReply(err, "getBackupimages");
  }

  TempDir dir_;
  fs::path previous_;
  std::unique_ptr<HostileService> service_;
};

TEST_F(HostileServiceTest, ConnectionsClosedOrResetAtOnceAreNoReplyAndNoImage) {
  struct Peer {
    std::string name;
    HostileService::Behaviour behaviour;
    bool mayResetWhileConnecting = false;
  };
  const std::vector<Peer> peers = {
      {"closes before reading", [](int, const std::atomic<bool>&) {}, true},
      {"resets before reading", [](int socket, const std::atomic<bool>&) { HostileService::resetOnClose(socket); },
       true},
      {"resets after reading",
       [](int socket, const std::atomic<bool>&) {
         HostileService::readRequest(socket);
         HostileService::resetOnClose(socket);
       }},
      {"sends half a length field",
       [](int socket, const std::atomic<bool>&) {
         HostileService::readRequest(socket);
         sendAll(socket, std::string("\x05\x00", 2));
       }},
  };
  for (const auto& [peer, behaviour, mayResetWhileConnecting] : peers) {
    start(behaviour);
    expectEveryRequestSeesNoReply(peer, mayResetWhileConnecting);

    const fs::path target = dir_.write("target", std::string(8192, '.'));
    int64_t imageSize = 0;
    const int result = downloadImage(1, "100", target.string(), false, -1, 0, &imageSize, nullptr);
    if (!(mayResetWhileConnecting && result == downloadNoConnection)) {
      EXPECT_EQ(result, downloadStreamFailed) << peer;
      EXPECT_EQ(imageSize, -1) << peer;
    }
    EXPECT_EQ(getFile(target.string()), std::string(8192, '.')) << peer;

    SImage image;
    std::string errmsg;
    CRData record;
    EXPECT_FALSE(DownloadMBR(image, errmsg, record)) << peer;
    EXPECT_EQ(errmsg, "cannot_read_mbr") << peer;
    service_.reset();
  }
}

// The peer keeps each connection open after its bytes, so a client that waited
// for the frame to complete would sit out its 30 s read time-out per request.
TEST_F(HostileServiceTest, RepliesThatAreNoFrameOrAnnounceTooMuchAreGivenUpAtOnce) {
  const std::vector<std::pair<std::string, std::string>> replies = {
      {"an HTTP answer", "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n"},
      {"a frame of exactly 100 MiB", HostileService::lengthField(104857600) + "abc"},
      {"a frame of 2 GiB", HostileService::lengthField(0x80000000U) + std::string(2000, 'x')},
      {"a frame of 4 GiB - 1", HostileService::lengthField(0xFFFFFFFFU) + "abc"},
  };
  for (const auto& [peer, reply] : replies) {
    start([reply = reply](int socket, const std::atomic<bool>& stopping) {
      HostileService::readRequest(socket);
      sendAll(socket, reply);
      HostileService::holdOpen(socket, stopping);
    });
    const auto started = Clock::now();
    expectEveryRequestSeesNoReply(peer);
    EXPECT_LT(Clock::now() - started, 20s) << peer << ": a request waited for a frame that can never be delivered";
    service_.reset();
  }
}

TEST_F(HostileServiceTest, FramesCutShortByTheServiceAreNoReply) {
  const std::vector<std::pair<std::string, std::string>> replies = {
      {"100 MiB - 1 announced, 64 KiB sent", HostileService::lengthField(104857599) + std::string(65536, 'x')},
      {"10 bytes announced, 3 sent", HostileService::lengthField(10) + "abc"},
  };
  for (const auto& [peer, reply] : replies) {
    start([reply = reply](int socket, const std::atomic<bool>&) {
      HostileService::readRequest(socket);
      sendAll(socket, reply);
    });
    expectEveryRequestSeesNoReply(peer);
    service_.reset();
  }
}

TEST_F(HostileServiceTest, ImageSizesBeyondTheTargetOrTheStreamFailWithoutSuccess) {
  // Image mode never starts writing an image larger than its target.
  for (const int64_t size : {int64_t{0xFFFFFFFF}, int64_t{INT64_MAX}}) {
    start([size](int socket, const std::atomic<bool>& stopping) {
      HostileService::readRequest(socket);
      sendAll(socket, HostileService::int64Field(size) + HostileService::int64Field(0) +
                                          std::string(4096, 'x'));
      HostileService::holdOpen(socket, stopping);
    });
    const fs::path target = dir_.write("target", std::string(1 << 20, '.'));
    int64_t imageSize = 0;
    int64_t targetSize = 0;
    EXPECT_EQ(downloadImage(1, "100", target.string(), false, -1, 0, &imageSize, &targetSize), downloadTargetTooSmall)
        << size;
    EXPECT_EQ(imageSize, size);
    EXPECT_EQ(targetSize, 1 << 20);
    EXPECT_EQ(getFile(target.string()), std::string(1 << 20, '.')) << size;
    service_.reset();
  }

  // A partition-table record announced at 4 GiB - 1 is refused before a byte
  // of it is written.
  start([](int socket, const std::atomic<bool>&) {
    HostileService::readRequest(socket);
    sendAll(socket, HostileService::int64Field(0xFFFFFFFF) + std::string(1000, 'r'));
  });
  const fs::path record = dir_.write("record", "");
  EXPECT_EQ(downloadImage(1, "100", record.string(), true, -1, 0, nullptr, nullptr), downloadRefused);
  EXPECT_EQ(fs::file_size(record), 0u);
  SImage image;
  std::string errmsg;
  CRData data;
  EXPECT_FALSE(DownloadMBR(image, errmsg, data));
  EXPECT_EQ(errmsg, "cannot_read_mbr");
  service_.reset();

  // A block position before the start of the target is a corrupt stream.
  start([](int socket, const std::atomic<bool>& stopping) {
    HostileService::readRequest(socket);
    sendAll(socket, HostileService::int64Field(8192) + HostileService::int64Field(-4096) +
                                        std::string(4096, 'x') + HostileService::int64Field(INT64_MAX));
    HostileService::holdOpen(socket, stopping);
  });
  const fs::path target = dir_.write("target", std::string(8192, '.'));
  EXPECT_EQ(downloadImage(1, "100", target.string(), false, -1, 0, nullptr, nullptr), downloadStreamFailed);
  EXPECT_EQ(getFile(target.string()), std::string(8192, '.'));
}

TEST_F(HostileServiceTest, AServiceThatNeverAnswersIsGivenUpAfterTheReadTimeOut) {
  start([](int socket, const std::atomic<bool>& stopping) {
    HostileService::readRequest(socket);
    HostileService::holdOpen(socket, stopping);
  });
  const auto started = Clock::now();
  int err = -1;
  EXPECT_TRUE(getBackupclients(&err).empty());
  const auto waited = Clock::now() - started;
  EXPECT_EQ(err, 1);
  EXPECT_GE(waited, 29s);
  EXPECT_LT(waited, 45s);
}

// Replies of several megabytes with hundreds of thousands of lines, far more
// than any real store holds: read whole, in order, without taking minutes.
TEST_F(HostileServiceTest, ListingsOfHundredsOfThousandsOfLinesAreReadWhole) {
  constexpr int lines = 400000;
  std::string clientReply = "1";
  std::string imageReply = "1";
  for (int i = 0; i < lines; ++i) {
    clientReply += "|c" + std::to_string(i) + "\n";
    if (i % 1000 == 0) clientReply += "| c0 \n";
    imageReply += std::to_string(i) + "|" + std::to_string(1000 + i) + "|2017-07-14 02:40|C\n";
  }
  start([clientReply, imageReply](int socket, const std::atomic<bool>&) {
    const std::string request = HostileService::readRequest(socket);
    sendAll(socket,
                            HostileService::frame(request.starts_with("GET BACKUPCLIENTS") ? clientReply : imageReply));
  });
  int err = -1;
  const std::vector<std::string> clients = getBackupclients(&err);
  EXPECT_EQ(err, 0);
  ASSERT_EQ(clients.size(), static_cast<size_t>(lines));
  EXPECT_EQ(clients.front(), "c0");
  EXPECT_EQ(clients[1], "c1");
  EXPECT_EQ(clients.back(), "c" + std::to_string(lines - 1));

  err = -1;
  const std::vector<SImage> images = getBackupimages("pc", &err);
  EXPECT_EQ(err, 0);
  ASSERT_EQ(images.size(), static_cast<size_t>(lines));
  EXPECT_EQ(images.back().image_id, lines - 1);
  EXPECT_EQ(images.back().backup_time, 1000 + lines - 1);
}

}  // namespace
