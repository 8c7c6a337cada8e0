#include "kestrel/ui/node_worker.h"

#include <algorithm>

#include "kestrel/boot/boot_thread.h"

namespace kestrel {

void CNodeWorker::Post(Job job) {
  {
    std::lock_guard lock(mutex_);
    if (quit_) return;
    jobs_.push_back(std::move(job));
  }
  cv_.notify_all();
}

void CNodeWorker::Quit() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
    jobs_.clear();
  }
  cv_.notify_all();
}

bool CNodeWorker::QuitRequested() const {
  std::lock_guard lock(mutex_);
  return quit_;
}

bool CNodeWorker::Run(CStopRequest& stop, int idle_ms, const Job& idle, int slice_ms) {
  using Clock = std::chrono::steady_clock;
  auto next_idle = Clock::now() + std::chrono::milliseconds(idle_ms);
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      // The stop request has its own wait: look at it at least once per slice.
      const auto until = std::min(next_idle, Clock::now() + std::chrono::milliseconds(slice_ms));
      cv_.wait_until(lock, until, [this] { return quit_ || !jobs_.empty(); });
      if (quit_) return true;
      if (!jobs_.empty()) {
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
    }
    if (stop.IsSet()) return false;
    if (job) {
      job();
      next_idle = Clock::now() + std::chrono::milliseconds(idle_ms);
    } else if (Clock::now() >= next_idle) {
      if (idle) idle();
      next_idle = Clock::now() + std::chrono::milliseconds(idle_ms);
    }
  }
}

}  // namespace kestrel
