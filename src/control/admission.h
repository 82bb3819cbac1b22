#pragma once
// How many connections the endpoint holds before their HTTP exchange ends,
// how many upgrades may be under way, and how long an address that keeps
// giving wrong tokens waits. Without these, idle sockets from one host use up
// the agent's descriptors in the middle of a restore, and a token can be
// guessed as fast as the network carries requests.
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "control/failure_throttle.h"

class Admission : public std::enable_shared_from_this<Admission> {
public:
  using Clock = FailureThrottle::Clock;

  struct Limits {
    std::size_t pending = 64;
    // Loopback peers are this machine itself (the console's browser opens
    // several at once); they count toward `pending` only.
    std::size_t pendingPerAddress = 8;
  };

  // Held while a connection counts; gives its place back when it goes.
  class Slot {
  public:
    Slot() = default;
    Slot(std::shared_ptr<Admission> owner, std::string address, bool upgrade)
        : owner_(std::move(owner)), address_(std::move(address)), upgrade_(upgrade) {}
    Slot(Slot&& other) noexcept = default;
    Slot& operator=(Slot&& other) noexcept {
      if (this != &other) {
        release();
        owner_ = std::move(other.owner_);
        address_ = std::move(other.address_);
        upgrade_ = other.upgrade_;
      }
      return *this;
    }
    ~Slot() { release(); }
    void release();

  private:
    std::shared_ptr<Admission> owner_;
    std::string address_;
    bool upgrade_ = false;
  };

  // Wrong tokens count in `failures`, beside the wrong passwords of the
  // login dialogue.
  static std::shared_ptr<Admission> create(Limits limits, FailureThrottle& failures = wrongSecrets);

  // A place for a connection from `address` that has not finished its HTTP
  // exchange; nothing when the endpoint holds enough of those.
  std::optional<Slot> admitPending(const std::string& address);
  // A place for an upgrade under way, while `open` WebSocket connections
  // are open of at most `most`.
  std::optional<Slot> admitUpgrade(std::size_t open, std::size_t most);

  void recordWrongToken(const std::string& address, Clock::time_point now) { failures_.recordFailure(address, now); }
  // How long `address` waits before its next answer (FailureThrottle).
  Clock::duration waitFor(const std::string& address, Clock::time_point now) {
    return failures_.waitFor(address, now);
  }

private:
  Admission(Limits limits, FailureThrottle& failures) : limits_(limits), failures_(failures) {}

  const Limits limits_;
  FailureThrottle& failures_;
  std::mutex mutex_;
  std::size_t pending_ = 0;
  std::size_t upgrading_ = 0;
  std::map<std::string, std::size_t> pendingByAddress_;
};
