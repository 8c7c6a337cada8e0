#pragma once
// The CNC's shared memory of a simulated node in a test's lorandd, reached through `cncsim peek`
// and `cncsim poke`: lets a test lay out and drive the MDI keyboard interface of a node whose
// simulator runs in another process.
#include <cstdio>
#include <string>

#include "cncsim/mdi_keyboard.h"
#include "testsupport/test_daemon.h"

namespace vorkey::test {

class ControlMemory final : public cncsim::SharedMemoryAccess {
 public:
  ControlMemory(const moxel::test::Daemon& daemon, int node) : daemon_(daemon), node_(node) {}

  void read(uint32_t offset, std::span<uint8_t> out) override {
    const auto r = daemon_.cncsim("peek " + std::to_string(node_) + " " + hex(0x20C00000 + offset) +
                                  " " + std::to_string(out.size()));
    std::string digits;
    for (char c : r.out)
      if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
    for (size_t i = 0; i < out.size(); ++i)
      out[i] = 2 * i + 1 < digits.size() ? uint8_t(std::stoi(digits.substr(2 * i, 2), nullptr, 16))
                                         : 0xFF;
  }
  void write(uint32_t offset, std::span<const uint8_t> data) override {
    std::string bytes;
    char b[3];
    for (uint8_t v : data) {
      std::snprintf(b, sizeof b, "%02x", v);
      bytes += b;
    }
    daemon_.cncsim("poke " + std::to_string(node_) + " " + hex(0x20C00000 + offset) + " " + bytes);
  }

 private:
  static std::string hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%x", v);
    return b;
  }
  const moxel::test::Daemon& daemon_;
  int node_;
};

}  // namespace vorkey::test
