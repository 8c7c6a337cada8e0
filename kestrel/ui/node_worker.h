#pragma once
// CNodeWorker: the job queue of a node thread that is blocked while one of its windows is open.
// The window (on the GUI thread) posts each piece of CNC work as a job; the node thread runs the
// jobs one by one, in order, and an idle job at a fixed period while none waits (the link check
// of the boot dialog). So the CNC work stays on the thread that owns the node's interface, and the
// window stays responsive while it runs.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace kestrel {

class CStopRequest;

class CNodeWorker {
 public:
  using Job = std::function<void()>;

  // Any thread. Jobs posted after Quit are dropped.
  void Post(Job job);
  // Any thread: Run returns once the job that is running (if any) has ended; waiting jobs are
  // dropped.
  void Quit();
  bool QuitRequested() const;

  // The node thread: runs the posted jobs in order, and `idle` every `idle_ms` while no job runs,
  // until Quit or until `stop` is set (seen within `slice_ms`). True when ended by Quit.
  bool Run(CStopRequest& stop, int idle_ms, const Job& idle, int slice_ms = 20);

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Job> jobs_;
  bool quit_ = false;
};

}  // namespace kestrel
