#pragma once
// A scripted CNC behind the vantor calls: nodes, paths, parameters, failing calls, and a log of
// every call made, for the tests of Featly's logic and dialog.
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "featly/featly_core.h"

namespace featly::testing {

struct FakeCnc {
  struct Node {
    int32_t number;
    bool usable = true;
    bool connects = true;
    std::vector<int> paths = {1};
    int16_t current_path = 1;
    // number -> (type, value); the info lists them in map order unless `info` is set
    std::map<int16_t, std::pair<int16_t, int16_t>> params = {{9900, {0, 0x12}}, {9950, {2, -7}}};
    std::vector<std::pair<int16_t, int16_t>> info;  // raw info entries, when set
  };
  std::vector<Node> nodes;
  // A call named here fails with the status; a count limits how many times.
  std::map<std::string, int16_t> fail;
  std::map<std::string, int> fail_times;
  std::vector<std::string> log;
  std::vector<std::vector<uint8_t>> writes;
  std::map<uint16_t, size_t> handles;  // handle -> node index
  uint16_t next_handle = 10;

  static FakeCnc*& current() {
    static FakeCnc* cnc = nullptr;
    return cnc;
  }
  FakeCnc() { current() = this; }
  ~FakeCnc() { current() = nullptr; }

  int16_t failure(const std::string& name) {
    log.push_back(name);
    const auto it = fail.find(name);
    if (it == fail.end()) return 0;
    auto times = fail_times.find(name);
    if (times != fail_times.end()) {
      if (times->second == 0) return 0;
      --times->second;
    }
    return it->second;
  }
  Node& node_of(uint16_t h) { return nodes[handles.at(h)]; }

  static int16_t rdnodenum(int32_t* count) {
    auto& c = *current();
    if (int16_t s = c.failure("cnc_rdnodenum")) return s;
    *count = int32_t(c.nodes.size());
    return 0;
  }
  static int16_t rdnodeinfo(int32_t index, VANTOR_NODEINFO* info) {
    auto& c = *current();
    if (int16_t s = c.failure("cnc_rdnodeinfo:" + std::to_string(index))) return s;
    *info = VANTOR_NODEINFO{};
    info->node_no = c.nodes[size_t(index)].number;
    info->supported = c.nodes[size_t(index)].usable ? 1 : 0;
    info->present = 1;
    return 0;
  }
  static int16_t allclibhndl2(int32_t node, uint16_t* handle) {
    auto& c = *current();
    c.log.push_back("cnc_allclibhndl2:" + std::to_string(node));
    for (size_t i = 0; i < c.nodes.size(); ++i)
      if (c.nodes[i].number == node) {
        if (!c.nodes[i].connects) return -16;
        *handle = c.next_handle++;
        c.handles[*handle] = i;
        return 0;
      }
    return 3;
  }
  static int16_t getpath(uint16_t h, int16_t* path, int16_t* max) {
    auto& c = *current();
    if (int16_t s = c.failure("cnc_getpath:" + std::to_string(c.node_of(h).number))) return s;
    *path = c.node_of(h).current_path;
    *max = int16_t(c.node_of(h).paths.size());
    return 0;
  }
  static int16_t setpath(uint16_t h, int16_t path) {
    auto& c = *current();
    if (int16_t s = c.failure("cnc_setpath:" + std::to_string(path))) return s;
    auto& n = c.node_of(h);
    for (int p : n.paths)
      if (p == path) {
        n.current_path = path;
        return 0;
      }
    return 11;
  }
  static int16_t rdparainfo(uint16_t h, int16_t first, uint16_t count, void* out) {
    auto& c = *current();
    if (int16_t s = c.failure("cnc_rdparainfo")) return s;
    auto& n = c.node_of(h);
    auto entries = n.info;
    if (entries.empty())
      for (const auto& [number, tv] : n.params) entries.push_back({number, tv.first});
    auto* b = static_cast<uint8_t*>(out);
    std::memset(b, 0, 6 + 4 * size_t(count));
    int16_t k = 0;
    for (const auto& [number, type] : entries) {
      if (number < first || k == count) continue;
      std::memcpy(b + 6 + 4 * k, &number, 2);
      std::memcpy(b + 8 + 4 * k, &type, 2);
      ++k;
    }
    std::memcpy(b, &k, 2);
    return 0;
  }
  static int16_t rdparam(uint16_t h, int16_t number, int16_t, int16_t, void* out) {
    auto& c = *current();
    if (int16_t s = c.failure("cnc_rdparam:" + std::to_string(number))) return s;
    const auto& tv = c.node_of(h).params.at(number);
    auto* b = static_cast<uint8_t*>(out);
    std::memcpy(b, &number, 2);
    std::memcpy(b + 2, &tv.first, 2);
    std::memcpy(b + 4, &tv.second, 2);
    return 0;
  }
  static int16_t wrparam(uint16_t h, int16_t length, const void* in) {
    auto& c = *current();
    if (int16_t s = c.failure("cnc_wrparam")) return s;
    const auto* b = static_cast<const uint8_t*>(in);
    c.writes.emplace_back(b, b + length);
    int16_t number;
    std::memcpy(&number, b, 2);
    auto& tv = c.node_of(h).params.at(number);
    tv.second = length == 5 ? int16_t(b[4]) : int16_t(b[4] | (b[5] << 8));
    return 0;
  }
  static int16_t freelibhndl(uint16_t h) {
    auto& c = *current();
    if (int16_t s = c.failure("cnc_freelibhndl")) return s;
    c.handles.erase(h);
    return 0;
  }
  static VantorCalls calls() {
    return {rdnodenum, rdnodeinfo, allclibhndl2, getpath,    setpath,
            rdparainfo, rdparam,   wrparam,      freelibhndl};
  }
};

}  // namespace featly::testing
