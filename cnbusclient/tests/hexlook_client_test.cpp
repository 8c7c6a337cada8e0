// The memory viewer's variant of the client: no folding, no window operations, node positions,
// register reads, and ReadCells with its status-bit-4 guard, batched on the driver path.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cnbusclient/cnbus_client.h"
#include "cnbusclient/tests/daemon_fixture.h"

namespace cnbus {
namespace {

using testing::Daemon;
using testing::EmptyRoot;
using testing::make_config;
using testing::TraceMatches;
using Lines = std::vector<std::string>;

TEST(CnbusHexlookClientNoDevice, UnavailableResults) {
  EmptyRoot root;
  CHexlookCnbusClient client;
  EXPECT_EQ(client.IsAvailable(), 0);
  EXPECT_EQ(client.GetNodePosition(0), -1);
  EXPECT_EQ(client.GetNodeName(0), "");
  EXPECT_EQ(client.GetPortBase(0), 0xFFFF);
  EXPECT_EQ(client.ReadBoardRegister(9), 0xFF);
  uint32_t values[3] = {1, 2, 3};
  client.ReadCells(0x20C00000, 2, 3, true, values);
  EXPECT_EQ(values[0], 0xFFFFu);
  EXPECT_EQ(values[2], 0xFFFFu);
}

class CnbusHexlookClient : public ::testing::TestWithParam<const char*> {
 protected:
  std::string config(const std::string& simulator = "") const {
    return make_config({{2, 0x320, 2, "Mill"}, {5, 0x350, 4, "Grinder"}}, GetParam(), simulator);
  }
};

TEST_P(CnbusHexlookClient, NodeListWithPositions) {
  Daemon daemon(config());
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CHexlookCnbusClient client;
  EXPECT_EQ(client.GetCurrentNode(), 2);
  EXPECT_EQ(client.GetNodePosition(2), 0);
  EXPECT_EQ(client.GetNodePosition(5), 1);
  EXPECT_EQ(client.GetNodePosition(3), -1);
  EXPECT_EQ(client.GetNodePosition(8), -1);
  EXPECT_EQ(client.GetNodeName(5), "Grinder");
  EXPECT_EQ(client.GetNodeName(), "Mill");
  EXPECT_EQ(client.GetPortBase(2), 0x320);
  EXPECT_EQ(client.GetPortBase(5), 0x350);
  EXPECT_EQ(client.GetPortBase(0), 0xFFFF);
}

TEST_P(CnbusHexlookClient, AddressesReachTheBoardUnchangedAndWindowRegistersStayAlone) {
  Daemon daemon(config("BoardGeneration2=1\n"));
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CHexlookCnbusClient client;
  daemon.poke(2, 0x20C01000, "5a");
  daemon.trace_start(2);
  EXPECT_EQ(client.ReadByte(0, 0x20C01000), 0x5A);
  client.ReadByte(0, 0xB0234567);
  client.ReadWord(0, 0x12345670);
  client.WriteByte(0, 0x20C01001, 0x77);
  EXPECT_EQ(client.SetUpWindow(), 0);
  EXPECT_EQ(client.TestBoardRegister(), 1);
  EXPECT_EQ(client.ReadBoardRegister(9), 0x50);
  EXPECT_EQ(client.ReadBoardRegister(10) >> 4, 1);
  EXPECT_EQ(client.ReadBoardRegister(16), 0xFF);
  EXPECT_TRUE(TraceMatches(daemon.trace(2), {"R1 20c01000 5a", "R1 b0234567 ?", "R2 12345670 ?",
                                             "W1 20c01001 77", "RP 9 50", "RP a ?"}));
}

TEST_P(CnbusHexlookClient, FirstObjectDecidesTheOptions) {
  Daemon daemon(config());
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CCnbusClient plain;
  CHexlookCnbusClient viewer;
  daemon.trace_start(2);
  viewer.ReadByte(0, 0x1234567);
  EXPECT_TRUE(TraceMatches(daemon.trace(2), {"R1 90234567 ?"}));
}

struct CellsCase {
  const char* name;
  int unit;
  bool check_slot;
  bool ready;
};

TEST_P(CnbusHexlookClient, ReadCellsSeesExactlyTheUnbatchedSequence) {
  Daemon daemon(config());
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CHexlookCnbusClient client;
  daemon.poke(2, 0x20C00200, "00112233445566778899aabbccddeeff");
  const CellsCase cases[] = {
      {"bytes, slot checked, ready", 1, true, true},
      {"words, slot checked, not ready", 2, true, false},
      {"dwords, slot checked, ready", 4, true, true},
      {"words, no slot check, not ready", 2, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    daemon.cncsim(std::string("ready 2 ") + (c.ready ? "on" : "off"));
    const int count = 16 / c.unit;
    const uint32_t ones = c.unit == 4 ? 0xFFFFFFFF : (1u << (8 * c.unit)) - 1;

    // The loop the view runs, one request at a time.
    daemon.trace_start(2);
    std::vector<uint32_t> expected(count);
    for (int i = 0; i < count; ++i) {
      const uint32_t a = 0x20C00200 + uint32_t(i * c.unit);
      if (c.check_slot && !(client.ReadBoardRegister(9) & 0x10)) {
        expected[i] = ones;
        continue;
      }
      expected[i] = c.unit == 1 ? client.ReadByte(0, a)
                    : c.unit == 2 ? client.ReadWord(0, a)
                                  : client.ReadDword(0, a);
    }
    const Lines single = daemon.trace(2);

    daemon.trace_start(2);
    std::vector<uint32_t> values(count, 0);
    client.ReadCells(0x20C00200, c.unit, count, c.check_slot, values.data());
    const Lines cells = daemon.trace(2);

    EXPECT_EQ(values, expected);
    EXPECT_TRUE(TraceMatches(cells, single));
    const size_t units = c.check_slot && !c.ready ? 0 : size_t(count);
    EXPECT_EQ(single.size(), (c.check_slot ? size_t(count) : 0) + units);
    if (c.check_slot && !c.ready) {
      EXPECT_EQ(values, std::vector<uint32_t>(count, ones));
      for (const auto& line : cells) EXPECT_EQ(line.rfind("RP 9 ", 0), 0u) << line;
    } else {
      EXPECT_EQ(values[1], c.unit == 1 ? 0x11u : c.unit == 2 ? 0x3322u : 0x77665544u);
    }
  }
}

TEST_P(CnbusHexlookClient, UnalignedGuardedCellsKeepTheSequence) {
  Daemon daemon(config());
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CHexlookCnbusClient client;
  daemon.poke(2, 0x20C00300, "0011223344556677");
  daemon.trace_start(2);
  uint32_t values[2] = {};
  client.ReadCells(0x20C00301, 2, 2, true, values);
  EXPECT_EQ(values[0], 0x2211u);
  EXPECT_EQ(values[1], 0x4433u);
  EXPECT_TRUE(TraceMatches(daemon.trace(2), {"RP 9 50", "R1 20c00301 11", "R1 20c00302 22",
                                             "RP 9 50", "R1 20c00303 33", "R1 20c00304 44"}));
}

INSTANTIATE_TEST_SUITE_P(Paths, CnbusHexlookClient, ::testing::Values("driver", "direct"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace cnbus
