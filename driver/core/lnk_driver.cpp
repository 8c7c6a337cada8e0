#include "driver/core/lnk_driver.h"

#include <bit>
#include <cstring>

namespace lorand {
namespace {

constexpr std::string_view kDeviceStem = "\\Device\\LORAND";
constexpr std::string_view kLinkName = "\\DosDevices\\LORAND";
constexpr uint32_t kNodeNameOutput = 20;  // bytes of the name answer, NUL included
constexpr size_t kNodeNameChars = 19;

uint32_t load32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t load16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
void store32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}
void store16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

// Polls the status register until the busy bit is clear. The clock is looked at only every few
// hundred polls so that a quick board costs nothing but port reads.
bool wait_not_busy(PortIo& io, uint32_t base, std::chrono::nanoseconds bound) {
  const uint32_t status = base + kRegStatus;
  if (!(io.in8(status) & kStatusBusy)) return true;
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    for (int i = 0; i < 256; ++i)
      if (!(io.in8(status) & kStatusBusy)) return true;
    if (std::chrono::steady_clock::now() - start >= bound) return false;
  }
}

template <typename T>
void data_in(PortIo& io, uint32_t port, T* value) {
  if constexpr (sizeof(T) == 1) *value = io.in8(port);
  else if constexpr (sizeof(T) == 2) *value = io.in16(port);
  else *value = io.in32(port);
}
template <typename T>
void data_out(PortIo& io, uint32_t port, T value) {
  if constexpr (sizeof(T) == 1) io.out8(port, value);
  else if constexpr (sizeof(T) == 2) io.out16(port, value);
  else io.out32(port, value);
}

// One unit's register transaction; the caller holds the node's lock.
template <typename T>
bool read_unit_held(PortIo& io, uint32_t base, uint32_t address, T* value,
                    std::chrono::nanoseconds bound) {
  if (!wait_not_busy(io, base, bound)) return false;
  io.out32(base + kRegAddress, address);
  io.out8(base + kRegCommand, uint8_t(0x80 | sizeof(T)));
  if (!wait_not_busy(io, base, bound)) return false;
  data_in(io, base + kRegData, value);
  return true;
}

template <typename T>
bool write_unit_held(PortIo& io, uint32_t base, uint32_t address, T value,
                     std::chrono::nanoseconds bound) {
  if (!wait_not_busy(io, base, bound)) return false;
  data_out(io, base + kRegData, value);
  io.out32(base + kRegAddress, address);
  io.out8(base + kRegCommand, uint8_t(sizeof(T)));
  return true;
}

template <typename T>
bool read_unit(PortIo& io, uint32_t base, uint32_t address, std::mutex& lock, T* value,
               std::chrono::nanoseconds bound) {
  std::lock_guard guard(lock);
  return read_unit_held(io, base, address, value, bound);
}

template <typename T>
bool write_unit(PortIo& io, uint32_t base, uint32_t address, std::mutex& lock, T value,
                std::chrono::nanoseconds bound) {
  std::lock_guard guard(lock);
  return write_unit_held(io, base, address, value, bound);
}

// One aligned unit of `size` bytes at `address`, data little-endian at `p`; the lock is held.
bool unit_held(PortIo& io, uint32_t base, uint32_t address, uint8_t* p, uint32_t size, bool write,
               std::chrono::nanoseconds bound) {
  if (write) {
    if (size == 1) return write_unit_held(io, base, address, p[0], bound);
    if (size == 2) return write_unit_held(io, base, address, load16(p), bound);
    return write_unit_held(io, base, address, load32(p), bound);
  }
  if (size == 1) return read_unit_held(io, base, address, p, bound);
  if (size == 2) {
    uint16_t v = 0;
    if (!read_unit_held(io, base, address, &v, bound)) return false;
    store16(p, v);
    return true;
  }
  uint32_t v = 0;
  if (!read_unit_held(io, base, address, &v, bound)) return false;
  store32(p, v);
  return true;
}

