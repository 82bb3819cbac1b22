#include "protocol/stream_pipe.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "common/loopback.h"
#include "protocol/server_connection.h"

namespace {

class RecordingThrottler : public IPipeThrottler {
public:
  explicit RecordingThrottler(bool answer) : answer_(answer) {}
  bool throttle(size_t newBytes, bool wait) override {
    calls.push_back({newBytes, wait});
    return answer_;
  }
  std::vector<std::pair<size_t, bool>> calls;

private:
  bool answer_;
};

// A CStreamPipe on one end of a connected pair; the test drives the other end.
class StreamPipeTest : public ::testing::Test {
protected:
  void SetUp() override {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    ::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    pipe_ = new CStreamPipe(ends[0]);
    peer_ = ends[1];
  }
  void TearDown() override {
    if (pipe_ != nullptr) pipe_->Remove();
    if (peer_ >= 0) ::close(peer_);
  }
  void closePeer() {
    ::close(peer_);
    peer_ = -1;
  }

  CStreamPipe* pipe_ = nullptr;
  int peer_ = -1;
};

TEST_F(StreamPipeTest, ReadTimeOutIsNotAnError) {
  char buffer[16];
  EXPECT_EQ(pipe_->Read(buffer, sizeof buffer, 20), 0u);
  EXPECT_FALSE(pipe_->hasError());
  EXPECT_FALSE(pipe_->isReadable(10));
}

TEST_F(StreamPipeTest, ReadCountsBytesAndRunsIncomingThrottlers) {
  RecordingThrottler incoming(true);
  RecordingThrottler outgoing(true);
  pipe_->addIncomingThrottler(&incoming);
  pipe_->addOutgoingThrottler(&outgoing);
  pipe_->addIncomingThrottler(nullptr);
  ASSERT_EQ(::write(peer_, "abcdef", 6), 6);
  std::string text = "untouched";
  EXPECT_EQ(pipe_->Read(&text, 1000), 6u);
  EXPECT_EQ(text, "abcdef");
  EXPECT_EQ(pipe_->getTransferedBytes(), 6);
  ASSERT_EQ(incoming.calls.size(), 1u);
  EXPECT_EQ(incoming.calls[0], std::make_pair(size_t{6}, true));
  EXPECT_TRUE(outgoing.calls.empty());

  EXPECT_EQ(pipe_->Read(&text, 10), 0u);
  EXPECT_EQ(text, "abcdef");  // left alone when nothing came
  pipe_->resetTransferedBytes();
  EXPECT_EQ(pipe_->getTransferedBytes(), 0);
}

TEST_F(StreamPipeTest, ThrottlerSayingStopMakesPipeNotReady) {
  RecordingThrottler stop(false);
  pipe_->addThrottler(&stop);
  ASSERT_EQ(::write(peer_, "x", 1), 1);
  EXPECT_FALSE(pipe_->isReadable(100));
  EXPECT_FALSE(pipe_->isWritable(100));
  ASSERT_EQ(stop.calls.size(), 2u);
  EXPECT_EQ(stop.calls[0], std::make_pair(size_t{0}, false));
}

TEST_F(StreamPipeTest, ClosedPeerIsAnErrorEvenWithStaleErrno) {
  closePeer();
  char buffer[16];
  errno = EAGAIN;  // recv() returning 0 does not touch errno
  EXPECT_EQ(pipe_->Read(buffer, sizeof buffer, 1000), 0u);
  EXPECT_TRUE(pipe_->hasError());
}

TEST_F(StreamPipeTest, WriteToClosedPeerFailsWithoutSignal) {
  closePeer();
  const std::string data(1000, 'z');
  EXPECT_FALSE(pipe_->Write(data, 1000, true));
  EXPECT_TRUE(pipe_->hasError());
}

TEST_F(StreamPipeTest, LargeWriteIsCompletedAcrossPartialSends) {
  // Far more than a socket buffer holds: the pipe must keep sending what the
  // non-blocking socket did not take at once.
  std::string data(8 * 1024 * 1024, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
  std::string received;
  std::thread reader([&] {
    char buffer[65536];
    while (received.size() < data.size()) {
      const ssize_t n = ::read(peer_, buffer, sizeof buffer);
      if (n <= 0) break;
      received.append(buffer, static_cast<size_t>(n));
    }
  });
  EXPECT_TRUE(pipe_->Write(data, 1000, true));
  reader.join();
  EXPECT_EQ(received, data);
  EXPECT_EQ(pipe_->getTransferedBytes(), static_cast<int64_t>(data.size()));
}

TEST(ConnectStreamTest, ConnectsToListenerAndFailsWithoutOne) {
  const int listener = listenOnLoopback(0, 4);
  ASSERT_GE(listener, 0);
  const unsigned short port = boundPort(listener);
  ASSERT_NE(port, 0);

  PipePtr pipe(Server::ConnectStream("127.0.0.1", port, 2000));
  ASSERT_NE(pipe, nullptr);
  const int accepted = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(accepted, 0);
  ASSERT_EQ(::write(accepted, "hi", 2), 2);
  char buffer[4];
  EXPECT_EQ(pipe->Read(buffer, sizeof buffer, 2000), 2u);
  ::close(accepted);
  ::close(listener);  // the port is free again: nobody listens

  EXPECT_EQ(Server::ConnectStream("127.0.0.1", port, 2000), nullptr);
  EXPECT_EQ(Server::ConnectStream("no-such-host.invalid", port, 2000), nullptr);
}

TEST(LookupTest, DottedAddressAndLocalhostResolve) {
  in_addr address{};
  ASSERT_TRUE(LookupBlocking("10.1.2.3", &address));
  EXPECT_EQ(ntohl(address.s_addr), 0x0A010203u);
  ASSERT_TRUE(LookupBlocking("localhost", &address));
  EXPECT_EQ(ntohl(address.s_addr) >> 24, 127u);
  EXPECT_FALSE(LookupBlocking("no-such-host.invalid", &address));
  std::string name;
  EXPECT_FALSE(LookupHostname("not an address", name));
}

}  // namespace
