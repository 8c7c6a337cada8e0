#include "driver/host/memory_board.h"

#include "driver/core/status.h"

namespace lorand::host {

uint32_t MemoryBoard::read_block(uint32_t offset, unsigned width) {
  if (offset >= 16) return 0xFFFFFFFFu >> (32 - 8 * width);
  std::lock_guard guard(mutex_);
  if (offset == kRegStatus && width == 1) return kStatusLink | kStatusReady | (registers_[kRegStatus] & 0x0F);
  uint32_t value = 0;
  for (unsigned i = 0; i < width && offset + i < 16; ++i) value |= uint32_t(registers_[offset + i]) << (8 * i);
  if (offset == kRegScratch && width == 1) value &= 0x0F;
  return value;
}

void MemoryBoard::write_block(uint32_t offset, unsigned width, uint32_t value) {
  if (offset >= 16) return;
  {
    std::lock_guard guard(mutex_);
    for (unsigned i = 0; i < width && offset + i < 16; ++i) registers_[offset + i] = uint8_t(value >> (8 * i));
  }
  if (offset == kRegCommand && width == 1) command(uint8_t(value));
}

void MemoryBoard::command(uint8_t value) {
  std::lock_guard guard(mutex_);
  const unsigned size = value & 7;
  if (size != 1 && size != 2 && size != 4) return;
  const uint32_t address = uint32_t(registers_[4]) | uint32_t(registers_[5]) << 8 |
                           uint32_t(registers_[6]) << 16 | uint32_t(registers_[7]) << 24;
  for (unsigned i = 0; i < size; ++i) {
    if (value & 0x80) {
      auto it = memory_.find(address + i);
      registers_[i] = it == memory_.end() ? 0xFF : it->second;  // unwritten memory reads as ones
    } else {
      memory_[address + i] = registers_[i];
    }
  }
}

uint8_t MemoryBoard::in8(uint32_t port) { return uint8_t(read_block(port - base_, 1)); }
uint16_t MemoryBoard::in16(uint32_t port) { return uint16_t(read_block(port - base_, 2)); }
uint32_t MemoryBoard::in32(uint32_t port) { return read_block(port - base_, 4); }
void MemoryBoard::out8(uint32_t port, uint8_t value) { write_block(port - base_, 1, value); }
void MemoryBoard::out16(uint32_t port, uint16_t value) { write_block(port - base_, 2, value); }
void MemoryBoard::out32(uint32_t port, uint32_t value) { write_block(port - base_, 4, value); }

}  // namespace lorand::host