// `count` aligned units of sizeof(T) bytes from `address` upwards, data little-endian at `p`; the
// node's lock is held. Each unit is exactly the register transaction of a single request's unit.
// Returns the units done: fewer than `count` when a unit's busy wait ran out.
template <typename T, bool kWrite>
uint32_t aligned_units_held(PortIo& io, uint32_t base, uint32_t address, uint8_t* p, uint32_t count,
                            std::chrono::nanoseconds bound) {
  for (uint32_t i = 0; i < count; ++i, p += sizeof(T), address += sizeof(T)) {
    T value;
    if constexpr (kWrite) {
      std::memcpy(&value, p, sizeof(T));
      if (!write_unit_held(io, base, address, value, bound)) return i;
    } else {
      if (!read_unit_held(io, base, address, &value, bound)) return i;
      std::memcpy(p, &value, sizeof(T));
    }
  }
  return count;
}

static_assert(std::endian::native == std::endian::little, "unit data is moved as little-endian bytes");

using AlignedUnits = uint32_t (*)(PortIo&, uint32_t, uint32_t, uint8_t*, uint32_t, std::chrono::nanoseconds);

AlignedUnits aligned_units_for(uint32_t unit, bool write) {
  switch (unit) {
    case 1: return write ? aligned_units_held<uint8_t, true> : aligned_units_held<uint8_t, false>;
    case 2: return write ? aligned_units_held<uint16_t, true> : aligned_units_held<uint16_t, false>;
    default: return write ? aligned_units_held<uint32_t, true> : aligned_units_held<uint32_t, false>;
  }
}

// Number of UTF-8 characters in `text`, or -1 when it is not valid UTF-8.
long utf8_length(std::string_view text) {
  long count = 0;
  for (size_t i = 0; i < text.size();) {
    const auto c = uint8_t(text[i]);
    size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || (n == 2 && c < 0xC2) || i + n > text.size()) return -1;
    for (size_t k = 1; k < n; ++k)
      if ((uint8_t(text[i + k]) & 0xC0) != 0x80) return -1;
    i += n;
    ++count;
  }
  return count;
}

}  // namespace

std::string_view MakeIndexdName(std::array<char, 64>& buffer, std::string_view stem, uint32_t index) {
  buffer.fill(0);
  const std::string digits = std::to_string(index);
  const size_t room = buffer.size() - 1;
  const size_t stem_length = std::min(stem.size(), room);
  std::memcpy(buffer.data(), stem.data(), stem_length);
  const size_t digit_length = std::min(digits.size(), room - stem_length);
  std::memcpy(buffer.data() + stem_length, digits.data(), digit_length);
  return std::string_view(buffer.data(), stem_length + digit_length);
}

LnkDriver::~LnkDriver() {
  if (loaded_) LnkUnload();
}

