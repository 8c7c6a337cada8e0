#pragma once
// Start and stop of the key work, shared by both hosts: the injection opened first (a missing one
// ends the process), the CNC check of node 0 (no device or a node of type 3 leaves the service idle),
// the raised priority, the tick timing, the first settings rebuild and the tick thread. The stop
// ends the ticks for good and then releases every key the PC still holds down.
#include <chrono>
#include <functional>
#include <string>

#include "keyservice/tick_thread.h"

namespace vorkey {

// The conversion core as the host drives it.
class KeyWork {
 public:
  virtual ~KeyWork() = default;
  // Opens the key injection; false when it cannot be opened (its message was shown).
  virtual bool OpenInjection() = 0;
  virtual void ReloadSettings() = 0;
  virtual void OnTimerTick() = 0;
  // Releases every key and modifier the PC holds down because of the MDI keyboard.
  virtual void ReleaseAll() = 0;
};

enum class StartResult {
  kTicking,        // the ticks run
  kIdle,           // no CNC to serve (device missing, node 0 of type 3, no timer); the host runs on
  kNoInjection,    // the injection could not be opened: the process must end with code 1
};

// CNC type of a node that has no MDI keyboard for this service ("Tessel").
constexpr int kCncTypeWithoutKeys = 3;

class KeyWorkControl {
 public:
  using Messages = std::function<void(const std::string&)>;
  KeyWorkControl(KeyWork& work, std::string device_path, Messages messages);
  ~KeyWorkControl() { Stop(); }
  KeyWorkControl(const KeyWorkControl&) = delete;
  KeyWorkControl& operator=(const KeyWorkControl&) = delete;

  StartResult Start();
  void Stop();

  const TickTiming& timing() const { return timing_; }
  bool ticking() const { return ticks_.running(); }

 private:
  KeyWork& work_;
  std::string device_path_;
  Messages messages_;
  TickTiming timing_{0, 16};
  TickThread ticks_;
  bool started_ = false;
};

}  // namespace vorkey
