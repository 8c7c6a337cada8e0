#pragma once
// Real ISA boards: the PortIo over the processor's port instructions (moxel::RawPorts, so the backend
// and its port claim can be tested over fakes on machines without port access), and the claim of
// each node's 16 ports.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/core/port_io.h"
#include "platform/raw_ports.h"

namespace lorand::host {

using moxel::RawPorts;

class IsaPortIo final : public PortIo {
 public:
  explicit IsaPortIo(RawPorts& raw) : raw_(raw) {}
  uint8_t in8(uint32_t port) override { return raw_.inb(uint16_t(port)); }
  uint16_t in16(uint32_t port) override { return raw_.inw(uint16_t(port)); }
  uint32_t in32(uint32_t port) override { return raw_.inl(uint16_t(port)); }
  void out8(uint32_t port, uint8_t value) override { raw_.outb(uint16_t(port), value); }
  void out16(uint32_t port, uint16_t value) override { raw_.outw(uint16_t(port), value); }
  void out32(uint32_t port, uint32_t value) override { raw_.outl(uint16_t(port), value); }

 private:
  RawPorts& raw_;
};

// The port ranges held by the nodes of this daemon. A range is refused when it overlaps another
// node's, lies outside the 64 Ki I/O space, or (for a real board) overlaps a range that the kernel
// lists in /proc/ioports; a real board's range must also be opened with ioperm.
class PortClaims {
 public:
  explicit PortClaims(RawPorts& raw, std::filesystem::path ioports = "/proc/ioports")
      : raw_(raw), ioports_(std::move(ioports)) {}
  // True when claimed; otherwise *error says why.
  bool claim(uint32_t node, uint32_t base, uint32_t length, bool real, std::string* error);
  void release(uint32_t node);

 private:
  struct Range {
    uint32_t node, base, length;
    bool real;
  };
  RawPorts& raw_;
  std::filesystem::path ioports_;
  std::vector<Range> ranges_;
};

// The ranges listed in an /proc/ioports-style file that overlap [base, base + length): their lines.
std::vector<std::string> kernel_port_conflicts(const std::filesystem::path& ioports, uint32_t base,
                                               uint32_t length);

}  // namespace lorand::host
