#include "keyservice/tick_thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace vorkey {
namespace {

timespec add(timespec t, std::chrono::nanoseconds d) {
  const long long total = t.tv_nsec + d.count();
  t.tv_sec += time_t(total / 1000000000);
  t.tv_nsec = long(total % 1000000000);
  return t;
}

}  // namespace

TickTiming tick_timing() {
  timespec res{};
  long long finest_ms = 1;
  if (clock_getres(CLOCK_MONOTONIC, &res) == 0)
    finest_ms = std::max<long long>(1, res.tv_sec * 1000 + res.tv_nsec / 1000000);
  TickTiming t;
  t.resolution_ms = int(std::min<long long>(std::max<long long>(finest_ms, 8), 1000));
  t.period_ms = std::max(16, t.resolution_ms);
  return t;
}

bool TickThread::start(std::chrono::milliseconds period, std::function<void()> tick,
                       bool realtime) {
  stop();
  period_ = period;
  tick_ = std::move(tick);
  realtime_ = realtime;
  stopping_ = false;
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void TickThread::stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  thread_.join();
}

void TickThread::run() {
  if (realtime_) {
    sched_param param{};
    param.sched_priority = 1;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  }
  timespec due{};
  clock_gettime(CLOCK_MONOTONIC, &due);
  due = add(due, period_);
  for (;;) {
    // A stop is seen at the next deadline, at most one period away.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
      if (stopping_) return;
    }
    if (stopping_) return;
    tick_();
    // Armed again at the end of the tick, one period ahead.
    clock_gettime(CLOCK_MONOTONIC, &due);
    due = add(due, period_);
  }
}

bool raise_priority() {
  errno = 0;
  return setpriority(PRIO_PROCESS, 0, -10) == 0;
}

}  // namespace vorkey
