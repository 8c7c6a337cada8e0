#include "keyservice/key_work_control.h"

#include <cerrno>
#include <cstdio>

#include "driver/core/status.h"
#include "driver/device/device.h"

namespace vorkey {
namespace {

// The system error code of an errno value, as the old messages showed it.
int system_error(int e) {
  switch (e) {
    case ENOENT:
    case ECONNREFUSED: return 2;  // ERROR_FILE_NOT_FOUND: no driver
    case EACCES:
    case EPERM: return 5;  // ERROR_ACCESS_DENIED
    default: return e;
  }
}

std::string format(const char* text, int a, int b = 0) {
  char buffer[160];
  std::snprintf(buffer, sizeof buffer, text, a, b);
  return buffer;
}

}  // namespace

KeyWorkControl::KeyWorkControl(KeyWork& work, std::string device_path, Messages messages)
    : work_(work), device_path_(std::move(device_path)), messages_(std::move(messages)) {}

StartResult KeyWorkControl::Start() {
  if (!work_.OpenInjection()) return StartResult::kNoInjection;

  // The CNC check, on a connection of its own that is closed again at once.
  {
    lorand::Device device;
    if (!device.open(device_path_)) {
      messages_(format("Couldn't open the LORAND driver. (%d)", system_error(errno)));
      return StartResult::kIdle;
    }
    const uint8_t in[4] = {0, 0, 0, 0};
    uint8_t out[4] = {};
    const auto r = device.control(lorand::IOCTL_LNK_GET_CNC_TYPE, in, out);
    if (!lorand::nt_success(r.status) || r.information < 4) return StartResult::kIdle;
    const int type = int(out[0] | out[1] << 8 | out[2] << 16 | uint32_t(out[3]) << 24);
    if (type == kCncTypeWithoutKeys) return StartResult::kIdle;
  }

  if (!raise_priority()) messages_(format("Failed to SetPriorityClass. (%d)", system_error(errno)));
  timing_ = tick_timing();
  work_.ReloadSettings();
  started_ = true;
  // The ticks run at real-time priority where the system allows it, as the old multimedia timer's
  // callbacks did: on a busy machine a tick is then late by microseconds instead of milliseconds.
  if (!ticks_.start(std::chrono::milliseconds(timing_.period_ms), [this] { work_.OnTimerTick(); },
                    true)) {
    messages_(format("Failed to timeSetEvent. Period = %d, TimeRes = %d", timing_.period_ms,
                     timing_.resolution_ms));
    return StartResult::kIdle;
  }
  return StartResult::kTicking;
}

void KeyWorkControl::Stop() {
  ticks_.stop();
  // No tick runs any more: the keys the PC still holds down are released from this thread.
  if (started_) work_.ReleaseAll();
  started_ = false;
}

}  // namespace vorkey
