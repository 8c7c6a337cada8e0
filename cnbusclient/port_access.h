#pragma once
// Port access for the direct path: the client runs the board's register protocol itself, one
// 8/16/32-bit access at a time on the 16 ports of a node's register block. Every access can fail
// (no permission for the ports, the daemon gone, a node that is not usable); the protocol then gives
// the unit up exactly as when the link is down.
//
// Two ways to reach the ports: the real I/O ports of an ISA board (ioperm + in/out instructions)
// and the wide register requests of lorandd for boards only the daemon can reach (simulated ones).
#include <cstdint>
#include <memory>

#include "platform/raw_ports.h"

namespace lorand {
class PortIo;
}

namespace cnbus {

using moxel::RawPorts;

class SharedDevice;

class PortAccess {
 public:
  virtual ~PortAccess() = default;
  // An access of `width` bytes (1, 2 or 4) at the absolute port address `port`; false when the
  // access could not be made (then *value is untouched).
  virtual bool in(uint32_t port, unsigned width, uint32_t* value) = 0;
  virtual bool out(uint32_t port, unsigned width, uint32_t value) = 0;
  // A single byte access asked for by the program (board register operations), as opposed to the
  // accesses of a memory unit. Same effect on the board; a daemon-hosted board can tell them apart.
  virtual bool register_in(uint32_t port, uint8_t* value);
  virtual bool register_out(uint32_t port, uint8_t value);
};

// The register block of an ISA board at `base`, reached with the processor's port instructions.
// The permission for the 16 ports is asked for at construction and given back at destruction;
// when it is refused (no root or CAP_SYS_RAWIO, or a kernel without port access) every access
// fails and error() holds errno.
class IsaPorts final : public PortAccess {
 public:
  IsaPorts(RawPorts& raw, uint32_t base);
  ~IsaPorts() override;
  bool usable() const { return usable_; }
  int error() const { return error_; }
  bool in(uint32_t port, unsigned width, uint32_t* value) override;
  bool out(uint32_t port, unsigned width, uint32_t value) override;

 private:
  bool inside(uint32_t port, unsigned width) const;
  RawPorts& raw_;
  uint32_t base_;
  bool usable_ = false;
  int error_ = 0;
};

// The register block of node `node` (at `base`) reached through lorandd's wide register requests;
// register_in/register_out use the byte register requests.
class DevicePorts final : public PortAccess {
 public:
  DevicePorts(SharedDevice& device, uint32_t node, uint32_t base);
  bool in(uint32_t port, unsigned width, uint32_t* value) override;
  bool out(uint32_t port, unsigned width, uint32_t value) override;
  bool register_in(uint32_t port, uint8_t* value) override;
  bool register_out(uint32_t port, uint8_t value) override;

 private:
  bool offset_of(uint32_t port, unsigned width, uint16_t* offset) const;
  SharedDevice& device_;
  uint32_t node_;
  uint32_t base_;
};

// A board object of the driver's own port interface (an in-process simulated board, for tests and
// benchmarks) seen as port access; every access succeeds.
class PortIoPorts final : public PortAccess {
 public:
  explicit PortIoPorts(lorand::PortIo& io) : io_(io) {}
  bool in(uint32_t port, unsigned width, uint32_t* value) override;
  bool out(uint32_t port, unsigned width, uint32_t value) override;
  bool register_in(uint32_t port, uint8_t* value) override;
  bool register_out(uint32_t port, uint8_t value) override;

 private:
  lorand::PortIo& io_;
};

}  // namespace cnbus
