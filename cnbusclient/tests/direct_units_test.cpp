// The direct path's register protocol over a scripted port layer: the exact access sequence of each
// unit, the link test, the bound on the busy wait, and failures of the port layer.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "cnbusclient/direct_units.h"

namespace cnbus {
namespace {

constexpr uint32_t kBase = 0x300;

// Records every access as "in<w> <offset>" / "out<w> <offset> <value>"; the status register answers
// from a script (then `idle_status`), the data register with `data`.
class ScriptedPorts : public PortAccess {
 public:
  std::deque<uint8_t> status_script;
  uint8_t idle_status = 0x50;
  uint32_t data = 0;
  int fail_after = -1;  // accesses allowed before every access fails (-1: never)
  std::vector<std::string> log;

  bool in(uint32_t port, unsigned width, uint32_t* value) override {
    if (!allowed()) return false;
    log.push_back("in" + std::to_string(width) + " " + hex(port - kBase));
    if (port - kBase == 9) {
      *value = status_script.empty() ? idle_status : status_script.front();
      if (!status_script.empty()) status_script.pop_front();
    } else {
      *value = data;
    }
    return true;
  }
  bool out(uint32_t port, unsigned width, uint32_t value) override {
    if (!allowed()) return false;
    log.push_back("out" + std::to_string(width) + " " + hex(port - kBase) + " " + hex(value));
    return true;
  }

 private:
  bool allowed() {
    if (fail_after == 0) return false;
    if (fail_after > 0) --fail_after;
    return true;
  }
  static std::string hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%x", v);
    return b;
  }
};

using Log = std::vector<std::string>;

struct ReadCase {
  const char* name;
  unsigned size;
  std::deque<uint8_t> statuses;
  bool expect_value;
  Log expect_log;
};

TEST(CnbusDirectUnits, ReadSequences) {
  const ReadCase cases[] = {
      {"byte, board idle", 1, {}, true,
       {"in1 9", "out4 4 20c01001", "out1 8 81", "in1 9", "in1 0"}},
      {"dword, busy before and after the command", 4, {0xD0, 0xD0, 0x50, 0xC0, 0x40}, true,
       {"in1 9", "in1 9", "in1 9", "out4 4 20c01001", "out1 8 84", "in1 9", "in1 9", "in4 0"}},
      {"link down at the first status read", 4, {0x10}, false, {"in1 9"}},
      {"link down while busy before the command", 2, {0xC0, 0x80}, false, {"in1 9", "in1 9"}},
      {"link lost while the unit runs", 2, {0x50, 0x90}, false,
       {"in1 9", "out4 4 20c01001", "out1 8 82", "in1 9"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPorts ports;
    ports.status_script = c.statuses;
    ports.data = 0xA1B2C3D4 & (c.size == 4 ? 0xFFFFFFFF : (1u << (8 * c.size)) - 1);
    DirectUnits units(ports, kBase);
    auto value = units.read(0x20C01001, c.size);
    EXPECT_EQ(value.has_value(), c.expect_value);
    if (c.expect_value) {
      EXPECT_EQ(*value, ports.data);
    }
    EXPECT_EQ(ports.log, c.expect_log);
  }
}

struct WriteCase {
  const char* name;
  bool control;
  uint32_t address;
  unsigned size;
  std::deque<uint8_t> statuses;
  bool expect_done;
  Log expect_log;
};

TEST(CnbusDirectUnits, WriteSequences) {
  const WriteCase cases[] = {
      {"word write does not wait for its end", false, 0x20C02002, 2, {0x50}, true,
       {"in1 9", "out2 0 3344", "out4 4 20c02002", "out1 8 2"}},
      {"dword write after a busy board", false, 0x20C02004, 4, {0xC0, 0x40}, true,
       {"in1 9", "in1 9", "out4 0 11223344", "out4 4 20c02004", "out1 8 4"}},
      {"write with the link down writes nothing", false, 0x20C02000, 1, {0x00}, false, {"in1 9"}},
      {"control word ignores the link bit", true, 0x30800000, 2, {0x80, 0x00}, true,
       {"in1 9", "in1 9", "out2 0 3344", "out4 4 30800000", "out1 8 2"}},
      {"control word at an odd address writes nothing", true, 0x30800001, 2, {}, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPorts ports;
    ports.status_script = c.statuses;
    DirectUnits units(ports, kBase);
    const uint32_t value = c.size == 4 ? 0x11223344 : c.size == 2 ? 0x3344 : 0x44;
    bool done = c.control ? units.write_control_word(c.address, uint16_t(value))
                          : units.write(c.address, c.size, value);
    EXPECT_EQ(done, c.expect_done);
    EXPECT_EQ(ports.log, c.expect_log);
  }
}

TEST(CnbusDirectUnits, StuckBusyBoardIsGivenUpAfterTheBound) {
  ScriptedPorts ports;
  ports.idle_status = 0xC0;  // link up, busy for ever
  const auto bound = std::chrono::milliseconds(20);
  DirectUnits units(ports, kBase, bound);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(units.read(0x20C00000, 4).has_value());
  EXPECT_GE(std::chrono::steady_clock::now() - start, bound);
  EXPECT_FALSE(units.write(0x20C00000, 4, 1));
  EXPECT_FALSE(units.write_control_word(0x30800000, 0x10));
  // Only status reads: the address and command registers were never touched.
  ASSERT_GT(ports.log.size(), 3u);
  for (const auto& line : ports.log) EXPECT_EQ(line, "in1 9");
}

TEST(CnbusDirectUnits, FailedPortAccessGivesTheUnitUp) {
  for (int allowed = 0; allowed < 5; ++allowed) {
    SCOPED_TRACE(allowed);
    ScriptedPorts ports;
    ports.fail_after = allowed;
    DirectUnits units(ports, kBase);
    EXPECT_FALSE(units.read(0x20C00000, 4).has_value());
    EXPECT_EQ(ports.log.size(), size_t(allowed));
  }
}

TEST(CnbusDirectUnits, RegisterAccessStaysInsideTheBlock) {
  ScriptedPorts ports;
  ports.idle_status = 0x5A;
  DirectUnits units(ports, kBase);
  EXPECT_EQ(units.read_register(9), std::optional<uint8_t>(0x5A));
  EXPECT_TRUE(units.write_register(10, 0x0A));
  EXPECT_FALSE(units.read_register(16).has_value());
  EXPECT_FALSE(units.write_register(16, 1));
  EXPECT_EQ(ports.log, (Log{"in1 9", "out1 a a"}));
}

}  // namespace
}  // namespace cnbus
