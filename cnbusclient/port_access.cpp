#include "cnbusclient/port_access.h"

#include <cerrno>

#include "cnbusclient/shared_device.h"
#include "driver/core/port_io.h"
#include "driver/core/status.h"

namespace cnbus {

bool PortAccess::register_in(uint32_t port, uint8_t* value) {
  uint32_t v = 0;
  if (!in(port, 1, &v)) return false;
  *value = uint8_t(v);
  return true;
}

bool PortAccess::register_out(uint32_t port, uint8_t value) { return out(port, 1, value); }

namespace {

bool valid_width(unsigned width) { return width == 1 || width == 2 || width == 4; }

}  // namespace

// --- ISA board ---

IsaPorts::IsaPorts(RawPorts& raw, uint32_t base) : raw_(raw), base_(base) {
  // The in/out instructions take 16-bit port numbers.
  if (base > 0xFFFF - lorand::kRegisterBlockSize + 1) {
    error_ = EINVAL;
    return;
  }
  if (raw_.permit(base_, lorand::kRegisterBlockSize, true) == 0) {
    usable_ = true;
  } else {
    error_ = errno;
  }
}

IsaPorts::~IsaPorts() {
  if (usable_) raw_.permit(base_, lorand::kRegisterBlockSize, false);
}

bool IsaPorts::inside(uint32_t port, unsigned width) const {
  return usable_ && valid_width(width) && port >= base_ &&
         port - base_ + width <= lorand::kRegisterBlockSize;
}

bool IsaPorts::in(uint32_t port, unsigned width, uint32_t* value) {
  if (!inside(port, width)) return false;
  const auto p = uint16_t(port);
  switch (width) {
    case 1: *value = raw_.inb(p); break;
    case 2: *value = raw_.inw(p); break;
    default: *value = raw_.inl(p); break;
  }
  return true;
}

bool IsaPorts::out(uint32_t port, unsigned width, uint32_t value) {
  if (!inside(port, width)) return false;
  const auto p = uint16_t(port);
  switch (width) {
    case 1: raw_.outb(p, uint8_t(value)); break;
    case 2: raw_.outw(p, uint16_t(value)); break;
    default: raw_.outl(p, value); break;
  }
  return true;
}

// --- lorandd register requests ---

namespace {

void put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

}  // namespace

DevicePorts::DevicePorts(SharedDevice& device, uint32_t node, uint32_t base)
    : device_(device), node_(node), base_(base) {}

bool DevicePorts::offset_of(uint32_t port, unsigned width, uint16_t* offset) const {
  if (!valid_width(width) || port < base_ || port - base_ + width > lorand::kRegisterBlockSize)
    return false;
  *offset = uint16_t(port - base_);
  return true;
}

bool DevicePorts::in(uint32_t port, unsigned width, uint32_t* value) {
  uint16_t offset = 0;
  if (!offset_of(port, width, &offset)) return false;
  uint8_t request[sizeof(lorand::LnkNodeWideRegisterRequest)] = {};
  put32(request, node_);
  put16(request + 4, offset);
  request[6] = uint8_t(width);
  uint8_t out[4] = {};
  auto r = device_.control(lorand::IOCTL_LNK_READ_PORT_WIDE, request, std::span(out, width));
  if (!lorand::nt_success(r.status) || r.information != width) return false;
  uint32_t v = 0;
  for (unsigned i = 0; i < width; ++i) v |= uint32_t(out[i]) << (8 * i);
  *value = v;
  return true;
}

bool DevicePorts::out(uint32_t port, unsigned width, uint32_t value) {
  uint16_t offset = 0;
  if (!offset_of(port, width, &offset)) return false;
  uint8_t request[sizeof(lorand::LnkNodeWideRegisterRequest)] = {};
  put32(request, node_);
  put16(request + 4, offset);
  request[6] = uint8_t(width);
  put32(request + 8, value);
  auto r = device_.control(lorand::IOCTL_LNK_WRITE_PORT_WIDE, request, {});
  return lorand::nt_success(r.status);
}

bool DevicePorts::register_in(uint32_t port, uint8_t* value) {
  uint16_t offset = 0;
  if (!offset_of(port, 1, &offset)) return false;
  uint8_t request[sizeof(lorand::LnkNodeRegisterRequest)] = {};
  put32(request, node_);
  put16(request + 4, offset);
  uint8_t out[1] = {};
  auto r = device_.control(lorand::IOCTL_LNK_READ_PORT, request, out);
  if (!lorand::nt_success(r.status) || r.information != 1) return false;
  *value = out[0];
  return true;
}

bool DevicePorts::register_out(uint32_t port, uint8_t value) {
  uint16_t offset = 0;
  if (!offset_of(port, 1, &offset)) return false;
  uint8_t request[sizeof(lorand::LnkNodeRegisterRequest)] = {};
  put32(request, node_);
  put16(request + 4, offset);
  request[6] = value;
  auto r = device_.control(lorand::IOCTL_LNK_WRITE_PORT, request, {});
  return lorand::nt_success(r.status);
}

// --- in-process board ---

bool PortIoPorts::in(uint32_t port, unsigned width, uint32_t* value) {
  switch (width) {
    case 1: *value = io_.in8(port); return true;
    case 2: *value = io_.in16(port); return true;
    case 4: *value = io_.in32(port); return true;
    default: return false;
  }
}

bool PortIoPorts::out(uint32_t port, unsigned width, uint32_t value) {
  switch (width) {
    case 1: io_.out8(port, uint8_t(value)); return true;
    case 2: io_.out16(port, uint16_t(value)); return true;
    case 4: io_.out32(port, value); return true;
    default: return false;
  }
}

bool PortIoPorts::register_in(uint32_t port, uint8_t* value) {
  *value = io_.register_in8(port);
  return true;
}

bool PortIoPorts::register_out(uint32_t port, uint8_t value) {
  io_.register_out8(port, value);
  return true;
}

}  // namespace cnbus
