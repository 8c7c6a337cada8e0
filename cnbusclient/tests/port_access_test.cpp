// Port access of the direct path: the ISA backend over a fake of the processor's port instructions
// (this kernel offers no ioperm), and the register protocol run through it against an in-process
// simulated board.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "cnbusclient/direct_units.h"
#include "cnbusclient/port_access.h"
#include "driver/core/port_io.h"

#ifdef CNBUS_HAVE_CNCSIM
#include "cncsim/node.h"
#endif

namespace cnbus {
namespace {

// Records each call; forwards port accesses to a board when one is given.
class FakeRawPorts : public RawPorts {
 public:
  int ioperm_result = 0;
  int ioperm_errno = 0;
  lorand::PortIo* board = nullptr;
  std::vector<std::string> log;

  int permit(unsigned long from, unsigned long count, bool on) override {
    log.push_back(fmt("ioperm %lx %lu %d", from, count, int(on)));
    if (ioperm_result != 0) errno = ioperm_errno;
    return ioperm_result;
  }
  uint8_t inb(uint16_t p) override {
    log.push_back(fmt("inb %x", p));
    return board ? board->in8(p) : 0x11;
  }
  uint16_t inw(uint16_t p) override {
    log.push_back(fmt("inw %x", p));
    return board ? board->in16(p) : 0x2222;
  }
  uint32_t inl(uint16_t p) override {
    log.push_back(fmt("inl %x", p));
    return board ? board->in32(p) : 0x44444444;
  }
  void outb(uint16_t p, uint8_t v) override {
    log.push_back(fmt("outb %x %x", p, v));
    if (board) board->out8(p, v);
  }
  void outw(uint16_t p, uint16_t v) override {
    log.push_back(fmt("outw %x %x", p, v));
    if (board) board->out16(p, v);
  }
  void outl(uint16_t p, uint32_t v) override {
    log.push_back(fmt("outl %x %x", p, v));
    if (board) board->out32(p, v);
  }

 private:
  template <typename... A>
  static std::string fmt(const char* f, A... a) {
    char b[64];
    std::snprintf(b, sizeof b, f, a...);
    return b;
  }
};

using Log = std::vector<std::string>;

TEST(CnbusIsaPorts, RefusedPermissionMakesEveryAccessFail) {
  FakeRawPorts raw;
  raw.ioperm_result = -1;
  raw.ioperm_errno = ENOSYS;
  {
    IsaPorts ports(raw, 0x300);
    EXPECT_FALSE(ports.usable());
    EXPECT_EQ(ports.error(), ENOSYS);
    uint32_t v = 7;
    EXPECT_FALSE(ports.in(0x309, 1, &v));
    EXPECT_EQ(v, 7u);
    EXPECT_FALSE(ports.out(0x300, 4, 1));
    // The protocol gives a unit up at once instead of waiting.
    DirectUnits units(ports, 0x300);
    EXPECT_FALSE(units.read(0x20C00000, 4).has_value());
  }
  // Asked once, never given back since it was never granted; no port instruction ran.
  EXPECT_EQ(raw.log, (Log{"ioperm 300 16 1"}));
}

TEST(CnbusIsaPorts, AccessesGoToTheBlockWithTheirWidth) {
  FakeRawPorts raw;
  {
    IsaPorts ports(raw, 0x320);
    ASSERT_TRUE(ports.usable());
    uint32_t v = 0;
    EXPECT_TRUE(ports.in(0x329, 1, &v));
    EXPECT_EQ(v, 0x11u);
    EXPECT_TRUE(ports.in(0x320, 2, &v));
    EXPECT_EQ(v, 0x2222u);
    EXPECT_TRUE(ports.in(0x320, 4, &v));
    EXPECT_EQ(v, 0x44444444u);
    EXPECT_TRUE(ports.out(0x324, 4, 0x20C00010));
    EXPECT_TRUE(ports.out(0x328, 1, 0x84));
    EXPECT_TRUE(ports.out(0x320, 2, 0xBEEF));
    uint8_t b = 0;
    EXPECT_TRUE(ports.register_in(0x32A, &b));
    EXPECT_EQ(b, 0x11);
    // Outside the 16 ports, across their end, or of an odd width: refused without an access.
    EXPECT_FALSE(ports.in(0x31F, 1, &v));
    EXPECT_FALSE(ports.in(0x330, 1, &v));
    EXPECT_FALSE(ports.in(0x32E, 4, &v));
    EXPECT_FALSE(ports.out(0x320, 3, 0));
  }
  EXPECT_EQ(raw.log, (Log{"ioperm 320 16 1", "inb 329", "inw 320", "inl 320", "outl 324 20c00010",
                          "outb 328 84", "outw 320 beef", "inb 32a", "ioperm 320 16 0"}));
}

TEST(CnbusIsaPorts, BaseBeyondThePortRangeIsRefused) {
  FakeRawPorts raw;
  IsaPorts ports(raw, 0xFFF8);
  EXPECT_FALSE(ports.usable());
  EXPECT_EQ(ports.error(), EINVAL);
  EXPECT_TRUE(raw.log.empty());
}

#ifdef CNBUS_HAVE_CNCSIM
// The register protocol through the ISA backend against a simulated board, as on real hardware.
class CnbusIsaOnSimulatedBoard : public ::testing::Test {
 protected:
  CnbusIsaOnSimulatedBoard() : node_(0, 0x300, cncsim::NodeSettings{}, {}) {
    raw_.board = &node_;
  }
  FakeRawPorts raw_;
  cncsim::Node node_;
};

TEST_F(CnbusIsaOnSimulatedBoard, UnitsReachCncMemoryLittleEndian) {
  IsaPorts ports(raw_, 0x300);
  DirectUnits units(ports, 0x300);
  const uint8_t bytes[] = {0x44, 0x33, 0x22, 0x11};
  ASSERT_TRUE(node_.poke(0x20C01000, bytes));
  node_.trace_start();
  EXPECT_EQ(units.read(0x20C01000, 4), std::optional<uint32_t>(0x11223344));
  EXPECT_EQ(units.read(0x20C01002, 2), std::optional<uint32_t>(0x1122));
  EXPECT_TRUE(units.write(0x20C01001, 1, 0xAB));
  EXPECT_EQ(units.read(0x20C01000, 4), std::optional<uint32_t>(0x1122AB44));
  EXPECT_EQ(node_.trace_lines(), (Log{"R4 20c01000 11223344", "R2 20c01002 1122",
                                      "W1 20c01001 ab", "R4 20c01000 1122ab44"}));
}

TEST_F(CnbusIsaOnSimulatedBoard, LinkDownTouchesNeitherAddressNorCommandRegister) {
  IsaPorts ports(raw_, 0x300);
  DirectUnits units(ports, 0x300);
  node_.set_link(false);
  node_.trace_start();
  raw_.log.clear();
  EXPECT_FALSE(units.read(0x20C01000, 4).has_value());
  EXPECT_FALSE(units.write(0x20C01000, 4, 0x12345678));
  EXPECT_TRUE(node_.trace_lines().empty());
  EXPECT_EQ(raw_.log, (Log{"inb 309", "inb 309"}));
}
#endif

}  // namespace
}  // namespace cnbus
