// The tick thread: ticks come one period apart, never overlap, and none runs after stop().
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "keyservice/tick_thread.h"

namespace vorkey {
namespace {

using namespace std::chrono_literals;

TEST(TickTiming, SixteenMillisecondsWithAnEightMillisecondResolution) {
  const TickTiming t = tick_timing();
  EXPECT_EQ(t.resolution_ms, 8);
  EXPECT_EQ(t.period_ms, 16);
}

TEST(TickThread, TicksAtThePeriodWithoutOverlapAndNotAfterStop) {
  TickThread ticks;
  std::atomic<int> count{0}, inside{0}, overlaps{0};
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(ticks.start(5ms, [&] {
    if (inside.fetch_add(1) != 0) ++overlaps;
    std::this_thread::sleep_for(1ms);
    ++count;
    inside.fetch_sub(1);
  }));
  while (count < 10) std::this_thread::sleep_for(1ms);
  ticks.stop();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const int after_stop = count;
  // Ten ticks of a 5 ms period with 1 ms of work each cannot be done in less than 60 ms.
  EXPECT_GE(elapsed, 60ms);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(count.load(), after_stop);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_FALSE(ticks.running());
}

TEST(TickThread, StopWaitsForTheTickUnderWay) {
  TickThread ticks;
  std::atomic<bool> in_tick{false}, finished{false};
  ASSERT_TRUE(ticks.start(1ms, [&] {
    in_tick = true;
    std::this_thread::sleep_for(100ms);
    finished = true;
  }));
  while (!in_tick) std::this_thread::sleep_for(1ms);
  ticks.stop();
  EXPECT_TRUE(finished.load());
}

}  // namespace
}  // namespace vorkey
