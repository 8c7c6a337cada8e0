#include "driver/host/host_platform.h"

#include <strings.h>

namespace lorand::host {
namespace {
constexpr std::string_view kParameters = "Parameters";
}

HostPlatform::HostPlatform(std::filesystem::path config_file, RawPorts& raw, SimBoardFactory sim,
                           std::filesystem::path ioports)
    : config_file_(std::move(config_file)), raw_(raw), sim_(std::move(sim)), claims_(raw, std::move(ioports)) {}

BoardKind HostPlatform::board_kind(const moxel::ConfigData& config, uint32_t node) {
  const std::string value = config.string("Host", "Board" + std::to_string(node), "isa");
  return strcasecmp(value.c_str(), "sim") == 0 ? BoardKind::Sim : BoardKind::Isa;
}

// The parameters path names the driver's key; here it is always the [Parameters] section of
// lorand.conf, read afresh so that changed names and types are seen at once.
std::optional<uint32_t> HostPlatform::query_dword(std::string_view, std::string_view name) {
  const moxel::ConfigData config = moxel::load_config(config_file_);
  const std::string* value = config.find(kParameters, name);
  if (!value) return std::nullopt;
  return moxel::parse_dword(*value);
}

std::optional<std::string> HostPlatform::query_string(std::string_view, std::string_view name) {
  const moxel::ConfigData config = moxel::load_config(config_file_);
  const std::string* value = config.find(kParameters, name);
  if (!value) return std::nullopt;
  return *value;
}

bool HostPlatform::create_device(uint32_t node, std::string_view name) {
  if (node >= devices_.size()) return false;
  devices_[node] = std::string(name);
  return true;
}

void HostPlatform::delete_device(uint32_t node) {
  if (node < devices_.size()) devices_[node].clear();
}

bool HostPlatform::create_link(std::string_view, std::string_view device) {
  link_ = std::string(device);
  return true;
}

void HostPlatform::delete_link(std::string_view) { link_.clear(); }

bool HostPlatform::claim_ports(uint32_t node, uint32_t base, uint32_t length) {
  const moxel::ConfigData config = moxel::load_config(config_file_);
  const bool real = board_kind(config, node) == BoardKind::Isa;
  return claims_.claim(node, base, length, real, &claim_errors_[node]);
}

void HostPlatform::release_ports(uint32_t node) { claims_.release(node); }

// Ports on this machine are ports: the block always lies in I/O space.
uint64_t HostPlatform::translate(uint32_t bus_address, uint32_t* address_space) {
  *address_space = kAddressSpaceIo;
  return bus_address;
}

uintptr_t HostPlatform::map_io(uint64_t, uint32_t) { return 0; }
void HostPlatform::unmap_io(uintptr_t, uint32_t) {}

PortIo& HostPlatform::port_io(uint32_t node, uint32_t base) {
  const moxel::ConfigData config = moxel::load_config(config_file_);
  if (board_kind(config, node) == BoardKind::Sim) return sim_(node, base);
  if (!isa_[node]) isa_[node] = std::make_unique<IsaPortIo>(raw_);
  return *isa_[node];
}

// Never reached: translate() reports no block in memory space.
uint32_t HostPlatform::read_register(uintptr_t, unsigned width) { return 0xFFFFFFFFu >> (32 - 8 * width); }
void HostPlatform::write_register(uintptr_t, unsigned, uint32_t) {}

}  // namespace lorand::host
