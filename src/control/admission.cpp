#include "control/admission.h"

#include "control/access_policy.h"

std::shared_ptr<Admission> Admission::create(Limits limits, FailureThrottle& failures) {
  return std::shared_ptr<Admission>(new Admission(limits, failures));
}

void Admission::Slot::release() {
  // Taken out first: when this was the last holder, the Admission (and its
  // mutex) must outlive the lock below.
  const std::shared_ptr<Admission> owner = std::move(owner_);
  if (!owner) {
    return;
  }
  const std::lock_guard lock(owner->mutex_);
  if (upgrade_) {
    --owner->upgrading_;
  } else {
    --owner->pending_;
    const auto found = owner->pendingByAddress_.find(address_);
    if (found != owner->pendingByAddress_.end() && --found->second == 0) {
      owner->pendingByAddress_.erase(found);
    }
  }
}

std::optional<Admission::Slot> Admission::admitPending(const std::string& address) {
  const std::lock_guard lock(mutex_);
  if (pending_ >= limits_.pending) {
    return std::nullopt;
  }
  std::size_t& fromAddress = pendingByAddress_[address];
  if (fromAddress >= limits_.pendingPerAddress && !isLoopbackPeer(address)) {
    if (fromAddress == 0) {
      pendingByAddress_.erase(address);
    }
    return std::nullopt;
  }
  ++fromAddress;
  ++pending_;
  return Slot(shared_from_this(), address, false);
}

std::optional<Admission::Slot> Admission::admitUpgrade(std::size_t open, std::size_t most) {
  const std::lock_guard lock(mutex_);
  if (open + upgrading_ >= most) {
    return std::nullopt;
  }
  ++upgrading_;
  return Slot(shared_from_this(), std::string(), true);
}
