// Whole reads and writes: short transfers are continued, the failure after
// them is reported with its errno, and a re-opened descriptor reaches the
// file itself rather than its name.
#include "support/io.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "common/file_size_limit.h"
#include "common/temp_dir.h"
#include "support/system_error.h"
#include "support/text.h"

namespace {

TEST(WholeWrites, AShortWriteIsContinuedAndTheFailureAfterItCarriesErrno) {
  TempDir dir;
  const std::string path = dir.write("limited", "").string();
  const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  ASSERT_GE(fd.get(), 0);
  const std::string data(10000, 'w');
  bool positioned = true;
  bool appended = true;
  int positionedErrno = 0;
  {
    FileSizeLimit limit(8192);
    positioned = pwriteFull(fd.get(), data.data(), data.size(), 100);
    positionedErrno = errno;
    appended = writeFull(fd.get(), data.data(), data.size());
  }
  EXPECT_FALSE(positioned);
  EXPECT_EQ(positionedErrno, EFBIG);
  EXPECT_EQ(systemError("writing " + path, positionedErrno), "writing " + path + ": File too large");
  EXPECT_FALSE(appended);
  const std::string written = getFile(path);
  ASSERT_EQ(written.size(), 8192u);
  EXPECT_TRUE(written.substr(100) == data.substr(0, 8092)) << "what fitted was written";
}

TEST(WholeWrites, ManyPiecesLandInOrder) {
  TempDir dir;
  const std::string path = dir.write("pieces", "").string();
  const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  std::vector<std::string> pieces;
  std::vector<iovec> vector;
  std::string expected;
  for (int i = 0; i < 3000; ++i) {  // more than one call takes
    pieces.push_back(std::string(1 + i % 7, static_cast<char>('a' + i % 26)));
  }
  for (std::string& piece : pieces) {
    vector.push_back({piece.data(), piece.size()});
    expected += piece;
  }
  ASSERT_TRUE(pwritevFull(fd.get(), vector.data(), vector.size(), 5));
  EXPECT_EQ(getFile(path), std::string(5, '\0') + expected);
}

TEST(WholeReads, PiecesFromAPipeAreReadWholeAndTheEndIsAShortCount) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  UniqueFd reader(ends[0]);
  UniqueFd writer(ends[1]);
  std::thread feeder([&writer] {
    for (int i = 0; i < 10; ++i) {
      EXPECT_TRUE(writeFull(writer.get(), "0123456789", 10));
    }
    writer.reset();
  });
  char buffer[150];
  EXPECT_EQ(readFull(reader.get(), buffer, 60), 60);
  EXPECT_EQ(readFull(reader.get(), buffer, 150), 40);
  feeder.join();
}

TEST(WholeWrites, APeerThatWentAwayIsAnErrorNotASignal) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  UniqueFd mine(ends[0]);
  UniqueFd(ends[1]).reset();
  EXPECT_FALSE(sendFull(mine.get(), "x", 1));
  EXPECT_EQ(errno, EPIPE);
}

// The backup service's download path: more than one socket buffer goes out
// whole, and a store file shorter than its meta says is a failure, not a
// stream that quietly ends early.
TEST(WholeWrites, AFileGoesOutWholeAndAShortFileIsAnError) {
  TempDir dir;
  std::string content(3 * 1024 * 1024, '\0');
  for (size_t i = 0; i < content.size(); ++i) {
    content[i] = static_cast<char>(i * 7 / 5);
  }
  const std::string path = dir.write("blocks", content).string();
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  UniqueFd mine(ends[0]);
  UniqueFd peer(ends[1]);
  std::string received(content.size() - 100, '\0');
  std::thread reader([&] { EXPECT_EQ(readFull(peer.get(), received.data(), received.size()), ssize_t(received.size())); });
  const bool sent = sendFileFull(mine.get(), file.get(), 100, content.size() - 100);
  reader.join();
  EXPECT_TRUE(sent);
  EXPECT_TRUE(received == content.substr(100));
  std::thread drain([&] {
    char sink[65536];
    while (::read(peer.get(), sink, sizeof sink) > 0) {
    }
  });
  EXPECT_FALSE(sendFileFull(mine.get(), file.get(), 1000, content.size()));
  EXPECT_EQ(errno, EIO);
  mine.reset();
  drain.join();
}

TEST(Reopen, TheNewDescriptorReachesTheFileNotItsName) {
  TempDir dir;
  const std::string path = dir.write("first", "first").string();
  const UniqueFd first(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(::unlink(path.c_str()), 0);
  dir.write("first", "a newcomer under the old name");
  const UniqueFd again = reopenDescriptor(first.get(), O_RDONLY);
  ASSERT_GE(again.get(), 0);
  char buffer[16];
  EXPECT_EQ(readFull(again.get(), buffer, sizeof buffer), 5);
  EXPECT_EQ(std::string(buffer, 5), "first");
  EXPECT_EQ(::fcntl(again.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
}

TEST(AlignedBuffers, MemoryIsOnTheBoundaryDirectIoNeeds) {
  const AlignedBuffer buffer(10000);
  ASSERT_TRUE(buffer);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer.data()) % directIoAlignment, 0u);
  EXPECT_EQ(buffer.size(), 10000u);
}

}  // namespace
