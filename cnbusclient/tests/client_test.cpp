// CCnbusClient against simulated boards in a lorandd of the test's own, on both paths: the node
// table, unit splitting and folding, block forms, board registers, Set up window, link failures.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <numeric>
#include <string>
#include <vector>

#include "cnbusclient/cnbus_client.h"
#include "cnbusclient/tests/daemon_fixture.h"

namespace cnbus {
namespace {

using testing::Daemon;
using testing::EmptyRoot;
using testing::make_config;
using testing::SimNode;
using testing::trace_value;
using testing::TraceMatches;
using Lines = std::vector<std::string>;

std::string hex_of(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[3];
  for (uint8_t v : bytes) {
    std::snprintf(b, sizeof b, "%02x", v);
    s += b;
  }
  return s;
}

TEST(CnbusClientNoDevice, EveryOperationAnswersUnavailable) {
  EmptyRoot root("[Client]\nPath=direct\n");
  CCnbusClient client;
  EXPECT_EQ(client.IsAvailable(), 0);
  EXPECT_EQ(client.GetNodeCount(), 0);
  for (int node = 0; node < 8; ++node) {
    EXPECT_EQ(client.IsNodePresent(node), 0);
    EXPECT_EQ(client.SelectNode(node), 0);
  }
  EXPECT_EQ(client.GetCurrentNode(), 0);
  EXPECT_EQ(client.GetNodeName(), "");
  EXPECT_EQ(client.GetCncType(), 0);
  EXPECT_EQ(client.ReadByte(0x20, 0xC00000), 0xFF);
  EXPECT_EQ(client.ReadWord(0x20, 0xC00000), 0xFFFF);
  EXPECT_EQ(client.ShmReadDword(0), 0xFFFFFFFFu);
  EXPECT_EQ(client.RawReadWord(0x10, 0x110), 0xFFFF);
  EXPECT_EQ(client.IsLinkUp(), 0);
  EXPECT_EQ(client.IsCncReady(), 0);
  EXPECT_EQ(client.GetBoardGeneration(), -1);
  EXPECT_EQ(client.TestBoardRegister(), 1);
  EXPECT_EQ(client.WindowFlag0(), 0);
  EXPECT_EQ(client.WindowFlag1(), 0);
  EXPECT_EQ(client.SetUpWindow(), 0);
  uint8_t buffer[4] = {1, 2, 3, 4};
  client.ShmReadBytes(0, buffer, 4);
  EXPECT_EQ(buffer[0], 1);  // block forms do nothing at all
  client.ShmWriteBytes(0, buffer, 4);
  client.ResetLink();
}

// Both paths run every test below: the board must see the same units either way.
class CnbusClient : public ::testing::TestWithParam<const char*> {
 protected:
  std::string path() const { return GetParam(); }
  std::string config(const std::vector<SimNode>& nodes, const std::string& simulator = "") const {
    return make_config(nodes, path(), simulator);
  }
  static std::vector<SimNode> node0() { return {{0, 0x300, 1, "Lathe"}}; }
};

TEST_P(CnbusClient, NodesTwoAndFivePresent) {
  Daemon daemon(config({{2, 0x320, 2, "Mill"}, {5, 0x350, 4, "Nineteen characters"}}));
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CCnbusClient first;
  ASSERT_EQ(first.IsAvailable(), 1);
  EXPECT_EQ(first.GetNodeCount(), 8);
  EXPECT_EQ(first.GetCurrentNode(), 2);
  EXPECT_EQ(first.GetNodeName(), "Mill");
  EXPECT_EQ(first.GetCncType(), 2);
  for (int node = 0; node < 8; ++node)
    EXPECT_EQ(first.IsNodePresent(node), node == 2 || node == 5) << node;
  EXPECT_EQ(first.IsNodePresent(-1), 0);
  EXPECT_EQ(first.IsNodePresent(8), 0);
  EXPECT_EQ(first.SelectNode(3), 0);
  EXPECT_EQ(first.GetCurrentNode(), 2);
  EXPECT_EQ(first.SelectNode(8), 0);
  EXPECT_EQ(first.SelectNode(5), 1);
  EXPECT_EQ(first.GetCurrentNode(), 5);
  EXPECT_EQ(first.GetNodeName(), "Nineteen characters");  // the longest name
  EXPECT_EQ(first.GetCncType(), 4);

  // Objects are independent in their node; each reaches its own node's memory.
  CCnbusClient second;
  EXPECT_EQ(second.GetCurrentNode(), 2);
  daemon.poke(2, 0x20C00100, "a1");
  daemon.poke(5, 0x20C00100, "b2");
  EXPECT_EQ(second.ShmReadByte(0x100), 0xA1);
  EXPECT_EQ(first.ShmReadByte(0x100), 0xB2);
}

TEST_P(CnbusClient, TableLivesWhileAnyObjectExistsAndIsBuiltAnew) {
  {
    Daemon daemon(config({{1, 0x310, 1, "Old"}}));
    ASSERT_TRUE(daemon.started()) << daemon.log();
    auto first = std::make_unique<CCnbusClient>();
    EXPECT_EQ(first->GetNodeName(), "Old");
    CCnbusClient second;
    first.reset();
    // Still the table of the first build: the second object keeps it alive.
    EXPECT_EQ(second.IsAvailable(), 1);
    EXPECT_EQ(second.GetNodeName(), "Old");
    EXPECT_EQ(second.GetCurrentNode(), 1);
  }
  // All objects gone: the next one builds a table from the machine as it is now.
  Daemon daemon(config({{3, 0x330, 3, "New"}, {6, 0x360, 1, "Six"}}));
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CCnbusClient client;
  EXPECT_EQ(client.GetCurrentNode(), 3);
  EXPECT_EQ(client.GetNodeName(), "New");
  EXPECT_EQ(client.IsNodePresent(1), 0);
  EXPECT_EQ(client.IsNodePresent(6), 1);
}

struct SplitCase {
  const char* name;
  int size;  // 2 or 4
  bool write;
  uint32_t offset;  // shared-memory offset x
  Lines units;
};

TEST_P(CnbusClient, UnalignedUnitsAreSplitLittleEndian) {
  Daemon daemon(config(node0()));
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CCnbusClient client;
  const SplitCase cases[] = {
      {"word read at 0x1001", 2, false, 0x1001, {"R1 20c01001 11", "R1 20c01002 22"}},
      {"word read at 0x1002", 2, false, 0x1002, {"R2 20c01002 3322"}},
      {"dword read at 0x1002", 4, false, 0x1002, {"R2 20c01002 3322", "R2 20c01004 5544"}},
      {"dword read at 0x1001", 4, false, 0x1001,
       {"R1 20c01001 11", "R2 20c01002 3322", "R1 20c01004 44"}},
      {"dword read at 0x1004", 4, false, 0x1004, {"R4 20c01004 77665544"}},
      {"word write at 0x2001", 2, true, 0x2001, {"W1 20c02001 44", "W1 20c02002 33"}},
      {"dword write at 0x2001", 4, true, 0x2001,
       {"W1 20c02001 44", "W2 20c02002 2233", "W1 20c02004 11"}},
      {"dword write at 0x2003", 4, true, 0x2003,
       {"W1 20c02003 44", "W2 20c02004 2233", "W1 20c02006 11"}},
      {"dword write at 0x2002", 4, true, 0x2002, {"W2 20c02002 3344", "W2 20c02004 1122"}},
  };
  daemon.poke(0, 0x20C01000, "0011223344556677");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    daemon.poke(0, 0x20C02000, "0000000000000000");
    daemon.trace_start(0);
    if (!c.write) {
      // Bytes at 0x1000 + k hold 0x11 * k: the value is assembled little-endian.
      uint32_t expected = 0;
      for (int k = c.size - 1; k >= 0; --k) expected = expected << 8 | (0x11 * ((c.offset & 7) + k));
      const uint32_t value = c.size == 2 ? client.ShmReadWord(c.offset) : client.ShmReadDword(c.offset);
      EXPECT_EQ(value, expected);
    } else if (c.size == 2) {
      client.ShmWriteWord(c.offset, 0x3344);
    } else {
      client.ShmWriteDword(c.offset, 0x11223344);
    }
    EXPECT_TRUE(TraceMatches(daemon.trace(0), c.units));
    if (c.write) {
      const std::string bytes = c.size == 2 ? "4433" : "44332211";
      std::string expected = std::string(2 * (c.offset & 7), '0') + bytes;
      expected.resize(16, '0');
      EXPECT_EQ(daemon.peek(0, 0x20C02000, 8), expected);
    }
  }
}

TEST_P(CnbusClient, OffsetsFoldIntoSpaceCodes) {
  Daemon daemon(config(node0()));
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CCnbusClient client;
  daemon.trace_start(0);
  client.ReadByte(0x20, 0x1234567);
  client.ReadByte(0x10, 0x2000010);
  client.ReadByte(0x20, 0x3000123);
  client.ReadByte(0x20, 0xC00010);
  // The split is decided on the folded offset: 0x1000001 folds to offset 1, odd.
  client.ReadWord(0x20, 0x1000001);
  EXPECT_TRUE(TraceMatches(daemon.trace(0), {"R1 b0234567 ?", "R1 b0000010 ?", "R1 20000123 ?",
                                             "R1 20c00010 ?", "R1 b0000001 ?", "R1 b0000002 ?"}));
}

TEST_P(CnbusClient, NineWordsAreNineWordUnits) {
  Daemon daemon(config(node0()));
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CCnbusClient client;
  std::vector<uint16_t> words(9);
  for (int i = 0; i < 9; ++i) words[i] = uint16_t(0x1100 * (i + 1) + i);
  daemon.trace_start(0);
  client.ShmWriteWords(0x3000, words.data(), 9);
  Lines expected;
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 9; ++i) {
    char line[40];
    std::snprintf(line, sizeof line, "W2 %08x %04x", 0x20C03000 + 2 * i, words[i]);
    expected.push_back(line);
    bytes.push_back(uint8_t(words[i]));
    bytes.push_back(uint8_t(words[i] >> 8));
  }
  EXPECT_TRUE(TraceMatches(daemon.trace(0), expected));
  EXPECT_EQ(daemon.peek(0, 0x20C03000, 18), hex_of(bytes));

