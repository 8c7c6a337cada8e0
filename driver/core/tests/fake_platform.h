#pragma once
// Test doubles for the driver core: a board that records every port access and carries Cnbus units
// out on a small memory, and a platform with scripted configuration and failures.
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "driver/core/lnk_platform.h"
#include "driver/core/status.h"

namespace lorand::test {

struct Access {
  char op;          // 'i' in, 'o' out, 'I' register request in, 'O' register request out
  unsigned width;   // bytes
  uint32_t offset;  // from the board's base
  uint32_t value;
  bool operator==(const Access&) const = default;
};

class FakeBoard : public PortIo {
 public:
  explicit FakeBoard(uint32_t base) : base_(base) {}

  uint8_t in8(uint32_t port) override { return uint8_t(in(port, 1, 'i')); }
  uint16_t in16(uint32_t port) override { return uint16_t(in(port, 2, 'i')); }
  uint32_t in32(uint32_t port) override { return in(port, 4, 'i'); }
  void out8(uint32_t port, uint8_t v) override { out(port, 1, v, 'o'); }
  void out16(uint32_t port, uint16_t v) override { out(port, 2, v, 'o'); }
  void out32(uint32_t port, uint32_t v) override { out(port, 4, v, 'o'); }
  uint8_t register_in8(uint32_t port) override { return uint8_t(in(port, 1, 'I')); }
  void register_out8(uint32_t port, uint8_t v) override { out(port, 1, v, 'O'); }

  // Status values the next status reads return, in order; afterwards `status`.
  std::deque<uint8_t> status_script;
  uint8_t status = kStatusLink | kStatusReady;
  // After this many commands the board turns busy for good (-1: never).
  int busy_after_commands = -1;
  std::vector<Access> accesses;
  size_t busy_polls_not_recorded = 0;
  std::map<uint32_t, uint8_t> memory;  // Cnbus memory behind the window
  uint8_t registers[16] = {};
  int commands = 0;

 private:
  uint32_t in(uint32_t port, unsigned width, char op) {
    const uint32_t offset = port - base_;
    uint32_t value = 0;
    if (offset == kRegStatus && width == 1) {
      if (!status_script.empty()) {
        value = status_script.front();
        status_script.pop_front();
      } else {
        value = busy_after_commands >= 0 && commands >= busy_after_commands ? kStatusBusy : status;
      }
      // A board that stays busy is polled thousands of times; keep only the first few.
      if ((value & kStatusBusy) && busy_polls_recorded_ >= 16) {
        ++busy_polls_not_recorded;
        return value;
      }
      if (value & kStatusBusy) ++busy_polls_recorded_;
    } else {
      for (unsigned i = 0; i < width && offset + i < 16; ++i) value |= uint32_t(registers[offset + i]) << (8 * i);
    }
    accesses.push_back({op, width, offset, value});
    return value;
  }
  void out(uint32_t port, unsigned width, uint32_t value, char op) {
    const uint32_t offset = port - base_;
    accesses.push_back({op, width, offset, value});
    for (unsigned i = 0; i < width && offset + i < 16; ++i) registers[offset + i] = uint8_t(value >> (8 * i));
    if (offset == kRegCommand && width == 1 && op == 'o') {
      ++commands;
      const unsigned size = value & 7;
      const uint32_t address = registers[4] | registers[5] << 8 | registers[6] << 16 | uint32_t(registers[7]) << 24;
      for (unsigned i = 0; i < size; ++i) {
        if (value & 0x80) registers[i] = memory.count(address + i) ? memory[address + i] : 0xFF;
        else memory[address + i] = registers[i];
      }
    }
  }
  uint32_t base_;
  size_t busy_polls_recorded_ = 0;
};

class FakePlatform : public LnkPlatform {
 public:
  std::map<std::string, uint32_t> dwords;
  std::map<std::string, std::string> strings;
  std::set<uint32_t> fail_device, fail_claim, memory_space;
  bool fail_link = false;
  int fail_allocation = -1;  // index of the allocation that fails
  int allocations = 0;
  std::vector<std::string> log;
  std::map<uint32_t, std::unique_ptr<FakeBoard>> boards;
  std::map<uintptr_t, uint8_t> mapped_registers;  // memory-space blocks, by address
  std::vector<std::string> queried_paths;

  bool allocate(size_t) override { return allocations++ != fail_allocation; }
  std::optional<uint32_t> query_dword(std::string_view path, std::string_view name) override {
    queried_paths.emplace_back(path);
    auto it = dwords.find(std::string(name));
    if (it == dwords.end()) return std::nullopt;
    return it->second;
  }
  std::optional<std::string> query_string(std::string_view path, std::string_view name) override {
    queried_paths.emplace_back(path);
    auto it = strings.find(std::string(name));
    if (it == strings.end()) return std::nullopt;
    return it->second;
  }
  bool create_device(uint32_t node, std::string_view name) override {
    if (fail_device.count(node)) return false;
    log.push_back("create " + std::string(name));
    return true;
  }
  void delete_device(uint32_t node) override { log.push_back("delete " + std::to_string(node)); }
  bool create_link(std::string_view link, std::string_view device) override {
    if (fail_link) return false;
    log.push_back("link " + std::string(link) + " -> " + std::string(device));
    return true;
  }
  void delete_link(std::string_view link) override { log.push_back("unlink " + std::string(link)); }
  bool claim_ports(uint32_t node, uint32_t base, uint32_t length) override {
    if (fail_claim.count(node)) return false;
    char text[64];
    std::snprintf(text, sizeof text, "claim %u 0x%X %u", node, base, length);
    log.push_back(text);
    node_of_base[base] = node;
    return true;
  }
  void release_ports(uint32_t node) override { log.push_back("release " + std::to_string(node)); }
  uint64_t translate(uint32_t bus_address, uint32_t* address_space) override {
    const uint32_t node = node_of_base[bus_address];
    *address_space = memory_space.count(node) ? kAddressSpaceMemory : kAddressSpaceIo;
    return memory_space.count(node) ? 0xF0000000ull + bus_address : bus_address;
  }
  uintptr_t map_io(uint64_t physical, uint32_t length) override {
    log.push_back("map " + std::to_string(length));
    return uintptr_t(physical) + 0x100000;
  }
  void unmap_io(uintptr_t, uint32_t length) override { log.push_back("unmap " + std::to_string(length)); }
  PortIo& port_io(uint32_t node, uint32_t base) override {
    auto& b = boards[node];
    if (!b) b = std::make_unique<FakeBoard>(base);
    return *b;
  }
  uint32_t read_register(uintptr_t address, unsigned width) override {
    log.push_back("read_register " + std::to_string(width));
    uint32_t v = 0;
    for (unsigned i = 0; i < width; ++i) v |= uint32_t(mapped_registers[address + i]) << (8 * i);
    return v;
  }
  void write_register(uintptr_t address, unsigned width, uint32_t value) override {
    log.push_back("write_register " + std::to_string(width));
    for (unsigned i = 0; i < width; ++i) mapped_registers[address + i] = uint8_t(value >> (8 * i));
  }

  // The board of a node, made before load so its status at load can be scripted.
  FakeBoard& board(uint32_t node, uint32_t base) { return static_cast<FakeBoard&>(port_io(node, base)); }

 private:
  std::map<uint32_t, uint32_t> node_of_base;
};

}  // namespace lorand::test