NTSTATUS LnkDriver::DriverEntry(std::string_view registry_path) {
  if (!platform_.allocate(sizeof(void*) * kNodeSlots)) return STATUS_INSUFFICIENT_RESOURCES;
  static constexpr std::string_view kSuffix = "\\Parameters";
  if (!platform_.allocate(registry_path.size() + kSuffix.size() + 2)) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  parameters_path_ = std::string(registry_path) + std::string(kSuffix);

  int come_up = 0;
  std::array<char, 64> name{};
  for (uint32_t n = 0; n < kNodeSlots; ++n) {
    nodes_[n].reset();
    const uint32_t port =
        platform_.query_dword(parameters_path_, MakeIndexdName(name, "IoPortAddress", n)).value_or(0);
    if (port == 0) continue;
    const std::string device(MakeIndexdName(name, kDeviceStem, n));
    if (!platform_.create_device(n, device)) continue;
    auto record = std::make_unique<LnkNodeExtension>();
    if (come_up == 0 && !platform_.create_link(kLinkName, device)) {
      platform_.delete_device(n);
      continue;
    }
    if (!platform_.claim_ports(n, port, kRegisterBlockSize)) {
      if (come_up == 0) platform_.delete_link(kLinkName);
      platform_.delete_device(n);
      continue;
    }
    uint32_t address_space = kAddressSpaceIo;
    const uint64_t translated = platform_.translate(port, &address_space);
    uint8_t status;
    if (address_space == kAddressSpaceMemory) {
      record->base = platform_.map_io(translated, kRegisterBlockSize);
      record->mapped = true;
      status = uint8_t(platform_.read_register(record->base + kRegStatus, 1));
    } else {
      record->base = uint32_t(translated);
      record->mapped = false;
      record->io = &platform_.port_io(n, uint32_t(record->base));
      status = record->io->in8(uint32_t(record->base) + kRegStatus);
    }
    record->node_state = (status & kStatusBusy) ? STATUS_INVALID_DEVICE_STATE : STATUS_SUCCESS;
    record->address_space = address_space;
    ++come_up;
    nodes_[n] = std::move(record);
  }
  if (come_up == 0) {
    parameters_path_.clear();
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  loaded_ = true;
  return STATUS_SUCCESS;
}

void LnkDriver::LnkUnload() {
  platform_.delete_link(kLinkName);
  for (uint32_t n = 0; n < kNodeSlots; ++n) {
    if (!nodes_[n]) continue;
    if (nodes_[n]->mapped) platform_.unmap_io(nodes_[n]->base, kRegisterBlockSize);
    platform_.release_ports(n);
    platform_.delete_device(n);
    nodes_[n].reset();
  }
  parameters_path_.clear();
  loaded_ = false;
}

void LnkDriver::Dispatch(LnkRequest& request) {
  switch (request.major) {
    case IRP_MJ_READ: LnkReadCnbus(request); break;
    case IRP_MJ_WRITE: LnkWriteCnbus(request); break;
    default: LnkDispatch(request); break;
  }
}

void LnkDriver::LnkDispatch(LnkRequest& request) {
  request.information = 0;
  // A host that hands in a buffer smaller than the lengths it claims gets a refusal, not an overrun.
  const bool control = request.major == IRP_MJ_DEVICE_CONTROL;
  if (control && request.buffer.size() < std::max(request.input_length, request.output_length)) {
    request.status = STATUS_INVALID_PARAMETER;
    return;
  }
  switch (request.major) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
      request.status = STATUS_SUCCESS;
      return;
    case IRP_MJ_DEVICE_CONTROL:
      break;
    default:
      request.status = STATUS_NOT_IMPLEMENTED;
      return;
  }
  switch (request.control_code) {
    case IOCTL_LNK_NODE_READY:
    case IOCTL_LNK_GET_FIXED_VALUE:
    case IOCTL_LNK_GET_NODE_COUNT:
    case IOCTL_LNK_GET_PORT_ADDRESS:
    case IOCTL_LNK_GET_CNC_TYPE: LnkIoctlSetInfo(request); break;
    case IOCTL_LNK_GET_NODE_NAME: LnkIoctlGetNodeName(request); break;
    case IOCTL_LNK_READ_PORT: LnkIoctlReadPort(request); break;
    case IOCTL_LNK_WRITE_PORT: LnkIoctlWritePort(request); break;
    case IOCTL_LNK_READ_PORT_WIDE: LnkIoctlReadPortWide(request); break;
    case IOCTL_LNK_WRITE_PORT_WIDE: LnkIoctlWritePortWide(request); break;
    default: request.status = STATUS_NOT_IMPLEMENTED; break;
  }
}

uint32_t LnkDriver::GetCncType(uint32_t node) {
  std::array<char, 64> name{};
  return platform_.query_dword(parameters_path_, MakeIndexdName(name, "CncType", node)).value_or(0);
}

void LnkDriver::LnkIoctlSetInfo(LnkRequest& request) {
  uint8_t* buffer = request.buffer.data();
  uint32_t node = 0;
  if (request.control_code != IOCTL_LNK_GET_NODE_COUNT) {
    if (request.input_length < 4) {
      request.status = STATUS_INVALID_PARAMETER;
      return;
    }
    node = load32(buffer);
    if (node >= kNodeSlots) {
      request.status = STATUS_INVALID_PARAMETER;
      return;
    }
  }
  if (request.output_length < 4) {
    request.status = STATUS_INVALID_PARAMETER;
    return;
  }
  uint32_t result = 0;
  switch (request.control_code) {
    case IOCTL_LNK_NODE_READY:
      result = nodes_[node] && nodes_[node]->node_state == STATUS_SUCCESS ? 1 : 0;
      break;
    case IOCTL_LNK_GET_FIXED_VALUE: result = 2; break;
    case IOCTL_LNK_GET_NODE_COUNT: result = kNodeSlots; break;
    case IOCTL_LNK_GET_PORT_ADDRESS: result = nodes_[node] ? uint32_t(nodes_[node]->base) : 0; break;
    case IOCTL_LNK_GET_CNC_TYPE: result = GetCncType(node); break;
  }
  store32(buffer, result);
  request.information = 4;
  request.status = STATUS_SUCCESS;
}

