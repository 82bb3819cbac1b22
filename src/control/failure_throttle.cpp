#include "control/failure_throttle.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>

namespace {

// From this many failures beyond the first wait on, the wait is longestWait
// (2^6 s passes a minute), so older failures need not be kept.
constexpr std::size_t kDoublings = 6;

// The same host by whichever spelling its address arrives in.
std::string counted(const std::string& address) {
  in6_addr v6{};
  if (::inet_pton(AF_INET6, address.c_str(), &v6) != 1) {
    return address;
  }
  char text[INET6_ADDRSTRLEN] = {};
  if (IN6_IS_ADDR_V4MAPPED(&v6)) {
    return ::inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text) ? text : address;
  }
  return ::inet_ntop(AF_INET6, &v6, text, sizeof text) ? text : address;
}

}  // namespace

FailureThrottle wrongSecrets;

void FailureThrottle::forgetOldFailures(Clock::time_point now) {
  for (auto it = failures_.begin(); it != failures_.end();) {
    auto& times = it->second;
    while (!times.empty() && now - times.front() >= limits_.window) {
      times.pop_front();
    }
    it = times.empty() ? failures_.erase(it) : std::next(it);
  }
}

void FailureThrottle::recordFailure(const std::string& address, Clock::time_point now) {
  const std::lock_guard lock(mutex_);
  forgetOldFailures(now);
  auto& times = failures_[counted(address)];
  times.push_back(now);
  // Only the newest count: an address that keeps failing holds a few
  // entries, however many it sends.
  while (times.size() > limits_.failuresBeforeWaiting + kDoublings) {
    times.pop_front();
  }
}

FailureThrottle::Clock::duration FailureThrottle::waitFor(const std::string& address, Clock::time_point now) {
  const std::lock_guard lock(mutex_);
  forgetOldFailures(now);
  const auto found = failures_.find(counted(address));
  if (found == failures_.end() || found->second.size() < limits_.failuresBeforeWaiting) {
    return Clock::duration::zero();
  }
  const std::size_t beyond = found->second.size() - limits_.failuresBeforeWaiting;
  const std::chrono::seconds wait(beyond >= kDoublings ? limits_.longestWait.count() : (1LL << beyond));
  return std::min<Clock::duration>(wait, limits_.longestWait);
}

void FailureThrottle::clear() {
  const std::lock_guard lock(mutex_);
  failures_.clear();
}
