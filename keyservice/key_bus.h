#pragma once
// How the key reader reaches node 0: a short script of steps per call, carried out in order until
// the first step that fails. The driver path sends a whole script to lorandd in as few messages as
// it can (a write travels only once the link test before it was seen to pass); the direct path
// runs the board's register protocol byte by byte over port access.
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace cnbus {
class PortAccess;
}
namespace lorand {
class Device;
}

namespace vorkey {

// CNC offsets are added to this Cnbus address (space 0x20, offset 0xC00000).
constexpr uint32_t kCncBase = 0x20C00000;
// The board's link control word: the reader writes 0x10 there while the link is down.
constexpr uint32_t kLinkControlAddress = 0x30800000;
constexpr uint8_t kLinkBit = 0x40;       // status register bit 6
constexpr uint8_t kLinkReadyBits = 0x50; // bits 6 and 4: the CNC can be served

struct BusStep {
  enum class Kind : uint8_t {
    kLinkTest,  // status register 9 must show every bit of `mask`
    kRead,      // `length` bytes at CNC offset `offset` into `data`
    kWrite,     // `length` bytes from `data` to CNC offset `offset`
  };
  Kind kind = Kind::kLinkTest;
  uint8_t mask = kLinkReadyBits;
  uint32_t offset = 0;
  uint8_t* data = nullptr;
  uint32_t length = 0;

  static BusStep link(uint8_t mask = kLinkReadyBits) { return {Kind::kLinkTest, mask, 0, nullptr, 0}; }
  static BusStep read(uint32_t offset, uint8_t* data, uint32_t length) {
    return {Kind::kRead, 0, offset, data, length};
  }
  static BusStep write(uint32_t offset, uint8_t* data, uint32_t length) {
    return {Kind::kWrite, 0, offset, data, length};
  }
};

// Messages the reader reports (the system's message texts with the error code filled in).
using MessageSink = std::function<void(const std::string&)>;

class KeyBus {
 public:
  virtual ~KeyBus() = default;
  // The device was opened and node 0 answered ready; an invalid bus fails every step silently.
  virtual bool valid() const = 0;
  // Runs the steps in order and returns how many succeeded before the first failure (all of them:
  // steps.size()). Steps after a failed one leave the CNC untouched: no write is made after a
  // failure, and no read whose link test failed; the data of steps not reached is unspecified.
  virtual size_t run(std::span<const BusStep> steps) = 0;
  // Writes 0x10 to the link control word without any link test (resets a lost link).
  virtual void reset_link() = 0;
  // Device round trips (driver path) or port accesses (direct path) made so far; for measurements.
  virtual uint64_t transactions() const = 0;
};

// Driver path: requests to lorandd on an own connection at `device_path`. Node 0 must answer
// ready, else the bus is invalid.
std::unique_ptr<KeyBus> open_driver_bus(const std::string& device_path, MessageSink messages);

// Direct path: the register protocol over `ports` at node 0's port base `base`.
std::unique_ptr<KeyBus> make_direct_bus(std::unique_ptr<cnbus::PortAccess> ports, uint32_t base);

// Direct path as the direct-path build sets it up: node 0 must answer ready and have a nonzero
// port base; its ports are reached as [Host] Board0 says (the daemon's register requests for a
// simulated board, the I/O ports of an ISA board).
std::unique_ptr<KeyBus> open_direct_bus(const std::string& device_path);

}  // namespace vorkey
