#include "external_restore/image_writer.h"

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include "control/queues.h"
#include "control/shared_state.h"
#include "server_restore/progress.h"
#include "support/pause.h"

namespace {

using namespace std::chrono_literals;

// Feeds DownloadImageFromExtDrive a command that prints fixed lines, with the
// pauses recorded instead of slept.
class ImageWriter : public ::testing::Test {
protected:
  void SetUp() override {
    resp_queue.clear();
    restorePointToProgress.clear();
    cancelrestore = false;
    previous_ = setPauseFunction([this](std::chrono::milliseconds duration) {
      pauses_.push_back(duration);
      pipeOpenDuringPause_ = pipeOpenDuringPause_ && in.load() != nullptr;
      if (cancelOnPause_) {
        cancelrestore = true;
      }
    });
  }

  void TearDown() override {
    setPauseFunction(previous_);
    cancelrestore = false;
    resp_queue.clear();
    restorePointToProgress.clear();
  }

  // The command that prints `text` exactly (printf with the text as its
  // argument, so "%" needs no escaping).
  static std::string printing(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
      quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return "printf '%s' " + quoted + "'";
  }

  // The value of "C" in every progress message sent, in order.
  std::vector<std::string> sentValues() {
    std::vector<std::string> values;
    while (auto text = resp_queue.takeFor(0ms)) {
      Json::Value message;
      Json::Reader reader;
      EXPECT_TRUE(reader.parse(*text, message));
      EXPECT_EQ(message["op"].asString(), "-p");
      values.push_back(message["progress"]["C"].asString());
    }
    return values;
  }

  std::string stored() { return restorePointToProgress.snapshot()["C"]; }

  PauseFunction previous_;
  std::vector<std::chrono::milliseconds> pauses_;
  bool pipeOpenDuringPause_ = true;
  bool cancelOnPause_ = false;
};

TEST_F(ImageWriter, PercentagesThenSuccess) {
  EXPECT_EQ(DownloadImageFromExtDrive(printing("Writing image 5%\nstill at 37%\nImage restored successfully\n"), "C"), 1);
  EXPECT_EQ(sentValues(), (std::vector<std::string>{"5%", "37%", "SUCCESS"}));
  EXPECT_EQ(stored(), "SUCCESS");
  // One 100 ms pause after each line sent, and the pipe is published meanwhile.
  EXPECT_EQ(pauses_, std::vector<std::chrono::milliseconds>(3, 100ms));
  EXPECT_TRUE(pipeOpenDuringPause_);
  EXPECT_EQ(in.load(), nullptr);
}

TEST_F(ImageWriter, ALineHoldingErrorEndsTheImageWhateverTheToolsWording) {
  for (const std::string failure : {"Write error on device", "copied with 0 errors", "ioerror 40%", "error: EIO"}) {
    restorePointToProgress.clear();
    EXPECT_EQ(DownloadImageFromExtDrive(printing("12%\n" + failure + "\n55%\nImage restored successfully\n"), "C"), 0)
        << failure;
    EXPECT_EQ(sentValues(), (std::vector<std::string>{"12%", "ERROR"})) << failure;
    EXPECT_EQ(stored(), "ERROR");
    EXPECT_EQ(in.load(), nullptr);
  }
}

TEST_F(ImageWriter, SuccessNeedsTheSuccessLineAndAClearExit) {
  const struct {
    std::string command;
    int result;
    std::string value;
  } cases[] = {
      {printing("Writing 50%\nImage restored successfully\n"), 1, "SUCCESS"},
      {printing("Image restored successfully\n") + "; exit 1", 0, "ERROR"},
      {printing("Image restored successfully\n") + "; kill -9 $$", 0, "ERROR"},
      {"kill -9 $$", 0, "ERROR"},
      {"exit 1", 0, "ERROR"},
      {"./no-such-restore-tool-here 2>/dev/null", 0, "ERROR"},
  };
  for (const auto& c : cases) {
    restorePointToProgress.clear();
    EXPECT_EQ(DownloadImageFromExtDrive(c.command, "C"), c.result) << c.command;
    EXPECT_EQ(stored(), c.value) << c.command;
    sentValues();
  }
}

TEST_F(ImageWriter, CapitalErrorIsJustALine) {
  EXPECT_EQ(DownloadImageFromExtDrive(printing("ERROR\n40%\ndone successfully\n"), "C"), 1);
  EXPECT_EQ(sentValues(), (std::vector<std::string>{"", "40%", "SUCCESS"}));
}

TEST_F(ImageWriter, OutputEndingWithoutSuccessIsAFailure) {
  EXPECT_EQ(DownloadImageFromExtDrive(printing("37%\n"), "C"), 0);
  EXPECT_EQ(sentValues(), (std::vector<std::string>{"37%", "ERROR"}));

  EXPECT_EQ(DownloadImageFromExtDrive("true", "C"), 0);
  EXPECT_EQ(sentValues(), std::vector<std::string>{"ERROR"});

  // A later line takes the success back.
  EXPECT_EQ(DownloadImageFromExtDrive(printing("successfully\nflushing\n"), "C"), 0);
  EXPECT_EQ(sentValues(), (std::vector<std::string>{"SUCCESS", "", "ERROR"}));
}

TEST_F(ImageWriter, PercentageIsTheLastWordOfTheLine) {
  EXPECT_EQ(DownloadImageFromExtDrive(printing("no_blank_99%\n  x 1 2 3%\nsuccessfully"), "C"), 1);
  EXPECT_EQ(sentValues(), (std::vector<std::string>{"no_blank_99%", "3%", "SUCCESS"}));
}

TEST_F(ImageWriter, LongLinesArriveInPieces) {
  const std::string longLine = std::string(600, 'x') + " 64%\n";
  EXPECT_EQ(DownloadImageFromExtDrive(printing(longLine + "successfully\n"), "C"), 1);
  // 511 characters without "%", then the rest of the line.
  EXPECT_EQ(sentValues(), (std::vector<std::string>{"", "64%", "SUCCESS"}));
}

TEST_F(ImageWriter, CancelEndsReadingWithoutSendingTheLineJustRead) {
  cancelOnPause_ = true;
  EXPECT_EQ(DownloadImageFromExtDrive(printing("10%\n20%\n30%\nsuccessfully\n"), "C"), 1);
  EXPECT_EQ(sentValues(), std::vector<std::string>{"10%"});
  EXPECT_EQ(stored(), "20%");
  EXPECT_EQ(in.load(), nullptr);
}

TEST_F(ImageWriter, ACancelStopsASilentToolAtOnce) {
  // The cancel arrives while the tool prints nothing more (a long flush).
  cancelOnPause_ = true;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(DownloadImageFromExtDrive(printing("10%\n") + "; exec sleep 600", "C"), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(sentValues(), std::vector<std::string>{"10%"});
  EXPECT_EQ(stored(), "10%");
  EXPECT_EQ(in.load(), nullptr);
}

TEST_F(ImageWriter, OnlyItsOwnKeyChanges) {
  restorePointToProgress.set("SYSVOL", "SUCCESS");
  restorePointToProgress.set("D", "");
  EXPECT_EQ(DownloadImageFromExtDrive(printing("successfully\n"), "C"), 1);
  const auto table = restorePointToProgress.snapshot();
  EXPECT_EQ(table.at("SYSVOL"), "SUCCESS");
  EXPECT_EQ(table.at("D"), "");
  EXPECT_EQ(table.at("C"), "SUCCESS");
}

}  // namespace
