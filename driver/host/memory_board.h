#pragma once
// A plain in-memory FLUX board: the register block and a sparse CNC memory behind it, never busy,
// link up and CNC ready. The host's unit tests and the fuzz target use it as a quick peer that
// needs no state folder.
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "driver/core/port_io.h"

namespace lorand::host {

class MemoryBoard final : public PortIo {
 public:
  explicit MemoryBoard(uint32_t base) : base_(base) {}
  uint8_t in8(uint32_t port) override;
  uint16_t in16(uint32_t port) override;
  uint32_t in32(uint32_t port) override;
  void out8(uint32_t port, uint8_t value) override;
  void out16(uint32_t port, uint16_t value) override;
  void out32(uint32_t port, uint32_t value) override;

 private:
  uint32_t read_block(uint32_t offset, unsigned width);
  void write_block(uint32_t offset, unsigned width, uint32_t value);
  void command(uint8_t value);

  std::mutex mutex_;
  uint32_t base_;
  uint8_t registers_[16] = {};
  std::unordered_map<uint32_t, uint8_t> memory_;
};

}  // namespace lorand::host
