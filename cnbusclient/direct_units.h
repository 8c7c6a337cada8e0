#pragma once
// The board's register protocol run by the program itself (the direct path), with the link test:
// every read of the status register that shows bit 6 (link) at 0 gives the unit up, and so does a
// busy bit that stays set longer than the bound. A given-up read yields nothing (the caller reads
// all ones), a given-up write writes nothing.
#include <chrono>
#include <cstdint>
#include <optional>

#include "cnbusclient/port_access.h"

namespace cnbus {

// How long one wait for the busy bit may last before the unit is given up.
constexpr std::chrono::milliseconds kDefaultBusyBound{100};

class DirectUnits {
 public:
  DirectUnits(PortAccess& ports, uint32_t base,
              std::chrono::nanoseconds busy_bound = kDefaultBusyBound)
      : ports_(ports), base_(base), bound_(busy_bound) {}

  // One unit of `size` bytes (1, 2 or 4) at the Cnbus address; the caller has aligned it.
  std::optional<uint32_t> read(uint32_t address, unsigned size);
  bool write(uint32_t address, unsigned size, uint32_t value);
  // A word write that waits only for the busy bit (no link test, so it can reach a board whose
  // link is down) and writes nothing at an odd address.
  bool write_control_word(uint32_t address, uint16_t value);

  // Single byte register accesses at offset 0 to 15 of the block.
  std::optional<uint8_t> read_register(uint32_t offset);
  bool write_register(uint32_t offset, uint8_t value);

 private:
  // Reads the status register until the busy bit is clear; false when the link test fails, the
  // bound passes, or a read cannot be made.
  bool wait_not_busy(bool link_test);

  PortAccess& ports_;
  uint32_t base_;
  std::chrono::nanoseconds bound_;
};

}  // namespace cnbus