  // Read back as a block of words, then as dwords at an odd offset (split per element).
  std::vector<uint16_t> back(9);
  client.ShmReadWords(0x3000, back.data(), 9);
  EXPECT_EQ(back, words);
  uint32_t dwords[2] = {};
  daemon.trace_start(0);
  client.ShmReadDwords(0x3001, dwords, 2);
  EXPECT_EQ(dwords[0], uint32_t(bytes[1] | bytes[2] << 8 | bytes[3] << 16 | uint32_t(bytes[4]) << 24));
  EXPECT_EQ(dwords[1], uint32_t(bytes[5] | bytes[6] << 8 | bytes[7] << 16 | uint32_t(bytes[8]) << 24));
  EXPECT_TRUE(TraceMatches(daemon.trace(0), {"R1 20c03001 ?", "R2 20c03002 ?", "R1 20c03004 ?",
                                             "R1 20c03005 ?", "R2 20c03006 ?", "R1 20c03008 ?"}));
}

TEST_P(CnbusClient, BlockReadSeesTheSameUnitsAsSingleReads) {
  Daemon daemon(config(node0()));
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CCnbusClient client;
  std::vector<uint8_t> pattern(300);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i * 7 + 3);
  daemon.poke(0, 0x20C04000, hex_of(pattern));

  daemon.trace_start(0);
  std::vector<uint16_t> singles(150);
  for (int i = 0; i < 150; ++i) singles[i] = client.ShmReadWord(0x4001 + 2 * i);
  const Lines single_trace = daemon.trace(0);

  daemon.trace_start(0);
  std::vector<uint16_t> block(150);
  client.ShmReadWords(0x4001, block.data(), 150);
  const Lines block_trace = daemon.trace(0);

  EXPECT_EQ(block, singles);
  EXPECT_EQ(single_trace.size(), 300u);
  EXPECT_TRUE(TraceMatches(block_trace, single_trace));
  EXPECT_EQ(block[0], pattern[1] | pattern[2] << 8);
}

