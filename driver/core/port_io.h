#pragma once
// Access to the I/O ports of one node's FLUX board: 8, 16 and 32-bit reads and writes at absolute
// port addresses (base + register offset). Real ISA ports and the simulated board implement it.
#include <cstdint>

namespace lorand {

class PortIo {
 public:
  virtual ~PortIo() = default;
  virtual uint8_t in8(uint32_t port) = 0;
  virtual uint16_t in16(uint32_t port) = 0;
  virtual uint32_t in32(uint32_t port) = 0;
  virtual void out8(uint32_t port, uint8_t value) = 0;
  virtual void out16(uint32_t port, uint16_t value) = 0;
  virtual void out32(uint32_t port, uint32_t value) = 0;

  // A single register access asked for by a client (the register requests), as opposed to the
  // accesses the driver makes while it carries out a Cnbus unit. Boards that keep a trace tell the
  // two apart through these; for real ports they are plain byte accesses.
  virtual uint8_t register_in8(uint32_t port) { return in8(port); }
  virtual void register_out8(uint32_t port, uint8_t value) { out8(port, value); }
};

}  // namespace lorand
