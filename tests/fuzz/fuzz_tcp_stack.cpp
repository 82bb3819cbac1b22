// Feeds arbitrary bytes, cut into arbitrary pieces, to the packet receiver,
// with and without checksums. Checks that the buffer only ever shrinks by whole
// frames and that a frame sent by CTCPStack comes back unchanged however it
// is cut.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "protocol/tcp_stack.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

class CollectingPipe : public IPipe {
public:
  std::string bytes;
  size_t Read(char*, size_t, int) override { return 0; }
  bool Write(const char* buffer, size_t bsize, int, bool) override {
    bytes.append(buffer, bsize);
    return true;
  }
  size_t Read(std::string*, int) override { return 0; }
  bool Write(const std::string& str, int, bool) override { return Write(str.data(), str.size(), -1, true); }
  bool Flush(int) override { return true; }
  bool isWritable(int) override { return true; }
  bool isReadable(int) override { return false; }
  bool hasError() override { return false; }
  void shutdown() override {}
  size_t getNumElements() override { return 0; }
  void addThrottler(IPipeThrottler*) override {}
  void addOutgoingThrottler(IPipeThrottler*) override {}
  void addIncomingThrottler(IPipeThrottler*) override {}
  int64_t getTransferedBytes() override { return 0; }
  void resetTransferedBytes() override {}
};

// Piece lengths come from the input itself so that the fuzzer steers the cuts.
void feedInPieces(CTCPStack& stack, const std::string& wire, const uint8_t* cuts, size_t cutCount,
                  std::string* delivered) {
  size_t at = 0;
  size_t cut = 0;
  while (at < wire.size()) {
    const size_t piece = cutCount == 0 ? wire.size() : 1 + cuts[cut++ % cutCount] % 64;
    const size_t take = piece < wire.size() - at ? piece : wire.size() - at;
    const size_t bufferedBefore = stack.getBuffersize();
    stack.AddData(wire.data() + at, take);
    check(stack.getBuffersize() == bufferedBefore + take);
    at += take;
    std::string payload;
    while (stack.getPacket(payload)) {
      if (delivered != nullptr) *delivered += payload;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool checksum = (data[0] & 1) != 0;
  const size_t maxPacket = 1 + data[1] * 64u;
  const std::string input(reinterpret_cast<const char*>(data + 2), size - 2);

  // Arbitrary bytes as received data.
  CTCPStack receiver(checksum, maxPacket);
  feedInPieces(receiver, input, data, size, nullptr);
  size_t packetSize = 0;
  std::unique_ptr<char[]> packet(receiver.getPacket(&packetSize));
  if (packet) check(packet[packetSize] == '\0' && packetSize < maxPacket);

  // A frame we sent comes back whole, however it is cut.
  if (input.size() < maxPacket) {
    CollectingPipe pipe;
    CTCPStack sender(checksum, maxPacket);
    check(sender.Send(&pipe, input, 0, true) == input.size());
    CTCPStack back(checksum, maxPacket);
    std::string delivered;
    feedInPieces(back, pipe.bytes, data, size, &delivered);
    check(delivered == input);
    check(back.getBuffersize() == 0);
  }
  return 0;
}
