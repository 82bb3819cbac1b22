#pragma once
// How many connections the endpoint holds before their HTTP exchange ends,
// how many upgrades may be under way, and how long an address that keeps
// giving wrong tokens waits. Without these, idle sockets from one host use up
// the agent's descriptors in the middle of a restore, and a token can be
// guessed as fast as the network carries requests.
#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class Admission : public std::enable_shared_from_this<Admission> {
public:
  using Clock = std::chrono::steady_clock;

  struct Limits {
    std::size_t pending = 64;
    // Loopback peers are this machine itself (the console's browser opens
    // several at once); they count toward `pending` only.
    std::size_t pendingPerAddress = 8;
    std::size_t failuresBeforeWaiting = 5;
    std::chrono::seconds failureWindow{60};
    std::chrono::seconds longestWait{60};
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

  static std::shared_ptr<Admission> create(Limits limits);

  // A place for a connection from `address` that has not finished its HTTP
  // exchange; nothing when the endpoint holds enough of those.
  std::optional<Slot> admitPending(const std::string& address);
  // A place for an upgrade under way, while `open` WebSocket connections
  // are open of at most `most`.
  std::optional<Slot> admitUpgrade(std::size_t open, std::size_t most);

  void recordWrongToken(const std::string& address, Clock::time_point now);
  // How long `address` waits before its next answer: nothing until it has
  // given failuresBeforeWaiting wrong tokens within failureWindow, then 1 s,
  // doubling with each further one, up to longestWait.
  Clock::duration waitFor(const std::string& address, Clock::time_point now);

private:
  explicit Admission(Limits limits) : limits_(limits) {}
  void forgetOldFailures(Clock::time_point now);

  const Limits limits_;
  std::mutex mutex_;
  std::size_t pending_ = 0;
  std::size_t upgrading_ = 0;
  std::map<std::string, std::size_t> pendingByAddress_;
  std::map<std::string, std::deque<Clock::time_point>> failures_;
};
