#pragma once
// The memory-card functions of the CNC's boot software as the mailbox carries them: inputs from the
// mailbox, strings and data through the transfer buffer in shared memory, results back into the
// mailbox. A failed function answers status 1 with the card's error detail in the error word (low
// 16 bits) and in O4.
#include <cstdint>
#include <span>

#include "cncsim/card.h"

namespace cncsim {

struct CardCall {
  uint16_t function = 0, i1 = 0, i2 = 0;
  uint32_t i3 = 0, i4 = 0;
};

struct CardAnswer {
  uint16_t status = 0, error = 0, o1 = 0, o2 = 0;
  uint32_t o3 = 0, o4 = 0;
};

// The CNC's view of its shared memory, by shared-memory offset (0 = Cnbus 0x20C00000).
class SharedMemoryAccess {
 public:
  virtual ~SharedMemoryAccess() = default;
  virtual uint32_t size() const = 0;
  // False when the range does not lie wholly inside shared memory (nothing is moved then).
  virtual bool read(uint32_t offset, std::span<uint8_t> out) = 0;
  virtual bool write(uint32_t offset, std::span<const uint8_t> data) = 0;
};

// True for 0x301, 0x302, 0x401 to 0x408, 0x424, 0x425 and 0x42B to 0x42D.
bool is_card_function(uint16_t function);

// Carries out one card function. A string or data range that does not lie inside shared memory,
// or a string without its NUL, fails with kCardBadParameter.
CardAnswer serve_card_function(MemoryCard& card, const CardCall& call, SharedMemoryAccess& memory);

// SharedMemoryAccess over a plain byte array (tests, and a CNC side that holds its memory's lock).
class SpanMemory : public SharedMemoryAccess {
 public:
  explicit SpanMemory(std::span<uint8_t> bytes) : bytes_(bytes) {}
  uint32_t size() const override { return uint32_t(bytes_.size()); }
  bool read(uint32_t offset, std::span<uint8_t> out) override;
  bool write(uint32_t offset, std::span<const uint8_t> data) override;

 private:
  std::span<uint8_t> bytes_;
};

}  // namespace cncsim