void LnkDriver::LnkIoctlGetNodeName(LnkRequest& request) {
  uint8_t* buffer = request.buffer.data();
  if (request.input_length < 4 || request.output_length < kNodeNameOutput ||
      load32(buffer) >= kNodeSlots) {
    request.status = STATUS_INVALID_PARAMETER;
    return;
  }
  const uint32_t node = load32(buffer);
  std::array<char, 64> value_name{};
  std::string name =
      platform_.query_string(parameters_path_, MakeIndexdName(value_name, "NodeName", node))
          .value_or(std::string());
  // A name of more than 19 characters does not fit the 20-character buffer and reads as empty; so
  // does text that is not UTF-8 (it cannot be converted).
  const long characters = utf8_length(name);
  if (characters < 0 || size_t(characters) > kNodeNameChars) name.clear();
  // The answer is the name's bytes; a name of at most 19 characters whose bytes exceed 19 is cut at
  // the last character boundary that fits, so the 20-byte answer always ends in its NUL.
  size_t length = name.size();
  if (length > kNodeNameChars) {
    length = kNodeNameChars;
    while (length > 0 && (uint8_t(name[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(buffer, name.data(), length);
  buffer[length] = 0;
  request.information = uint32_t(length + 1);
  request.status = STATUS_SUCCESS;
}

NTSTATUS LnkDriver::check_node(uint32_t n) const {
  if (n >= kNodeSlots) return STATUS_INVALID_PARAMETER;
  if (!nodes_[n]) return STATUS_NO_SUCH_DEVICE;
  return nodes_[n]->node_state;
}

// The checks the register requests share once their lengths have passed: the node (number, device,
// state), then the width (the wide requests; `width_ok` says whether it and the output length fit),
// then the offset (inside the block and aligned to the width). Null, with the request's status set,
// when one fails; else the node, with its register offset in *offset.
const LnkNodeExtension* LnkDriver::register_target(LnkRequest& request, unsigned width,
                                                   bool width_ok, uint16_t* offset) {
  const uint8_t* buffer = request.buffer.data();
  const uint32_t n = load32(buffer);
  *offset = load16(buffer + 4);
  NTSTATUS s = check_node(n);
  if (s == STATUS_SUCCESS && !width_ok) s = STATUS_INVALID_PARAMETER;
  if (s == STATUS_SUCCESS && (*offset >= kRegisterBlockSize || *offset % width != 0))
    s = STATUS_ACCESS_VIOLATION;
  request.status = s;
  return s == STATUS_SUCCESS ? nodes_[n].get() : nullptr;
}

void LnkDriver::LnkIoctlReadPort(LnkRequest& request) {
  if (request.input_length < sizeof(LnkNodeRegisterRequest) || request.output_length < 1) {
    request.status = STATUS_INVALID_PARAMETER;
    return;
  }
  uint16_t offset;
  const LnkNodeExtension* node = register_target(request, 1, true, &offset);
  if (!node) return;
  request.buffer[0] = node->address_space == kAddressSpaceIo
                          ? node->io->register_in8(uint32_t(node->base) + offset)
                          : uint8_t(platform_.read_register(node->base + offset, 1));
  request.information = 1;
}

void LnkDriver::LnkIoctlWritePort(LnkRequest& request) {
  request.information = 0;
  if (request.input_length < sizeof(LnkNodeRegisterRequest)) {
    request.status = STATUS_INVALID_PARAMETER;
    return;
  }
  uint16_t offset;
  const LnkNodeExtension* node = register_target(request, 1, true, &offset);
  if (!node) return;
  const uint8_t value = request.buffer[6];
  if (node->address_space == kAddressSpaceIo) {
    node->io->register_out8(uint32_t(node->base) + offset, value);
  } else {
    platform_.write_register(node->base + offset, 1, value);
  }
}

namespace {
bool valid_width(unsigned width) { return width == 1 || width == 2 || width == 4; }
}  // namespace

// Wide register requests: the byte requests' checks, plus the width (1, 2 or 4, else
// STATUS_INVALID_PARAMETER) and the offset aligned to it (else STATUS_ACCESS_VIOLATION).
void LnkDriver::LnkIoctlReadPortWide(LnkRequest& request) {
  if (request.input_length < sizeof(LnkNodeWideRegisterRequest) || request.output_length < 1) {
    request.status = STATUS_INVALID_PARAMETER;
    return;
  }
  const uint8_t width = request.buffer[6];
  uint16_t offset;
  const LnkNodeExtension* node =
      register_target(request, width, valid_width(width) && request.output_length >= width, &offset);
  if (!node) return;
  uint32_t value;
  if (node->address_space == kAddressSpaceIo) {
    const uint32_t port = uint32_t(node->base) + offset;
    value = width == 1 ? node->io->in8(port) : width == 2 ? node->io->in16(port) : node->io->in32(port);
  } else {
    value = platform_.read_register(node->base + offset, width);
  }
  for (unsigned i = 0; i < width; ++i) request.buffer[i] = uint8_t(value >> (8 * i));
  request.information = width;
}

void LnkDriver::LnkIoctlWritePortWide(LnkRequest& request) {
  request.information = 0;
  if (request.input_length < sizeof(LnkNodeWideRegisterRequest)) {
    request.status = STATUS_INVALID_PARAMETER;
    return;
  }
  const uint8_t width = request.buffer[6];
  uint16_t offset;
  const LnkNodeExtension* node = register_target(request, width, valid_width(width), &offset);
  if (!node) return;
  const uint32_t value = load32(request.buffer.data() + 8);
  if (node->address_space == kAddressSpaceIo) {
    const uint32_t port = uint32_t(node->base) + offset;
    if (width == 1) node->io->out8(port, uint8_t(value));
    else if (width == 2) node->io->out16(port, uint16_t(value));
    else node->io->out32(port, value);
  } else {
    platform_.write_register(node->base + offset, width, value);
  }
}

bool LnkDriver::LnkCnbusRead1Byte(PortIo& io, uint32_t base, uint32_t address, std::mutex& lock,
                                  uint8_t* value, std::chrono::nanoseconds bound) {
  return read_unit(io, base, address, lock, value, bound);
}
bool LnkDriver::LnkCnbusRead1Word(PortIo& io, uint32_t base, uint32_t address, std::mutex& lock,
                                  uint16_t* value, std::chrono::nanoseconds bound) {
  return read_unit(io, base, address, lock, value, bound);
}
bool LnkDriver::LnkCnbusRead1Dword(PortIo& io, uint32_t base, uint32_t address, std::mutex& lock,
                                   uint32_t* value, std::chrono::nanoseconds bound) {
  return read_unit(io, base, address, lock, value, bound);
}
bool LnkDriver::LnkCnbusWrite1Byte(PortIo& io, uint32_t base, uint32_t address, std::mutex& lock,
                                   uint8_t value, std::chrono::nanoseconds bound) {
  return write_unit(io, base, address, lock, value, bound);
}
bool LnkDriver::LnkCnbusWrite1Word(PortIo& io, uint32_t base, uint32_t address, std::mutex& lock,
                                   uint16_t value, std::chrono::nanoseconds bound) {
  return write_unit(io, base, address, lock, value, bound);
}
bool LnkDriver::LnkCnbusWrite1Dword(PortIo& io, uint32_t base, uint32_t address, std::mutex& lock,
                                    uint32_t value, std::chrono::nanoseconds bound) {
  return write_unit(io, base, address, lock, value, bound);
}

void LnkDriver::LnkReadCnbus(LnkRequest& request) { transfer(request, false); }
void LnkDriver::LnkWriteCnbus(LnkRequest& request) { transfer(request, true); }

// The checks a Cnbus request makes before its first unit: the node (number, device, state) and the
// address space; the node, or null with the request's status set.
LnkNodeExtension* LnkDriver::transfer_target(LnkRequest& request) {
  const uint32_t n = uint32_t(request.file_position >> 32);
  if (NTSTATUS s = check_node(n); s != STATUS_SUCCESS) {
    request.status = s;
    return nullptr;
  }
  if (nodes_[n]->address_space != kAddressSpaceIo) {
    request.status = STATUS_NOT_IMPLEMENTED;
    return nullptr;
  }
  if (request.buffer.size() < request.length) {
    request.status = STATUS_INVALID_PARAMETER;
    return nullptr;
  }
  return nodes_[n].get();
}

// The units of `length` bytes at `address`: an odd byte and an odd word first, then double words,
// then a word and a byte. Adds the bytes moved to *done; false at a busy timeout.
bool LnkDriver::transfer_units(LnkNodeExtension& node, uint32_t address, uint8_t* data,
                               uint32_t length, bool write, bool lock_held, uint32_t* done) {
  PortIo& io = *node.io;
  const uint32_t base = uint32_t(node.base);
  uint32_t remaining = length;

  auto unit = [&](uint32_t size) -> bool {
    bool ok;
    uint8_t* p = data;
    if (lock_held) {
      ok = unit_held(io, base, address, p, size, write, busy_bound_);
    } else if (write) {
      if (size == 1) ok = LnkCnbusWrite1Byte(io, base, address, node.access_lock, p[0], busy_bound_);
      else if (size == 2) ok = LnkCnbusWrite1Word(io, base, address, node.access_lock, load16(p), busy_bound_);
      else ok = LnkCnbusWrite1Dword(io, base, address, node.access_lock, load32(p), busy_bound_);
    } else if (size == 1) {
      ok = LnkCnbusRead1Byte(io, base, address, node.access_lock, p, busy_bound_);
    } else if (size == 2) {
      uint16_t v = 0;
      ok = LnkCnbusRead1Word(io, base, address, node.access_lock, &v, busy_bound_);
      if (ok) store16(p, v);
    } else {
      uint32_t v = 0;
      ok = LnkCnbusRead1Dword(io, base, address, node.access_lock, &v, busy_bound_);
      if (ok) store32(p, v);
    }
    if (!ok) return false;
    address += size;
    data += size;
    *done += size;
    remaining -= size;
    return true;
  };

  if (remaining >= 1 && (address & 1) && !unit(1)) return false;
  if (remaining >= 2 && (address & 2) && !unit(2)) return false;
  for (uint32_t count = remaining / 4; count > 0; --count)
    if (!unit(4)) return false;
  if (remaining >= 2 && !unit(2)) return false;
  if (remaining == 1 && !unit(1)) return false;
  return true;
}

void LnkDriver::transfer(LnkRequest& request, bool write) {
  request.information = request.length;
  LnkNodeExtension* node = transfer_target(request);
  if (!node) return;
  uint32_t done = 0;
  if (!transfer_units(*node, uint32_t(request.file_position), request.buffer.data(), request.length,
                      write, false, &done)) {
    request.information = done;
    request.status = STATUS_IO_TIMEOUT;
    return;
  }
  request.status = STATUS_SUCCESS;
}

void LnkDriver::LnkRunCnbus(LnkRequest& request, uint32_t unit, bool write,
                            const std::function<bool()>& cancelled) {
  request.information = 0;
  if ((unit != 1 && unit != 2 && unit != 4) || request.length % unit != 0) {
    request.status = STATUS_INVALID_PARAMETER;
    return;
  }
  // Every unit is a request to the same node, so the checks come out the same for each: made once.
  LnkNodeExtension* node = transfer_target(request);
  if (!node) return;
  uint32_t address = uint32_t(request.file_position);
  uint32_t done = 0;
  uint8_t* p = request.buffer.data();
  // From an aligned address every unit of the run is one aligned unit of its size: those go
  // through a loop made for the size and direction. Otherwise each is cut as a request of `unit`
  // bytes at its address would be.
  const AlignedUnits aligned = address % unit == 0 ? aligned_units_for(unit, write) : nullptr;
  while (done < request.length) {
    if (cancelled && cancelled()) {
      request.information = done;
      request.status = STATUS_CANCELLED;
      return;
    }
    // The node's lock is held for a stretch of units, not taken again for each: between stretches
    // other requests to the node get their turn, as between single requests.
    std::lock_guard guard(node->access_lock);
    const uint32_t stretch = std::min(request.length - done, kRunCheckInterval * unit);
    uint32_t moved = 0;
    if (aligned) {
      moved = aligned(*node->io, uint32_t(node->base), address, p, stretch / unit, busy_bound_) * unit;
    } else {
      uint32_t bytes = 0;  // counted by transfer_units; `moved` counts whole units only
      for (; moved < stretch; moved += unit)
        if (!transfer_units(*node, address + moved, p + moved, unit, write, true, &bytes)) break;
    }
    done += moved;
    p += moved;
    address += moved;
    if (moved < stretch) {
      // A unit cut short by the board reports none of its bytes, as a request of its own would
      // report only what came before it in that request.
      request.information = done;
      request.status = STATUS_IO_TIMEOUT;
      return;
    }
  }
  request.information = done;
  request.status = STATUS_SUCCESS;
}

}  // namespace lorand
