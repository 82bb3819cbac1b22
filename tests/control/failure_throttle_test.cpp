// The wait of an address that keeps giving wrong secrets.
#include "control/failure_throttle.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const auto start = FailureThrottle::Clock::time_point{} + 1h;

TEST(FailureThrottle, WrongSecretsMakeTheirAddressWaitLongerUpToAMinute) {
  FailureThrottle throttle;
  for (int i = 0; i < 4; ++i) {
    throttle.recordFailure("192.0.2.1", start + i * 1s);
  }
  EXPECT_EQ(throttle.waitFor("192.0.2.1", start + 4s), 0s);
  throttle.recordFailure("192.0.2.1", start + 4s);
  EXPECT_EQ(throttle.waitFor("192.0.2.1", start + 5s), 1s);
  EXPECT_EQ(throttle.waitFor("192.0.2.2", start + 5s), 0s) << "another address pays nothing";
  throttle.recordFailure("192.0.2.1", start + 5s);
  EXPECT_EQ(throttle.waitFor("192.0.2.1", start + 6s), 2s);
  throttle.recordFailure("192.0.2.1", start + 6s);
  EXPECT_EQ(throttle.waitFor("192.0.2.1", start + 6s), 4s);
  for (int i = 0; i < 20; ++i) {
    throttle.recordFailure("192.0.2.1", start + 6s);
  }
  EXPECT_EQ(throttle.waitFor("192.0.2.1", start + 7s), 60s);
  // A minute after the last failure, the address starts afresh.
  EXPECT_EQ(throttle.waitFor("192.0.2.1", start + 66s), 0s);
}

TEST(FailureThrottle, ManyFailuresAgeOutOneByOne) {
  // However many failures an address sends, each one that leaves the
  // window lowers its wait as if all had been kept.
  FailureThrottle throttle;
  for (int i = 0; i < 20; ++i) {
    throttle.recordFailure("192.0.2.1", start + i * 1s);
  }
  EXPECT_EQ(throttle.waitFor("192.0.2.1", start + 20s), 60s);
  EXPECT_EQ(throttle.waitFor("192.0.2.1", start + 70s), 16s);  // 11 s to 19 s remain
  EXPECT_EQ(throttle.waitFor("192.0.2.1", start + 72s), 4s);
  EXPECT_EQ(throttle.waitFor("192.0.2.1", start + 75s), 0s);
}

TEST(FailureThrottle, AHostCountsAsOneWhicheverSpellingItsAddressArrivesIn) {
  // A dual-stack socket reports IPv4 peers in their mapped IPv6 form.
  FailureThrottle throttle;
  for (const char* address : {"::ffff:192.0.2.1", "192.0.2.1", "::FFFF:192.0.2.1", "::ffff:c000:201", "192.0.2.1"}) {
    throttle.recordFailure(address, start);
  }
  EXPECT_EQ(throttle.waitFor("192.0.2.1", start), 1s);
  EXPECT_EQ(throttle.waitFor("::ffff:192.0.2.1", start), 1s);
  EXPECT_EQ(throttle.waitFor("::ffff:192.0.2.10", start), 0s);
  EXPECT_EQ(throttle.waitFor("::192.0.2.1", start), 0s) << "an IPv4-compatible address is another host";
  for (int i = 0; i < 5; ++i) {
    throttle.recordFailure(i % 2 ? "2001:DB8:0:0::1" : "2001:db8::1", start);
  }
  EXPECT_EQ(throttle.waitFor("2001:db8:0000::0001", start), 1s);
}

}  // namespace
