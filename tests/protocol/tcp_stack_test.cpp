#include "protocol/tcp_stack.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/md5.h"
#include "protocol/scripted_pipe.h"

namespace {

std::string frame(const std::string& payload) {
  std::string out(4, '\0');
  const auto n = static_cast<uint32_t>(payload.size());
  for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<char>((n >> (8 * i)) & 0xFF);
  return out + payload;
}

std::string lengthField(uint32_t n) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<char>((n >> (8 * i)) & 0xFF);
  return out;
}

TEST(TcpStackSendTest, SmallPayloadIsOnePieceWithLengthPrefix) {
  ScriptedPipe pipe;
  CTCPStack stack(false, CTCPStack::defaultMaxPacketSize);
  EXPECT_EQ(stack.Send(&pipe, std::string("hello"), 1234, true), 5u);
  ASSERT_EQ(pipe.writes.size(), 1u);
  EXPECT_EQ(pipe.writes[0].bytes, std::string("\x05\x00\x00\x00hello", 9));
  EXPECT_EQ(pipe.writes[0].timeoutms, 1234);
  EXPECT_TRUE(pipe.writes[0].flush);
}

TEST(TcpStackSendTest, LargePayloadGoesOutIn4096BytePiecesOnlyFirstTimed) {
  ScriptedPipe pipe;
  CTCPStack stack(false, CTCPStack::defaultMaxPacketSize);
  std::string payload(10000, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  EXPECT_EQ(stack.Send(&pipe, payload, 500, false), 10000u);
  ASSERT_EQ(pipe.writes.size(), 3u);
  EXPECT_EQ(pipe.writes[0].bytes.size(), 4096u);
  EXPECT_EQ(pipe.writes[1].bytes.size(), 4096u);
  EXPECT_EQ(pipe.writes[2].bytes.size(), 1812u);
  EXPECT_EQ(pipe.writes[0].timeoutms, 500);
  EXPECT_EQ(pipe.writes[1].timeoutms, -1);
  EXPECT_EQ(pipe.writes[2].timeoutms, -1);
  EXPECT_FALSE(pipe.writes[2].flush);
  EXPECT_EQ(pipe.written(), frame(payload));
}

TEST(TcpStackSendTest, FailedPieceAndOversizePayloadReturnZero) {
  ScriptedPipe pipe;
  pipe.failAfterWrites = 1;
  CTCPStack stack(false, CTCPStack::defaultMaxPacketSize);
  EXPECT_EQ(stack.Send(&pipe, std::string(5000, 'a'), 100, true), 0u);
  EXPECT_EQ(pipe.writes.size(), 1u);  // the piece before the failure stays sent

  ScriptedPipe untouched;
  CTCPStack small(false, 8);
  EXPECT_EQ(small.Send(&untouched, std::string(9, 'a'), 100, true), 0u);
  EXPECT_TRUE(untouched.writes.empty());
  EXPECT_EQ(small.Send(&untouched, std::string(8, 'a'), 100, true), 8u);
}

TEST(TcpStackSendTest, ChecksumCoversLengthAndPayload) {
  ScriptedPipe pipe;
  CTCPStack stack(true, CTCPStack::defaultMaxPacketSize);
  CWData data;
  data.addString("abc");
  ASSERT_EQ(stack.Send(&pipe, data, 100, true), 7u);
  const std::string wire = pipe.written();
  ASSERT_EQ(wire.size(), 20u + 7u);
  const std::string covered = wire.substr(16);
  EXPECT_EQ(covered.substr(0, 4), lengthField(7));
  EXPECT_EQ(wire.substr(0, 16), md5Raw(covered));

  CTCPStack receiver(true, CTCPStack::defaultMaxPacketSize);
  receiver.AddData(wire);
  std::string payload;
  ASSERT_TRUE(receiver.getPacket(payload));
  EXPECT_EQ(payload, std::string("\x03\x00\x00\x00" "abc", 7));
}

TEST(TcpStackReceiveTest, SplitFrameIsDeliveredOnceComplete) {
  CTCPStack stack(false, CTCPStack::defaultMaxPacketSize);
  stack.AddData(std::string("\x05\x00\x00\x00hel", 7));
  std::string payload;
  EXPECT_FALSE(stack.getPacket(payload));
  EXPECT_EQ(stack.getBuffersize(), 7u);
  stack.AddData(std::string("lo"));
  ASSERT_TRUE(stack.getPacket(payload));
  EXPECT_EQ(payload, "hello");
  EXPECT_EQ(stack.getBuffersize(), 0u);
  EXPECT_EQ(stack.getBuffer(), nullptr);
}

TEST(TcpStackReceiveTest, HeaderSplitAcrossReadsAndTwoFramesInOne) {
  CTCPStack stack(false, CTCPStack::defaultMaxPacketSize);
  const std::string both = frame("first") + frame("") + frame("third");
  stack.AddData(both.substr(0, 2));
  std::string payload;
  EXPECT_FALSE(stack.getPacket(payload));
  stack.AddData(both.substr(2));
  ASSERT_TRUE(stack.getPacket(payload));
  EXPECT_EQ(payload, "first");
  ASSERT_TRUE(stack.getPacket(payload));
  EXPECT_EQ(payload, "");
  size_t size = 0;
  std::unique_ptr<char[]> raw(stack.getPacket(&size));
  ASSERT_NE(raw, nullptr);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(std::string(raw.get()), "third");  // zero-terminated
  EXPECT_EQ(stack.getPacket(&size), nullptr);
}

TEST(TcpStackReceiveTest, FrameAtTheLimitIsNeverDeliveredNorConsumed) {
  CTCPStack stack(false, 16);
  stack.AddData(lengthField(16) + std::string(16, 'x'));
  std::string payload;
  EXPECT_FALSE(stack.getPacket(payload));
  EXPECT_TRUE(stack.hasOversizePacket());
  EXPECT_EQ(stack.getBuffersize(), 20u);

  CTCPStack justBelow(false, 16);
  justBelow.AddData(lengthField(15) + std::string(15, 'y'));
  EXPECT_FALSE(justBelow.hasOversizePacket());
  ASSERT_TRUE(justBelow.getPacket(payload));
  EXPECT_EQ(payload, std::string(15, 'y'));

  CTCPStack full(false, CTCPStack::defaultMaxPacketSize);
  full.AddData(lengthField(104857600));
  EXPECT_TRUE(full.hasOversizePacket());
}

TEST(TcpStackReceiveTest, CorruptChecksumDropsOnlyThatFrame) {
  ScriptedPipe pipe;
  CTCPStack sender(true, CTCPStack::defaultMaxPacketSize);
  sender.Send(&pipe, std::string("bad"), 100, true);
  sender.Send(&pipe, std::string("good"), 100, true);
  std::string wire = pipe.written();
  wire[20] ^= 0x01;  // first payload byte of the first frame

  CTCPStack receiver(true, CTCPStack::defaultMaxPacketSize);
  receiver.AddData(wire);
  std::string payload;
  EXPECT_FALSE(receiver.getPacket(payload));
  ASSERT_TRUE(receiver.getPacket(payload));
  EXPECT_EQ(payload, "good");
}

TEST(TcpStackReceiveTest, ResetDropsBufferedBytes) {
  CTCPStack stack;
  stack.AddData(std::string("\x05\x00", 2));
  stack.AddData(std::string());
  EXPECT_EQ(stack.getBuffersize(), 2u);
  stack.reset();
  EXPECT_EQ(stack.getBuffersize(), 0u);
}

TEST(GetResponseTest, ReturnsFirstFrameAndIgnoresTheRest) {
  ScriptedPipe pipe;
  const std::string wire = frame("reply") + frame("later");
  pipe.chunks = {wire.substr(0, 3), wire.substr(3, 4), wire.substr(7)};
  EXPECT_EQ(getResponse(&pipe), "reply");
}

TEST(GetResponseTest, EmptyPayloadNoAnswerAndOversizeAllGiveEmpty) {
  ScriptedPipe zero;
  zero.chunks = {frame("")};
  EXPECT_EQ(getResponse(&zero), "");

  ScriptedPipe closed;
  closed.chunks = {std::string("\x09\x00\x00\x00par", 7)};
  EXPECT_EQ(getResponse(&closed), "");

  // The oversized frame is recognised without waiting for more reads.
  ScriptedPipe oversize;
  oversize.chunks = {lengthField(104857600) + "abc", frame("never read")};
  EXPECT_EQ(getResponse(&oversize), "");
  EXPECT_EQ(oversize.readCalls, 1);
}

TEST(GetResponseTest, ReadsInPiecesOf1024Bytes) {
  ScriptedPipe pipe;
  const std::string payload(5000, 'p');
  pipe.chunks = {frame(payload)};
  EXPECT_EQ(getResponse(&pipe), payload);
  EXPECT_EQ(pipe.readCalls, 5);  // 5004 bytes in 1024-byte reads
}

// A service that trickles its reply: one byte per read, each after a pause,
// never completing the frame.
class TricklingPipe : public ScriptedPipe {
public:
  using ScriptedPipe::Read;
  std::vector<int> timeouts;
  size_t Read(char* buffer, size_t bsize, int timeoutms) override {
    timeouts.push_back(timeoutms);
    if (bsize == 0) {
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    buffer[0] = sent_++ < 4 ? "\xff\xff\x00\x00"[sent_ - 1] : 'x';
    return 1;
  }

private:
  int sent_ = 0;
};

TEST(GetResponseTest, ATricklingReplyEndsAtTheRequestDeadline) {
  TricklingPipe pipe;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(getResponse(&pipe, std::chrono::milliseconds(300)), "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  ASSERT_FALSE(pipe.timeouts.empty());
  // Every read waits at most the per-read time-out and at most what is left.
  for (int timeout : pipe.timeouts) {
    EXPECT_GT(timeout, 0);
    EXPECT_LE(timeout, 300);
  }
}

}  // namespace
