#include "platform/raw_ports.h"

#include <cerrno>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define MOXEL_HAVE_PORT_IO 1
#endif

namespace moxel {
namespace {

class SystemRawPorts final : public RawPorts {
 public:
#ifdef MOXEL_HAVE_PORT_IO
  int permit(unsigned long from, unsigned long count, bool on) override {
    return ::ioperm(from, count, on ? 1 : 0);
  }
  uint8_t inb(uint16_t port) override { return ::inb(port); }
  uint16_t inw(uint16_t port) override { return ::inw(port); }
  uint32_t inl(uint16_t port) override { return ::inl(port); }
  void outb(uint16_t port, uint8_t value) override { ::outb(value, port); }
  void outw(uint16_t port, uint16_t value) override { ::outw(value, port); }
  void outl(uint16_t port, uint32_t value) override { ::outl(value, port); }
#else
  int permit(unsigned long, unsigned long, bool) override {
    errno = ENOSYS;
    return -1;
  }
  // An ISA bus answers a read of a port nobody drives with all ones.
  uint8_t inb(uint16_t) override { return 0xFF; }
  uint16_t inw(uint16_t) override { return 0xFFFF; }
  uint32_t inl(uint16_t) override { return 0xFFFFFFFF; }
  void outb(uint16_t, uint8_t) override {}
  void outw(uint16_t, uint16_t) override {}
  void outl(uint16_t, uint32_t) override {}
#endif
};

}  // namespace

RawPorts& system_raw_ports() {
  static SystemRawPorts ports;
  return ports;
}

}  // namespace moxel
