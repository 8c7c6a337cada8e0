// Set up window through each of its branches, checked unit by unit against the board's trace.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cnbusclient/cnbus_client.h"
#include "cnbusclient/tests/daemon_fixture.h"

namespace cnbus {
namespace {

using testing::Daemon;
using testing::make_config;
using testing::TraceMatches;
using Lines = std::vector<std::string>;

constexpr uint32_t kNibble = 3;
constexpr uint16_t kWindowWord = 0xABCD;     // word at space 0x10 offset nibble x 16
constexpr uint16_t kDefaultSpace = 0x20;     // shared memory offset 0x16
constexpr uint32_t kDefaultOffset = 0x12C01234;  // shared memory offset 0x18 (top byte cut off)
constexpr uint16_t kFlagSpace = 0x20;        // communication area 0x16
constexpr uint32_t kFlagOffset0 = 0x00C02222;  // communication area 0x18
constexpr uint32_t kFlagOffset1 = 0x00D03333;  // communication area 0x1C

std::string line(const char* format, uint32_t a, uint32_t b) {
  char text[64];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

std::string le16(uint16_t v) { return line("%02x%02x", v & 0xFF, v >> 8); }
std::string le32(uint32_t v) { return le16(uint16_t(v)) + le16(uint16_t(v >> 16)); }

struct WindowCase {
  const char* name;
  int generation;
  uint16_t marker;  // word at 0xE0000 + (nibble + 0x30) x 16
  uint16_t flags;   // F, communication area 0x14
  int result;
};

// The units and register requests Set up window makes for a case, in order.
Lines expected_trace(const WindowCase& c) {
  const uint32_t gen = uint32_t(c.generation);
  Lines t = {"R2 100e0110 " + line("%04x", kNibble, 0), line("WP 9 %02x", kNibble, 0),
             "WP a 0a",     line("RP a %xa", gen, 0),
             "WP a 05",     line("RP a %x", gen, 0) + "5",
             line("R2 %08x %04x", 0x100E0000 + (kNibble + 0x30) * 16, c.marker)};
  bool failed = false;
  if ((c.marker & 0xFF) == 0xAA) {
    failed = true;
    if ((c.marker >> 12) >= 6 && (c.marker >> 12) != 10) return t;
  }
  t.push_back(line("RP a %x", gen, 0) + "5");
  uint16_t window = kWindowWord;
  auto map = [&](uint32_t window_register, uint32_t space, uint32_t offset, int size) {
    t.push_back(line("W2 %08x %04x", 0x10000000 + window_register, space));
    t.push_back(line("R2 %08x %04x", 0x10000000 + kNibble * 16, window));
    window = uint16_t((window & 0xFF) | ((offset >> 16) & 0xFF) << 8);
    t.push_back(line("W2 %08x %04x", 0x10000000 + kNibble * 16, window));
    t.push_back(line(size == 1 ? "R1 %08x ?" : "R2 %08x ?", (space & 0xFF) << 24 | offset, 0));
  };
  if (c.generation == 1) {
    t.push_back(line("W2 %08x %04x", 0x10000000 + (kNibble + 0x20) * 16, 0));
    t.push_back(line("R2 %08x %04x", 0x10000000 + kNibble * 16, window));
    t.push_back(line("W2 %08x %04x", 0x10000000 + kNibble * 16, window & 0xFF));
    t.push_back("R2 00000012 ?");
    return t;
  }
  t.push_back(line("R2 %08x %04x", 0x20CD0014, c.flags));
  if (failed || c.flags == 0) {
    t.push_back(line("R2 %08x %04x", 0x20C00016, kDefaultSpace));
    t.push_back(line("R4 %08x %08x", 0x20C00018, kDefaultOffset));
    map((kNibble + 0x20) * 16, kDefaultSpace, kDefaultOffset & 0xFFFFFF, 2);
    return t;
  }
  t.push_back(line("R2 %08x %04x", 0x20CD0016, kFlagSpace));
  if (c.flags & 1) {
    t.push_back(line("R4 %08x %08x", 0x20CD0018, kFlagOffset0));
    map((kNibble + 0x20) * 16, kFlagSpace, kFlagOffset0, 1);
  }
  if (c.flags & 2) {
    t.push_back(line("R4 %08x %08x", 0x20CD001C, kFlagOffset1));
    map((kNibble + 0xA0) * 16, kFlagSpace, kFlagOffset1, 1);
  }
  return t;
}

void prepare(const Daemon& daemon, const WindowCase& c) {
  daemon.poke(0, 0x100E0110, le16(kNibble));
  daemon.poke(0, 0x10000000 + kNibble * 16, le16(kWindowWord));
  daemon.poke(0, 0x100E0000 + (kNibble + 0x30) * 16, le16(c.marker));
  daemon.poke(0, 0x20CD0014, le16(c.flags) + le16(kFlagSpace) + le32(kFlagOffset0) +
                                 le32(kFlagOffset1));
  daemon.poke(0, 0x20C00016, le16(kDefaultSpace) + le32(kDefaultOffset));
}

void run_cases(const std::string& path, int generation, const std::vector<WindowCase>& cases) {
  Daemon daemon(make_config({{0, 0x300, 1, "Lathe"}}, path,
                            "BoardGeneration0=" + std::to_string(generation) + "\n"));
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CCnbusClient client;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    prepare(daemon, c);
    daemon.trace_start(0);
    EXPECT_EQ(client.SetUpWindow(), c.result);
    EXPECT_TRUE(TraceMatches(daemon.trace(0), expected_trace(c)));
  }
}

class CnbusSetUpWindow : public ::testing::TestWithParam<const char*> {};

TEST_P(CnbusSetUpWindow, GenerationTwoBranches) {
  run_cases(GetParam(), 2,
            {
                {"default mapping: F = 0", 2, 0x0000, 0, 1},
                {"F bit 0", 2, 0x0000, 1, 1},
                {"F bit 1", 2, 0x0000, 2, 1},
                {"F bits 0 and 1", 2, 0x0000, 3, 1},
                {"0xAA marker, level 5: test failed, default mapping", 2, 0x50AA, 3, 1},
                {"0xAA marker, level 10: test failed, default mapping", 2, 0xA0AA, 3, 1},
                {"0xAA marker, level 6: board too old", 2, 0x60AA, 3, 0},
                {"0xAA marker, level 15: board too old", 2, 0xF0AA, 0, 0},
                {"marker without 0xAA, level 6: F honoured", 2, 0x60AB, 1, 1},
            });
}

TEST_P(CnbusSetUpWindow, GenerationOne) {
  run_cases(GetParam(), 1,
            {
                {"generation 1", 1, 0x0000, 3, 1},
                {"generation 1 refused by the marker", 1, 0x70AA, 0, 0},
            });
}

INSTANTIATE_TEST_SUITE_P(Paths, CnbusSetUpWindow, ::testing::Values("driver", "direct"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace cnbus
