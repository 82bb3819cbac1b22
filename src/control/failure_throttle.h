#pragma once
// How long an address that keeps giving wrong secrets (access tokens, the
// backup service's password) waits before its next answer. Without it a
// secret can be guessed as fast as the network carries the guesses. Tokens
// and passwords count together: an address that fails at either is guessing.
#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>

class FailureThrottle {
public:
  using Clock = std::chrono::steady_clock;

  struct Limits {
    std::size_t failuresBeforeWaiting = 5;
    std::chrono::seconds window{60};
    std::chrono::seconds longestWait{60};
  };

  // An IPv4 address counts as one with its IPv4-mapped IPv6 form (as a
  // dual-stack socket reports it).
  void recordFailure(const std::string& address, Clock::time_point now);
  // Nothing until `address` has failed failuresBeforeWaiting times within
  // the window, then 1 s, doubling with each further failure, up to
  // longestWait. A failure older than the window no longer counts.
  Clock::duration waitFor(const std::string& address, Clock::time_point now);
  void clear();

private:
  // With the lock held.
  void forgetOldFailures(Clock::time_point now);

  const Limits limits_{};
  std::mutex mutex_;
  std::map<std::string, std::deque<Clock::time_point>> failures_;
};

// The endpoint's wrong tokens and the login dialogue's wrong passwords.
extern FailureThrottle wrongSecrets;
