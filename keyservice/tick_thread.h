#pragma once
// The key service's timer: a thread of its own that runs the tick once per period. Like a one-shot
// timer armed again at the end of every tick, the next tick is due one period after the end of the
// one before, so ticks never overlap. The thread sleeps to that absolute time (clock_nanosleep with
// TIMER_ABSTIME on the monotonic clock), so a sleep cut short by a signal resumes to the same
// deadline instead of starting a whole period again.
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace vorkey {

// Resolution and period of the ticks, in ms: the resolution is the clock's finest step raised to at
// least 8 ms and capped at 1 s; the period is 16 ms, or the resolution when that is coarser.
struct TickTiming {
  int resolution_ms = 8;
  int period_ms = 16;
};
TickTiming tick_timing();

class TickThread {
 public:
  TickThread() = default;
  ~TickThread() { stop(); }
  TickThread(const TickThread&) = delete;
  TickThread& operator=(const TickThread&) = delete;

  // Starts the ticks: the first one period from now. False when the thread cannot be made.
  // `realtime`: the thread asks for the lowest real-time priority (SCHED_FIFO 1), so that a busy
  // machine does not delay its wake-ups; where that is not allowed it runs as it is.
  bool start(std::chrono::milliseconds period, std::function<void()> tick, bool realtime = false);
  // Ends the ticks: a tick under way finishes, and none runs or is armed after stop() returns.
  // Waits at most one period plus the tick under way.
  void stop();
  bool running() const { return thread_.joinable(); }

 private:
  void run();
  std::chrono::nanoseconds period_{};
  std::function<void()> tick_;
  bool realtime_ = false;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// Raises the process's scheduling priority (the old high priority class); false with errno set when
// the system refuses (an unprivileged user may not raise it).
bool raise_priority();

}  // namespace vorkey
