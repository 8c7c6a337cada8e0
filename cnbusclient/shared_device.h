#pragma once
// The process's one connection to the LORAND device, shared by every client object and thread.
// A connection carries one request and its answer at a time, so each call holds a lock for its own
// round trip (or batch) only; units of different threads may alternate between calls, as they may
// in the driver.
#include <mutex>

#include "driver/device/device.h"

namespace cnbus {

class SharedDevice {
 public:
  bool open(const std::filesystem::path& path) {
    std::lock_guard lock(mutex_);
    return device_.open(path);
  }
  void close() {
    std::lock_guard lock(mutex_);
    device_.close();
  }
  bool is_open() {
    std::lock_guard lock(mutex_);
    return device_.is_open();
  }
  lorand::IoResult control(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out) {
    std::lock_guard lock(mutex_);
    return device_.control(code, in, out);
  }
  lorand::IoResult read(uint64_t position, std::span<uint8_t> data) {
    std::lock_guard lock(mutex_);
    return device_.read(position, data);
  }
  lorand::IoResult write(uint64_t position, std::span<const uint8_t> data) {
    std::lock_guard lock(mutex_);
    return device_.write(position, data);
  }
  bool run(lorand::Batch& batch) {
    std::lock_guard lock(mutex_);
    return device_.run(batch);
  }

 private:
  std::mutex mutex_;
  lorand::Device device_;
};

}  // namespace cnbus
