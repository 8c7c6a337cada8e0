#pragma once
// What the driver core needs from the system that hosts it: configuration values, device and link
// objects, the claim of each node's port range, bus-address translation and mapping, and access to
// the register blocks. A kernel layer, the lorandd daemon and the unit tests each provide one.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "driver/core/port_io.h"

namespace lorand {

// Address spaces reported by bus-address translation.
constexpr uint32_t kAddressSpaceMemory = 0;
constexpr uint32_t kAddressSpaceIo = 1;

class LnkPlatform {
 public:
  virtual ~LnkPlatform() = default;

  // Pool memory for the node table and the parameters path; false when the allocation fails.
  virtual bool allocate(size_t bytes) { (void)bytes; return true; }

  // One configuration value under the absolute key `path`; nullopt when it is absent or cannot be
  // read (the caller then uses the value's default). Strings are UTF-8.
  virtual std::optional<uint32_t> query_dword(std::string_view path, std::string_view name) = 0;
  virtual std::optional<std::string> query_string(std::string_view path, std::string_view name) = 0;

  // The device object of a node ("\Device\LORAND<n>") and the one link to the lowest node.
  virtual bool create_device(uint32_t node, std::string_view name) = 0;
  virtual void delete_device(uint32_t node) = 0;
  virtual bool create_link(std::string_view link, std::string_view device) = 0;
  virtual void delete_link(std::string_view link) = 0;

  // Exclusive claim of `length` ports from `base` for a node; false when the claim fails or
  // conflicts with another holder. release_ports drops the node's claim (an empty claim).
  virtual bool claim_ports(uint32_t node, uint32_t base, uint32_t length) = 0;
  virtual void release_ports(uint32_t node) = 0;

  // Bus-address translation on ISA bus 0: *address_space is 1 (I/O) on input and says on output
  // where the block really lies (1 I/O ports, 0 memory).
  virtual uint64_t translate(uint32_t bus_address, uint32_t* address_space) = 0;
  // Non-cached mapping of a block in memory space, and its removal.
  virtual uintptr_t map_io(uint64_t physical, uint32_t length) = 0;
  virtual void unmap_io(uintptr_t address, uint32_t length) = 0;

  // Port access to the register block of a node in I/O space.
  virtual PortIo& port_io(uint32_t node, uint32_t base) = 0;
  // Memory access to a mapped register block (width 1, 2 or 4 bytes).
  virtual uint32_t read_register(uintptr_t address, unsigned width) = 0;
  virtual void write_register(uintptr_t address, unsigned width, uint32_t value) = 0;
};

}  // namespace lorand
