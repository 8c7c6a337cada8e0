#pragma once
// The processor's I/O port instructions and the permission call that opens ports to a process,
// behind an interface: the users (lorandd's ISA backend and port claim, the driver client's direct
// path on ISA boards) are tested over fakes where the kernel offers no port access.
#include <cstdint>

namespace moxel {

class RawPorts {
 public:
  virtual ~RawPorts() = default;
  // As ioperm(2) for [from, from + count): 0 on success, -1 with errno set on failure.
  virtual int permit(unsigned long from, unsigned long count, bool on) = 0;
  virtual uint8_t inb(uint16_t port) = 0;
  virtual uint16_t inw(uint16_t port) = 0;
  virtual uint32_t inl(uint16_t port) = 0;
  virtual void outb(uint16_t port, uint8_t value) = 0;
  virtual void outw(uint16_t port, uint16_t value) = 0;
  virtual void outl(uint16_t port, uint32_t value) = 0;
};

// The machine's own instructions (root or CAP_SYS_RAWIO). Only x86 has them; elsewhere permit
// fails with ENOSYS, and with no permission no port instruction is ever reached.
RawPorts& system_raw_ports();

}  // namespace moxel