// Block forms travel as runs: the board sees exactly the units of the element-by-element loop,
// for aligned and unaligned starts, writes, and a block that crosses the end of shared memory at
// the top of its space (where the offsets fold into another space code).
TEST_P(CnbusClient, BlockFormsSeeTheSameUnitsAsSingleAccesses) {
  Daemon daemon(config(node0()));
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CCnbusClient client;
  std::vector<uint8_t> pattern(64);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i * 11 + 5);
  daemon.poke(0, 0x20C04000, hex_of(pattern));
  daemon.poke(0, 0x20FFFFF0, hex_of(std::vector<uint8_t>(pattern.begin(), pattern.begin() + 16)));
  struct Case {
    const char* what;
    unsigned size;
    uint32_t x;
    int n;
    bool write;
  } cases[] = {
      {"bytes from an odd offset", 1, 0x4003, 37, false},
      {"aligned words", 2, 0x4002, 11, false},
      {"double words", 4, 0x4004, 9, false},
      {"double words from offset 2", 4, 0x4006, 5, false},
      {"bytes over the top of the space", 1, 0x3FFFFC, 8, false},
      {"double words over the top of the space", 4, 0x3FFFF8, 4, false},
      {"written bytes", 1, 0x5001, 13, true},
      {"written double words", 4, 0x5100, 6, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto block = [&] {
      std::vector<uint32_t> values(size_t(c.n));
      for (int i = 0; i < c.n; ++i) values[size_t(i)] = 0x01020304u * uint32_t(i + 1);
      if (c.size == 1) {
        std::vector<uint8_t> v(values.begin(), values.end());
        if (c.write) client.ShmWriteBytes(c.x, v.data(), c.n);
        else client.ShmReadBytes(c.x, v.data(), c.n);
        values.assign(v.begin(), v.end());
      } else if (c.size == 2) {
        std::vector<uint16_t> v(values.begin(), values.end());
        if (c.write) client.ShmWriteWords(c.x, v.data(), c.n);
        else client.ShmReadWords(c.x, v.data(), c.n);
        values.assign(v.begin(), v.end());
      } else {
        if (c.write) client.ShmWriteDwords(c.x, values.data(), c.n);
        else client.ShmReadDwords(c.x, values.data(), c.n);
      }
      return values;
    };
    auto singles = [&] {
      std::vector<uint32_t> values(size_t(c.n));
      for (int i = 0; i < c.n; ++i) {
        const uint32_t x = c.x + uint32_t(i) * c.size, value = 0x01020304u * uint32_t(i + 1);
        if (c.size == 1) c.write ? client.ShmWriteByte(x, uint8_t(value)) : void(values[size_t(i)] = client.ShmReadByte(x));
        else if (c.size == 2) c.write ? client.ShmWriteWord(x, uint16_t(value)) : void(values[size_t(i)] = client.ShmReadWord(x));
        else c.write ? client.ShmWriteDword(x, value) : void(values[size_t(i)] = client.ShmReadDword(x));
      }
      return c.write ? std::vector<uint32_t>() : values;
    };
    daemon.trace_start(0);
    const std::vector<uint32_t> one_by_one = singles();
    const Lines single_trace = daemon.trace(0);
    daemon.trace_start(0);
    std::vector<uint32_t> together = block();
    const Lines block_trace = daemon.trace(0);
    if (!c.write) {
      EXPECT_EQ(together, one_by_one);
    }
    EXPECT_FALSE(single_trace.empty());
    EXPECT_TRUE(TraceMatches(block_trace, single_trace));
  }
}

