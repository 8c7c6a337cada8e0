#include "cnbusclient/direct_units.h"

#include "driver/core/status.h"

namespace cnbus {

using lorand::kRegAddress;
using lorand::kRegCommand;
using lorand::kRegData;
using lorand::kRegStatus;
using lorand::kStatusBusy;
using lorand::kStatusLink;

bool DirectUnits::wait_not_busy(bool link_test) {
  const auto deadline = std::chrono::steady_clock::now() + bound_;
  for (;;) {
    uint32_t status = 0;
    if (!ports_.in(base_ + kRegStatus, 1, &status)) return false;
    if (link_test && !(status & kStatusLink)) return false;
    if (!(status & kStatusBusy)) return true;
    // A port read costs far more than a clock read, so the clock is looked at on every pass.
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

std::optional<uint32_t> DirectUnits::read(uint32_t address, unsigned size) {
  if (!wait_not_busy(true)) return std::nullopt;
  if (!ports_.out(base_ + kRegAddress, 4, address)) return std::nullopt;
  if (!ports_.out(base_ + kRegCommand, 1, 0x80u | size)) return std::nullopt;
  if (!wait_not_busy(true)) return std::nullopt;
  uint32_t value = 0;
  if (!ports_.in(base_ + kRegData, size, &value)) return std::nullopt;
  return value;
}

bool DirectUnits::write(uint32_t address, unsigned size, uint32_t value) {
  if (!wait_not_busy(true)) return false;
  return ports_.out(base_ + kRegData, size, value) && ports_.out(base_ + kRegAddress, 4, address) &&
         ports_.out(base_ + kRegCommand, 1, size);
}

bool DirectUnits::write_control_word(uint32_t address, uint16_t value) {
  if (address & 1) return false;
  if (!wait_not_busy(false)) return false;
  return ports_.out(base_ + kRegData, 2, value) && ports_.out(base_ + kRegAddress, 4, address) &&
         ports_.out(base_ + kRegCommand, 1, 2);
}

std::optional<uint8_t> DirectUnits::read_register(uint32_t offset) {
  uint8_t value = 0;
  if (offset >= lorand::kRegisterBlockSize || !ports_.register_in(base_ + offset, &value))
    return std::nullopt;
  return value;
}

bool DirectUnits::write_register(uint32_t offset, uint8_t value) {
  return offset < lorand::kRegisterBlockSize && ports_.register_out(base_ + offset, value);
}

}  // namespace cnbus
