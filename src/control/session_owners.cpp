#include "control/session_owners.h"

#include <algorithm>

#include "control/session_peer.h"

namespace {

// Replies are queued only for the newest sessions; older entries only grow.
constexpr std::size_t kGenerationsKept = 16;

bool same(const std::weak_ptr<WsConnection>& owner, const WsConnectionPtr& connection) {
  return !owner.owner_before(connection) && !connection.owner_before(owner);
}

}  // namespace

SessionOwners sessionOwners;

void SessionOwners::record(unsigned generation, const WsConnectionPtr& connection) {
  // The session's wrong passwords count against its owner's address.
  recordSessionPeer(generation, connection->peerAddress());
  const std::lock_guard lock(mutex_);
  owners_[generation] = connection;
  while (owners_.size() > kGenerationsKept) {
    owners_.erase(owners_.begin());
  }
}

bool SessionOwners::hasOwner(unsigned generation) const {
  const std::lock_guard lock(mutex_);
  return owners_.count(generation) != 0;
}

bool SessionOwners::isOwner(unsigned generation, const WsConnectionPtr& connection) const {
  const std::lock_guard lock(mutex_);
  const auto found = owners_.find(generation);
  return found != owners_.end() && same(found->second, connection);
}

WsConnectionPtr SessionOwners::openOwner(unsigned generation, const std::vector<WsConnectionPtr>& open) const {
  const std::lock_guard lock(mutex_);
  const auto found = owners_.find(generation);
  if (found == owners_.end()) {
    return nullptr;
  }
  const auto match = std::find_if(open.begin(), open.end(),
                                  [&](const WsConnectionPtr& connection) { return same(found->second, connection); });
  return match == open.end() ? nullptr : *match;
}

void SessionOwners::clear() {
  const std::lock_guard lock(mutex_);
  owners_.clear();
}
