#pragma once
// The part of the CNC function-call interface that the memory-card side of the file store uses:
// mailbox calls (with or without waiting for completion), the results of the last call, byte
// transfers through the transfer buffer, and the interface's error for a failed store call.
// CCncItf provides it for a real node; tests provide it over a simulated card.
#include <cstdint>
#include <string>

namespace kestrel {

// The results in the mailbox image after a call has completed.
struct CCardResult {
  uint16_t status = 0, error = 0, o1 = 0, o2 = 0;
  uint32_t o3 = 0, o4 = 0;
};

class CCardChannel {
 public:
  virtual ~CCardChannel() = default;
  // Posts a function call; with `wait`, also completes it. Failures of functions whose status the
  // caller handles itself come back in Result(); any other failure throws the interface's error.
  virtual void Call(uint16_t function, uint16_t i1, uint16_t i2, uint32_t i3, uint32_t i4,
                    int wait) = 0;
  // Waits for the call posted without waiting and collects its results.
  virtual void Complete() = 0;
  // Gives the interface up after a fault between a call posted without waiting and its Complete.
  virtual void Release() = 0;
  // Keeps the interface lock from Hold to the matching Unhold (they nest), so that no other
  // program's call can overwrite the transfer buffer between a call and the data it moves.
  virtual void Hold() = 0;
  virtual void Unhold() = 0;
  virtual CCardResult Result() const = 0;
  // Byte transfers at shared-memory offsets.
  virtual void WriteBytes(uint32_t offset, const uint8_t* buffer, int count) = 0;
  virtual void ReadBytes(uint32_t offset, uint8_t* buffer, int count) = 0;
  // Shared-memory offset of the transfer buffer.
  virtual uint32_t BufferBase() const = 0;
  // Throws the interface's error with code 0 and `message`.
  [[noreturn]] virtual void Fail(const std::string& message) = 0;
};

}  // namespace kestrel
