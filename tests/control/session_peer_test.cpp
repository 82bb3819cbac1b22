// A session's wrong passwords count against the address of the connection
// that sent its "init", and against no other.
#include "control/session_peer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "control/session_generation.h"
#include "control/session_owners.h"

namespace {

class PeerConnection : public WsConnection {
public:
  explicit PeerConnection(std::string address) : address_(std::move(address)) {}
  std::string identity() const override { return address_; }
  std::string peerAddress() const override { return address_; }
  void send(std::string, SendDone) override {}

private:
  std::string address_;
};

TEST(SessionPeer, EachSessionKnowsTheAddressOfTheConnectionThatStartedIt) {
  SessionOwners owners;
  const unsigned first = openNextSessionGeneration();
  owners.record(first, std::make_shared<PeerConnection>("192.0.2.1"));
  const unsigned second = openNextSessionGeneration();
  owners.record(second, std::make_shared<PeerConnection>("2001:db8::2"));

  std::string seenByFirst;
  std::string seenByNone;
  std::thread([&] {
    adoptSessionGeneration(first);
    seenByFirst = sessionPeerAddress();
  }).join();
  std::thread([&] { seenByNone = sessionPeerAddress(); }).join();
  adoptSessionGeneration(second);
  EXPECT_EQ(sessionPeerAddress(), "2001:db8::2");
  adoptSessionGeneration(0);
  EXPECT_EQ(seenByFirst, "192.0.2.1") << "a replaced session still counts against its own peer";
  EXPECT_EQ(seenByNone, "") << "a thread that is no session has no peer";
}

}  // namespace
