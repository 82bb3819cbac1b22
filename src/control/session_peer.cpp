#include "control/session_peer.h"

#include <map>
#include <mutex>

#include "control/session_generation.h"

namespace {

// Only the newest sessions still ask; older entries only grow.
constexpr std::size_t kGenerationsKept = 16;

std::mutex peersMutex;
std::map<unsigned, std::string> peers;

}  // namespace

void recordSessionPeer(unsigned generation, const std::string& address) {
  const std::lock_guard lock(peersMutex);
  peers[generation] = address;
  while (peers.size() > kGenerationsKept) {
    peers.erase(peers.begin());
  }
}

std::string sessionPeerAddress() {
  const unsigned generation = sessionGeneration();
  const std::lock_guard lock(peersMutex);
  const auto found = peers.find(generation);
  return found == peers.end() ? std::string() : found->second;
}
