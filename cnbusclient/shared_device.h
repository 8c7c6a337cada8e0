#pragma once
// The process's way to the LORAND device, shared by every client object: each thread has a
// connection of its own, made at the thread's first request and closed when the thread ends. So
// threads never wait for each other's round trips, and a request that hangs on a stuck node or a
// daemon that does not answer holds only the thread that made it.
#include <atomic>
#include <mutex>

#include "driver/device/device.h"

namespace cnbus {

class SharedDevice {
 public:
  // Connects the calling thread; other threads connect at their first request.
  bool open(const std::filesystem::path& path) {
    {
      std::lock_guard lock(mutex_);
      path_ = path;
    }
    generation_.fetch_add(1);
    return device().is_open();
  }
  // Threads' connections close at their next request or when the thread ends.
  void close() {
    std::lock_guard lock(mutex_);
    path_.clear();
    generation_.fetch_add(1);
  }
  bool is_open() { return device().is_open(); }
  lorand::IoResult control(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out) {
    return device().control(code, in, out);
  }
  lorand::IoResult read(uint64_t position, std::span<uint8_t> data) { return device().read(position, data); }
  lorand::IoResult write(uint64_t position, std::span<const uint8_t> data) {
    return device().write(position, data);
  }
  lorand::IoResult read_run(uint64_t position, unsigned unit, std::span<uint8_t> data) {
    return device().read_run(position, unit, data);
  }
  lorand::IoResult write_run(uint64_t position, unsigned unit, std::span<const uint8_t> data) {
    return device().write_run(position, unit, data);
  }
  bool run(lorand::Batch& batch) { return device().run(batch); }

 private:
  // The calling thread's connection for the current path.
  lorand::Device& device() {
    struct ThreadDevice {
      const SharedDevice* owner = nullptr;
      uint64_t generation = 0;
      lorand::Device device;
    };
    thread_local ThreadDevice mine;
    const uint64_t now = generation_.load();
    if (mine.owner != this || mine.generation != now) {
      std::filesystem::path path;
      {
        std::lock_guard lock(mutex_);
        path = path_;
      }
      mine.owner = this;
      mine.generation = now;
      mine.device.close();
      if (!path.empty()) mine.device.open(path);
    }
    return mine.device;
  }

  std::mutex mutex_;  // guards path_
  std::filesystem::path path_;
  std::atomic<uint64_t> generation_{0};
};

}  // namespace cnbus
