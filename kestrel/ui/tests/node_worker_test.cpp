// The node thread's job queue: order, the idle job only between jobs, Quit and the stop request.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "kestrel/boot/boot_thread.h"
#include "kestrel/ui/node_worker.h"

namespace {

using namespace std::chrono_literals;
using kestrel::CNodeWorker;

TEST(NodeWorker, RunsJobsInOrderAndTheIdleJobOnlyWhileNoneRuns) {
  CNodeWorker worker;
  kestrel::CStopRequest stop;
  std::mutex mutex;
  std::string trace;
  std::atomic<int> idles{0};
  std::atomic<bool> in_job{false}, idle_during_job{false};
  auto add = [&](char c) {
    std::lock_guard lock(mutex);
    trace += c;
  };
  auto ran = std::async(std::launch::async, [&] {
    return worker.Run(stop, 5, [&] {
      if (in_job) idle_during_job = true;
      ++idles;
    });
  });
  for (char c : std::string("abc"))
    worker.Post([&, c] {
      in_job = true;
      std::this_thread::sleep_for(30ms);  // longer than the idle period
      add(c);
      in_job = false;
    });
  // The idle job keeps running once the queue is empty.
  for (int i = 0; i < 1000 && !(trace.size() == 3 && idles > 3); ++i) std::this_thread::sleep_for(10ms);
  worker.Quit();
  ASSERT_EQ(ran.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(ran.get());
  EXPECT_EQ(trace, "abc");
  EXPECT_GT(idles.load(), 3);
  EXPECT_FALSE(idle_during_job.load());
  // Jobs posted after Quit are dropped.
  bool late = false;
  worker.Post([&] { late = true; });
  EXPECT_TRUE(worker.QuitRequested());
  EXPECT_FALSE(late);
}

TEST(NodeWorker, QuitDropsWaitingJobsAndAStopRequestEndsTheRun) {
  {
    CNodeWorker worker;
    kestrel::CStopRequest stop;
    std::atomic<int> done{0};
    std::promise<void> started;
    worker.Post([&] {
      started.set_value();
      std::this_thread::sleep_for(50ms);
      ++done;
    });
    worker.Post([&] { ++done; });
    auto ran = std::async(std::launch::async, [&] { return worker.Run(stop, 1000, {}); });
    started.get_future().wait();
    worker.Quit();  // while the first job runs: it ends, the second never runs
    ASSERT_EQ(ran.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(ran.get());
    EXPECT_EQ(done.load(), 1);
  }
  {
    CNodeWorker worker;
    kestrel::CStopRequest stop;
    auto ran = std::async(std::launch::async, [&] { return worker.Run(stop, 60000, {}); });
    std::this_thread::sleep_for(20ms);
    stop.Request();
    ASSERT_EQ(ran.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(ran.get());
  }
}

}  // namespace
