#pragma once
// Which connection sent the "init" of each session generation. Replies of a
// session go to that connection, and only it may drive the session; its
// address is noted for the session too (session_peer), so that the session's
// wrong passwords count against it.
#include <map>
#include <mutex>

#include "control/endpoint.h"

class SessionOwners {
public:
  void record(unsigned generation, const WsConnectionPtr& connection);
  // Whether an owner was recorded for `generation` (it may have gone since).
  bool hasOwner(unsigned generation) const;
  bool isOwner(unsigned generation, const WsConnectionPtr& connection) const;
  // The owner of `generation` while it is among `open`; null otherwise.
  WsConnectionPtr openOwner(unsigned generation, const std::vector<WsConnectionPtr>& open) const;
  void clear();

private:
  mutable std::mutex mutex_;
  // Keyed by generation; weak, so that a connection that has gone is freed
  // and still known as the owner that it was.
  std::map<unsigned, std::weak_ptr<WsConnection>> owners_;
};

extern SessionOwners sessionOwners;