// A hung board costs a block one busy bound, not one per unit: the block stops at the first unit
// that fails and reads as all ones. Another thread of the process works on another node meanwhile.
TEST_P(CnbusClient, AHungBoardStallsOnlyTheThreadOnIt) {
  Daemon daemon(config({{0, 0x300, 1, "Lathe"}, {1, 0x310, 1, "Mill"}}));
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CCnbusClient client;
  daemon.poke(1, 0x20C00000, "5A");
  daemon.cncsim("fault 0 stuck-busy on");
  std::atomic<bool> running{true}, started{false};
  int served = 0;
  std::thread other([&] {
    CCnbusClient second;
    EXPECT_EQ(second.SelectNode(1), 1);
    while (running || served == 0) {
      EXPECT_EQ(second.ShmReadByte(0), 0x5A);
      ++served;
      started = true;
    }
  });
  while (!started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::vector<uint8_t> block(32768, 0);
  const auto start = std::chrono::steady_clock::now();
  client.ShmReadBytes(0, block.data(), int(block.size()));
  const auto took = std::chrono::steady_clock::now() - start;
  running = false;
  other.join();
  EXPECT_EQ(block, std::vector<uint8_t>(block.size(), 0xFF));
  // One bound is 100 ms; unit by unit it would be close to an hour.
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_GT(served, 0);
  daemon.cncsim("fault 0 stuck-busy off");
  client.ShmReadBytes(0, block.data(), 4);
  EXPECT_EQ(block[0], 0x00);
}

TEST_P(CnbusClient, LargeByteBlockRoundTrip) {
  Daemon daemon(config(node0()));
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CCnbusClient client;
  // More than one batch of units on the driver path, in both directions (the direct path costs
  // several round trips per unit, so it gets a shorter block).
  std::vector<uint8_t> data(path() == "driver" ? 20000 : 700);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t((i * 131) ^ (i >> 8));
  client.ShmWriteBytes(0x10000, data.data(), int(data.size()));
  EXPECT_EQ(daemon.peek(0, 0x20C10000, int(data.size())), hex_of(data));
  std::vector<uint8_t> back(data.size(), 0);
  client.ShmReadBytes(0x10000, back.data(), int(back.size()));
  EXPECT_EQ(back, data);
}

TEST_P(CnbusClient, BoardRegisters) {
  Daemon daemon(config(node0(), "BoardGeneration0=3\n"));
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CCnbusClient client;
  EXPECT_EQ(client.IsLinkUp(), 1);
  EXPECT_EQ(client.IsCncReady(), 1);
  EXPECT_EQ(client.GetBoardGeneration(), 3);
  daemon.trace_start(0);
  EXPECT_EQ(client.TestBoardRegister(), 0);
  EXPECT_TRUE(TraceMatches(daemon.trace(0), {"WP a 0a", "RP a 3a", "WP a 05", "RP a 35"}));
  daemon.cncsim("ready 0 off");
  EXPECT_EQ(client.IsLinkUp(), 1);
  EXPECT_EQ(client.IsCncReady(), 0);
  daemon.cncsim("link 0 down");
  EXPECT_EQ(client.IsLinkUp(), 0);
}

TEST_P(CnbusClient, ResetLinkWritesTheControlWord) {
  Daemon daemon(config(node0()));
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CCnbusClient client;
  daemon.trace_start(0);
  client.ResetLink();
  client.WriteControlWord(0x20, 0xC05000, 0xBEEF);
  EXPECT_TRUE(TraceMatches(daemon.trace(0), {"W2 30800000 0010", "W2 20c05000 beef"}));
}

TEST_P(CnbusClient, WindowWordsFollowTheNibble) {
  Daemon daemon(config(node0()));
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CCnbusClient client;
  daemon.poke(0, 0x10000110, "0500");  // nibble 5
  daemon.poke(0, 0x10000054, "0200");  // window word 4 of nibble 5: flag 1 only
  daemon.poke(0, 0x10000062, "3412");
  EXPECT_EQ(client.RefreshWindowNibble(), 5);
  EXPECT_EQ(client.ReadWindowWord(0x12), 0x1234);
  EXPECT_EQ(client.ReadWindowWord(0x10012), 0x1234);  // x is cut to 16 bits
  EXPECT_EQ(client.WindowFlag0(), 0);
  EXPECT_EQ(client.WindowFlag1(), 1);
}

TEST_P(CnbusClient, FailuresReadAllOnesAndWriteNothing) {
  Daemon daemon(config(node0()));
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CCnbusClient client;
  daemon.poke(0, 0x20C06000, "0102030405060708");
  daemon.cncsim("fault 0 stuck-busy on");
  uint8_t block[3] = {0, 0, 0};
  client.ShmReadBytes(0x6000, block, 3);
  EXPECT_EQ(block[0] & block[1] & block[2], 0xFF);
  EXPECT_EQ(client.ShmReadWord(0x6001), 0xFFFF);
  client.ShmWriteByte(0x6000, 0x55);
  daemon.cncsim("fault 0 stuck-busy off");
  EXPECT_EQ(client.ShmReadDword(0x6000), 0x04030201u);

  // The daemon goes away under the client: every read is all ones, nothing hangs.
  daemon.stop();
  EXPECT_EQ(client.ShmReadDword(0x6000), 0xFFFFFFFFu);
  std::vector<uint8_t> bytes(100, 0);
  client.ShmReadBytes(0x6000, bytes.data(), 100);
  EXPECT_EQ(bytes, std::vector<uint8_t>(100, 0xFF));
  EXPECT_EQ(client.IsLinkUp(), 0);
  EXPECT_EQ(client.GetBoardGeneration(), -1);
  EXPECT_EQ(client.TestBoardRegister(), 1);
}

// A checked sequence is its block forms, each followed by IsLinkUp: the same values, link answers
// and board accesses, in order, also when the link drops in the middle (where a transfer then
// reads all ones and everything after the drop still goes to the board).
TEST_P(CnbusClient, CheckedSequenceIsItsBlockFormsEachFollowedByTheLinkTest) {
  Daemon daemon(config(node0()));
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CCnbusClient client;
  std::vector<uint8_t> memory(64);
  for (size_t i = 0; i < memory.size(); ++i) memory[i] = uint8_t(i * 13 + 7);
  const uint32_t request[8] = {0x00050000, 0x11112222, 3, 4, 5, 6, 7, 8};

  struct Outcome {
    std::vector<uint8_t> read;  // the bytes of every read, in order
    std::vector<int> links;
    Lines trace;
  };
  struct Step {
    bool write;
    unsigned unit;
    uint32_t x;
    int count;
  };
  // Units: 1, 8, 1, 5, 6 (three words from an odd offset, split into bytes), 8, 0.
  const Step steps[] = {{false, 2, 0x7100, 1}, {true, 4, 0x7100, 8}, {true, 2, 0x7100, 1},
                        {false, 1, 0x7003, 5}, {false, 2, 0x7101, 3}, {false, 4, 0x7100, 8},
                        {false, 1, 0x7000, 0}};
  auto data_of = [&](const Step& step, std::vector<uint8_t>& bytes) {
    bytes.assign(size_t(step.count) * step.unit, 0);
    if (step.write && step.unit == 4) std::memcpy(bytes.data(), request, bytes.size());
    if (step.write && step.unit == 2) bytes = {1, 0};
  };
  auto prepare = [&](int drop_after) {
    daemon.cncsim("link 0 up");
    daemon.poke(0, 0x20C07000, hex_of(memory));
    daemon.poke(0, 0x20C07100, hex_of(memory));
    if (drop_after > 0) daemon.cncsim("fault 0 link-drop-after on " + std::to_string(drop_after));
    daemon.trace_start(0);
  };
  auto one_by_one = [&](int drop_after) {
    prepare(drop_after);
    Outcome o;
    for (const Step& step : steps) {
      std::vector<uint8_t> bytes;
      data_of(step, bytes);
      if (step.unit == 1) {
        step.write ? client.ShmWriteBytes(step.x, bytes.data(), step.count)
                   : client.ShmReadBytes(step.x, bytes.data(), step.count);
      } else if (step.unit == 2) {
        std::vector<uint16_t> words(size_t(step.count));
        std::memcpy(words.data(), bytes.data(), bytes.size());
        if (step.write) client.ShmWriteWords(step.x, words.data(), step.count);
        else client.ShmReadWords(step.x, words.data(), step.count);
        std::memcpy(bytes.data(), words.data(), bytes.size());
      } else {
        std::vector<uint32_t> dwords(size_t(step.count));
        std::memcpy(dwords.data(), bytes.data(), bytes.size());
        if (step.write) client.ShmWriteDwords(step.x, dwords.data(), step.count);
        else client.ShmReadDwords(step.x, dwords.data(), step.count);
        std::memcpy(bytes.data(), dwords.data(), bytes.size());
      }
      if (!step.write) o.read.insert(o.read.end(), bytes.begin(), bytes.end());
      o.links.push_back(client.IsLinkUp());
    }
    o.trace = daemon.trace(0);
    return o;
  };
  auto checked = [&](int drop_after) {
    prepare(drop_after);
    std::vector<std::vector<uint8_t>> data(std::size(steps));
    std::vector<ShmTransfer> transfers;
    for (size_t i = 0; i < std::size(steps); ++i) {
      data_of(steps[i], data[i]);
      transfers.push_back({steps[i].write, steps[i].unit, steps[i].x, steps[i].count, data[i].data()});
    }
    client.ShmRunChecked(transfers);
    Outcome o;
    for (size_t i = 0; i < std::size(steps); ++i) {
      if (!steps[i].write) o.read.insert(o.read.end(), data[i].begin(), data[i].end());
      o.links.push_back(transfers[i].link);
    }
    o.trace = daemon.trace(0);
    return o;
  };
  // No drop; the first unit; the last double word written; the byte read; the split words.
  for (int drop_after : {0, 1, 9, 12, 17}) {
    SCOPED_TRACE("link dropped at unit " + std::to_string(drop_after));
    const Outcome expected = one_by_one(drop_after);
    const Outcome got = checked(drop_after);
    ASSERT_EQ(expected.links.size(), std::size(steps));
    if (drop_after == 0)
      EXPECT_EQ(expected.links, std::vector<int>(std::size(steps), 1));
    else
      EXPECT_EQ(expected.links.back(), 0);
    EXPECT_EQ(got.links, expected.links);
    EXPECT_EQ(hex_of(got.read), hex_of(expected.read));
    EXPECT_TRUE(TraceMatches(got.trace, expected.trace));
  }
  EXPECT_EQ(daemon.peek(0, 0x20C07100, 32).substr(8), hex_of(std::vector<uint8_t>(
      reinterpret_cast<const uint8_t*>(request) + 4, reinterpret_cast<const uint8_t*>(request) + 32)));
}

// Transfers guarded by an earlier read happen only when it read zeros: in the same run, after a
// transfer that goes through its block form (judged in the client) and never with a guard that
// is not an earlier transfer. Their link tests are made either way; a skipped read keeps its data.
TEST_P(CnbusClient, GuardedTransfersNeedAZeroRead) {
  Daemon daemon(config(node0()));
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CCnbusClient client;
  for (const uint16_t flag : {uint16_t(0), uint16_t(0x0100), uint16_t(0x0002)}) {
    SCOPED_TRACE("flag " + std::to_string(flag));
    client.ShmWriteWord(0x7200, flag);
    client.ShmWriteDword(0x7210, 0);
    client.ShmWriteWord(0x7220, 0);
    client.ShmWriteDword(0x7000, 0x44332211);
    uint16_t seen = 0xEEEE, word = 0x5A5A;
    uint32_t dword = 0x12345678;
    uint8_t odd[4] = {0xEE, 0xEE, 0xEE, 0xEE}, self[2] = {0xEE, 0xEE};
    std::vector<ShmTransfer> t = {
        {false, 2, 0x7200, 1, reinterpret_cast<uint8_t*>(&seen)},
        {true, 4, 0x7210, 1, reinterpret_cast<uint8_t*>(&dword), 0},
        {false, 2, 0x7001, 1, odd, 0},  // an odd offset: its block form, on its own
        {true, 2, 0x7220, 1, reinterpret_cast<uint8_t*>(&word), 0},
        {false, 1, 0x7000, 2, self, 4},
    };
    client.ShmRunChecked(t);
    const bool idle = flag == 0;
    EXPECT_EQ(seen, flag);
    EXPECT_EQ(t[0].skipped, false);
    for (size_t k = 1; k < 4; ++k) EXPECT_EQ(t[k].skipped, !idle) << k;
    EXPECT_TRUE(t[4].skipped);
    for (const ShmTransfer& x : t) EXPECT_EQ(x.link, 1);
    EXPECT_EQ(client.ShmReadDword(0x7210), idle ? 0x12345678u : 0u);
    EXPECT_EQ(client.ShmReadWord(0x7220), idle ? 0x5A5A : 0);
    EXPECT_EQ(odd[0], idle ? 0x22 : 0xEE);
    EXPECT_EQ(self[0], 0xEE);
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, CnbusClient, ::testing::Values("driver", "direct"),
                         [](const auto& info) { return std::string(info.param); });

TEST(CnbusClientDirect, LinkDownTouchesNeitherAddressNorCommandRegister) {
  Daemon daemon(make_config({{0, 0x300, 1, "Lathe"}}, "direct"));
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CCnbusClient client;
  daemon.poke(0, 0x20C07000, "11223344");
  daemon.cncsim("link 0 down");
  daemon.trace_start(0);
  EXPECT_EQ(client.ShmReadDword(0x7000), 0xFFFFFFFFu);
  client.ShmWriteDword(0x7000, 0x55667788);
  uint16_t words[4] = {};
  client.ShmReadWords(0x7000, words, 4);
  EXPECT_EQ(words[0] & words[3], 0xFFFF);
  EXPECT_TRUE(daemon.trace(0).empty());
  daemon.cncsim("link 0 up");
  EXPECT_EQ(daemon.peek(0, 0x20C07000, 4), "11223344");
  EXPECT_EQ(client.ShmReadDword(0x7000), 0x44332211u);
}

TEST(CnbusClientPath, UnknownPathValueFallsBackToTheDriver) {
  // A simulated board reached only by the driver path would still work: the value is not "direct".
  Daemon daemon(make_config({{0, 0x300, 1, "Lathe"}}, "sideways"));
  ASSERT_TRUE(daemon.started()) << daemon.log();
  CCnbusClient client;
  daemon.poke(0, 0x20C07000, "11223344");
  daemon.cncsim("link 0 down");
  // The driver path has no link test: the unit still reaches the board.
  daemon.trace_start(0);
  client.ShmReadDword(0x7000);
  EXPECT_EQ(daemon.trace(0).size(), 1u);
}

}  // namespace
}  // namespace cnbus
