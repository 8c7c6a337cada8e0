#pragma once
// An in-memory node list and CNC memory for the window tests: records every access it is asked for.
#include <chrono>
#include <map>
#include <thread>
#include <string>
#include <vector>

#include "hexlook/node_access.h"

namespace hexlook::testing {

class FakeAccess : public NodeAccess {
 public:
  struct Write { uint32_t address, unit, value; };
  struct CellRead { uint32_t address, unit; int count; bool check_slot; };

  std::map<int, std::string> nodes;  // present nodes and their names
  int current = -1;
  uint8_t status = 0x50;  // link up and ready
  std::map<uint32_t, uint8_t> memory;  // bytes not set read as 0
  std::vector<Write> writes;
  std::vector<CellRead> cell_reads;
  int register_reads = 0;
  std::chrono::milliseconds read_delay{0};  // time each read_cells call takes

  bool available() const override { return !nodes.empty(); }
  std::vector<int> present_nodes() const override {
    std::vector<int> out;
    for (const auto& [n, name] : nodes) out.push_back(n);
    return out;
  }
  std::string node_name(int node) const override {
    auto it = nodes.find(node);
    return it == nodes.end() ? std::string() : it->second;
  }
  uint16_t port_base(int node) const override { return uint16_t(0x300 + 0x20 * node); }
  int current_node() const override { return current < 0 && !nodes.empty() ? nodes.begin()->first : current; }
  bool select_node(int node) override {
    if (!nodes.count(node)) return false;
    current = node;
    return true;
  }
  uint8_t read_register(uint32_t offset) override {
    ++register_reads;
    return offset == 9 ? status : uint8_t(0xA0 + offset);
  }
  void read_cells(uint32_t address, uint32_t unit, int count, bool check_slot,
                  uint32_t* values) override {
    cell_reads.push_back({address, unit, count, check_slot});
    std::this_thread::sleep_for(read_delay);
    for (int i = 0; i < count; ++i) {
      const uint32_t a = address + uint32_t(i) * unit;
      if (check_slot && !(status & 0x10)) {
        values[i] = unit == 1 ? 0xFF : unit == 2 ? 0xFFFF : 0xFFFFFFFF;
        continue;
      }
      uint32_t v = 0;
      for (uint32_t b = 0; b < unit; ++b) v |= uint32_t(byte(a + b)) << (8 * b);
      values[i] = v;
    }
  }
  void write_unit(uint32_t address, uint32_t unit, uint32_t value) override {
    writes.push_back({address, unit, value});
    for (uint32_t b = 0; b < unit; ++b) memory[address + b] = uint8_t(value >> (8 * b));
  }

  uint8_t byte(uint32_t a) const {
    auto it = memory.find(a);
    return it == memory.end() ? 0 : it->second;
  }
};

}  // namespace hexlook::testing
