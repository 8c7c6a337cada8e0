#pragma once
// The unit trace of one board: every unit the board carries out (R/W lines) and every single
// register request (RP/WP lines), in order. Only the newest `limit` entries are kept, so a trace
// left running cannot eat the daemon's memory. Not locked: the node guards it.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace cncsim {

class Trace {
 public:
  enum class Kind : uint8_t { kRead, kWrite, kRegisterRead, kRegisterWrite };
  struct Entry {
    Kind kind;
    uint8_t size;  // 1, 2 or 4 for units; 1 for register requests
    uint32_t address;  // Cnbus address, or register offset
    uint32_t value;
  };

  explicit Trace(size_t limit = 1000000) : limit_(limit ? limit : 1) {}

  void start() { on_ = true; }
  void stop() { on_ = false; }
  bool running() const { return on_; }
  void set_limit(size_t limit);
  size_t limit() const { return limit_; }
  size_t size() const { return entries_.size(); }
  // Entries dropped because the limit was reached since the trace was last started.
  uint64_t dropped() const { return dropped_; }
  void clear() { entries_.clear(); dropped_ = 0; }

  void record(Kind kind, uint8_t size, uint32_t address, uint32_t value) {
    if (!on_) return;
    if (entries_.size() >= limit_) {
      entries_.pop_front();
      ++dropped_;
    }
    entries_.push_back({kind, size, address, value});
  }

  static std::string format(const Entry& e);
  std::vector<std::string> lines() const;
  // All lines, each ended by '\n'.
  std::string text() const;

 private:
  std::deque<Entry> entries_;
  size_t limit_;
  uint64_t dropped_ = 0;
  bool on_ = false;
};

}  // namespace cncsim
