#pragma once
// The driver core's platform inside lorandd: the configuration file instead of the registry,
// in-process device records, the port claim of each node, and per node either real ISA ports or a
// simulated board.
#include <array>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "driver/core/lnk_platform.h"
#include "driver/host/isa_ports.h"
#include "platform/config_store.h"

namespace lorand::host {

enum class BoardKind { Isa, Sim };

// Makes the simulated board of a node (the CNC simulator, or a plain memory board).
using SimBoardFactory = std::function<PortIo&(uint32_t node, uint32_t base)>;

// Logs every value of lorand.conf that the daemon cannot use, naming its node and key, and what is
// used instead. `at_start` adds the values read only at start (ports, board kinds).
void report_unusable_values(const moxel::ConfigData& config, bool at_start);

class HostPlatform final : public LnkPlatform {
 public:
  // `config_file` is lorand.conf and `startup` its contents as the daemon read them at start: load
  // sets every node up from them. After follow_changes() a query sees the file as it is then (it
  // is parsed again only when it changed).
  HostPlatform(std::filesystem::path config_file, moxel::ConfigData startup, RawPorts& raw,
               SimBoardFactory sim, std::filesystem::path ioports = "/proc/ioports");
  void follow_changes();

  static BoardKind board_kind(const moxel::ConfigData& config, uint32_t node);

  std::optional<uint32_t> query_dword(std::string_view path, std::string_view name) override;
  std::optional<std::string> query_string(std::string_view path, std::string_view name) override;
  bool create_device(uint32_t node, std::string_view name) override;
  void delete_device(uint32_t node) override;
  bool create_link(std::string_view link, std::string_view device) override;
  void delete_link(std::string_view link) override;
  bool claim_ports(uint32_t node, uint32_t base, uint32_t length) override;
  void release_ports(uint32_t node) override;
  uint64_t translate(uint32_t bus_address, uint32_t* address_space) override;
  uintptr_t map_io(uint64_t physical, uint32_t length) override;
  void unmap_io(uintptr_t address, uint32_t length) override;
  PortIo& port_io(uint32_t node, uint32_t base) override;
  uint32_t read_register(uintptr_t address, unsigned width) override;
  void write_register(uintptr_t address, unsigned width, uint32_t value) override;

  // What load did with each node, for the log.
  const std::string& device_name(uint32_t node) const { return devices_[node]; }
  const std::string& link_target() const { return link_; }
  const std::string& claim_error(uint32_t node) const { return claim_errors_[node]; }

 private:
  std::shared_ptr<const moxel::ConfigData> config();

  RawPorts& raw_;
  SimBoardFactory sim_;
  PortClaims claims_;
  std::array<std::string, 8> devices_;
  std::array<std::string, 8> claim_errors_;
  std::string link_;
  std::array<std::unique_ptr<PortIo>, 8> isa_;
  moxel::ConfigFile config_;
  const std::shared_ptr<const moxel::ConfigData> startup_;  // board kinds never change after load
  std::atomic<bool> following_{false};
  std::mutex reported_mutex_;
  std::shared_ptr<const moxel::ConfigData> reported_;  // the contents last checked for the log
};

}  // namespace lorand::host
