#include "driver/host/host_platform.h"

#include <strings.h>

#include <cstdio>

namespace lorand::host {
namespace {
constexpr std::string_view kParameters = "Parameters";
}

void report_unusable_values(const moxel::ConfigData& config, bool at_start) {
  for (uint32_t n = 0; n < 8; ++n) {
    const std::string suffix = std::to_string(n);
    auto value = [&](const char* section, const char* stem) { return config.find(section, stem + suffix); };
    auto not_a_number = [&](const std::string* text) { return text && !moxel::parse_dword(*text); };
    if (const std::string* port = value("Parameters", "IoPortAddress"); at_start && not_a_number(port))
      std::fprintf(stderr, "lorandd: node %u: [Parameters] IoPortAddress%u=%s is not a number (decimal or 0x-hex); "
                   "the node is not used\n", n, n, port->c_str());
    if (const std::string* type = value("Parameters", "CncType"); not_a_number(type))
      std::fprintf(stderr, "lorandd: node %u: [Parameters] CncType%u=%s is not a number (decimal or 0x-hex); "
                   "the CNC type reads as 0\n", n, n, type->c_str());
    if (const std::string* name = value("Parameters", "NodeName")) {
      size_t characters = 0;
      for (unsigned char c : *name) characters += (c & 0xC0) != 0x80;
      if (characters > 19)
        std::fprintf(stderr, "lorandd: node %u: [Parameters] NodeName%u=%s is longer than 19 characters; "
                     "the name reads as empty\n", n, n, name->c_str());
    }
    const std::string* board = value("Host", "Board");
    if (at_start && board && strcasecmp(board->c_str(), "isa") != 0 && strcasecmp(board->c_str(), "sim") != 0)
      std::fprintf(stderr, "lorandd: node %u: [Host] Board%u=%s is neither isa nor sim; using isa\n", n, n,
                   board->c_str());
  }
}

HostPlatform::HostPlatform(std::filesystem::path config_file, moxel::ConfigData startup, RawPorts& raw,
                           SimBoardFactory sim, std::filesystem::path ioports)
    : raw_(raw),
      sim_(std::move(sim)),
      claims_(raw, std::move(ioports)),
      config_(std::move(config_file), std::move(startup)),
      startup_(config_.get(false)),
      reported_(startup_) {}

void HostPlatform::follow_changes() { following_ = true; }

std::shared_ptr<const moxel::ConfigData> HostPlatform::config() {
  std::shared_ptr<const moxel::ConfigData> now = config_.get(following_);
  std::lock_guard lock(reported_mutex_);
  if (now != reported_) {
    report_unusable_values(*now, false);
    reported_ = now;
  }
  return now;
}

BoardKind HostPlatform::board_kind(const moxel::ConfigData& config, uint32_t node) {
  const std::string value = config.string("Host", "Board" + std::to_string(node), "isa");
  return strcasecmp(value.c_str(), "sim") == 0 ? BoardKind::Sim : BoardKind::Isa;
}

// The parameters path names the driver's key; here it is always the [Parameters] section of
// lorand.conf, as it is now, so that changed names and types are seen at once.
std::optional<uint32_t> HostPlatform::query_dword(std::string_view, std::string_view name) {
  const auto config = this->config();
  const std::string* value = config->find(kParameters, name);
  if (!value) return std::nullopt;
  return moxel::parse_dword(*value);
}

std::optional<std::string> HostPlatform::query_string(std::string_view, std::string_view name) {
  const auto config = this->config();
  const std::string* value = config->find(kParameters, name);
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
  const bool real = board_kind(*startup_, node) == BoardKind::Isa;
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
  if (board_kind(*startup_, node) == BoardKind::Sim) return sim_(node, base);
  if (!isa_[node]) isa_[node] = std::make_unique<IsaPortIo>(raw_);
  return *isa_[node];
}

// Never reached: translate() reports no block in memory space.
uint32_t HostPlatform::read_register(uintptr_t, unsigned width) { return 0xFFFFFFFFu >> (32 - 8 * width); }
void HostPlatform::write_register(uintptr_t, unsigned, uint32_t) {}

}  // namespace lorand::host
