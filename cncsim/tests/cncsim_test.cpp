#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "cncsim/control.h"
#include "testsupport/temp_folder.h"
#include "cncsim/simulator.h"
#include "testsupport/run_program.h"
#include "driver/core/status.h"

namespace {

using cncsim::Node;
using cncsim::NodeSettings;
using cncsim::Simulator;
namespace fs = std::filesystem;

constexpr uint32_t kBase = 0x300;

// A temporary folder removed at the end of the test.
struct TempDir : moxel::test::TempFolder {
  TempDir() : TempFolder("cncsim-test") {}
};

// Runs the register protocol of one unit exactly as the driver does it.
struct Driver {
  lorand::PortIo& io;
  uint32_t base = kBase;

  bool wait_idle(int limit = 1000000) {
    for (int i = 0; i < limit; ++i)
      if (!(io.in8(base + lorand::kRegStatus) & lorand::kStatusBusy)) return true;
    return false;
  }
  uint32_t read(uint32_t address, unsigned size) {
    EXPECT_TRUE(wait_idle());
    io.out32(base + lorand::kRegAddress, address);
    io.out8(base + lorand::kRegCommand, uint8_t(0x80 | size));
    EXPECT_TRUE(wait_idle());
    switch (size) {
      case 1: return io.in8(base);
      case 2: return io.in16(base);
      default: return io.in32(base);
    }
  }
  void write(uint32_t address, uint32_t value, unsigned size) {
    EXPECT_TRUE(wait_idle());
    switch (size) {
      case 1: io.out8(base, uint8_t(value)); break;
      case 2: io.out16(base, uint16_t(value)); break;
      default: io.out32(base, value); break;
    }
    io.out32(base + lorand::kRegAddress, address);
    io.out8(base + lorand::kRegCommand, uint8_t(size));
  }
};

moxel::ConfigData config_from(const std::string& text) {
  auto c = moxel::ConfigData::parse(text);
  EXPECT_TRUE(c.has_value());
  return c.value_or(moxel::ConfigData{});
}

std::vector<uint8_t> peek(Node& node, uint32_t address, size_t n) {
  std::vector<uint8_t> out(n);
  node.peek(address, out);
  return out;
}

TEST(CncsimSettings, ReadsPerNodeValuesWithDefaults) {
  auto config = config_from(
      "[Simulator]\nBusyAtStart2=1\nUnitTime2=0x1000\nBoardGeneration2=1\nLinkAtStart2=0\n"
      "ReadyAtStart2=0\nWindowNibble2=3\nGenerationWord2=0x60aa\nLinkResetTime2=7\n"
      "SramSize2=65536\nFromSize2=0x20000\nTraceLines2=10\nBusyAtStart1=1\n");
  NodeSettings s = NodeSettings::from_config(config, 2);
  EXPECT_TRUE(s.busy_at_start);
  EXPECT_EQ(s.unit_time_ns, 0x1000u);
  EXPECT_EQ(s.board_generation, 1);
  EXPECT_FALSE(s.link_at_start);
  EXPECT_FALSE(s.ready_at_start);
  EXPECT_EQ(s.window_nibble, 3);
  EXPECT_EQ(s.generation_word, 0x60aa);
  EXPECT_EQ(s.link_reset_ms, 7u);
  EXPECT_EQ(s.sram_size, 65536u);
  EXPECT_EQ(s.from_size, 0x20000u);
  EXPECT_EQ(s.trace_limit, 10u);

  NodeSettings d = NodeSettings::from_config(config, 0);  // nothing set for node 0
  EXPECT_FALSE(d.busy_at_start);
  EXPECT_EQ(d.unit_time_ns, 0u);
  EXPECT_EQ(d.board_generation, 2);
  EXPECT_TRUE(d.link_at_start);
  EXPECT_TRUE(d.ready_at_start);
  EXPECT_EQ(d.window_nibble, 8);
  EXPECT_EQ(d.sram_size, cncsim::kDefaultSramSize);
  EXPECT_EQ(d.from_size, cncsim::kDefaultFromSize);
}

class CncsimBoard : public ::testing::Test {
 protected:
  TempDir dir;
  std::unique_ptr<Simulator> sim;
  Node* node = nullptr;

  void make(const std::string& settings = "") {
    sim = std::make_unique<Simulator>(config_from("[Simulator]\n" + settings), dir.path);
    sim->board(0, kBase);
    node = sim->node(0);
    ASSERT_NE(node, nullptr);
  }
  void SetUp() override { make(); }
};

TEST_F(CncsimBoard, PowersOnAsAUsableNode) {
  EXPECT_EQ(node->status(), lorand::kStatusLink | lorand::kStatusReady);
  // Window nibble words and the generation word at their power-on contents.
  EXPECT_EQ(peek(*node, 0x10000110, 2), (std::vector<uint8_t>{0x08, 0x00}));
  EXPECT_EQ(peek(*node, 0x100E0110, 2), (std::vector<uint8_t>{0x08, 0x00}));
  EXPECT_EQ(peek(*node, 0x100E0000 + (8 + 0x30) * 16, 2), (std::vector<uint8_t>{0x00, 0x00}));
  EXPECT_EQ(peek(*node, 0x20C00000, 4), (std::vector<uint8_t>{0, 0, 0, 0}));
}

TEST_F(CncsimBoard, PowerOnContentsFollowTheSettings) {
  make("WindowNibble0=3\nGenerationWord0=0x60aa\nReadyAtStart0=0\n");
  EXPECT_EQ(node->status(), lorand::kStatusLink);
  EXPECT_EQ(peek(*node, 0x10000110, 2), (std::vector<uint8_t>{0x03, 0x00}));
  EXPECT_EQ(peek(*node, 0x100E0110, 2), (std::vector<uint8_t>{0x03, 0x00}));
  EXPECT_EQ(peek(*node, 0x100E0000 + (3 + 0x30) * 16, 2), (std::vector<uint8_t>{0xAA, 0x60}));
  // A power cycle brings them back after they were changed.
  ASSERT_TRUE(node->poke(0x100E0110, std::vector<uint8_t>{9, 9}));
  node->set_power(false);
  node->set_power(true);
  EXPECT_EQ(peek(*node, 0x100E0110, 2), (std::vector<uint8_t>{0x03, 0x00}));
  make("PowerAtStart0=0\n");
  EXPECT_EQ(node->status(), 0);
  node->set_power(true);
  EXPECT_EQ(node->status(), lorand::kStatusLink | lorand::kStatusReady);
}

TEST_F(CncsimBoard, ReadUnitsAreLittleEndianAndTracedInOrder) {
  const std::vector<uint8_t> bytes{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  ASSERT_TRUE(node->poke(0x20C01000, bytes));
  node->trace_start();
  Driver d{*node};
  EXPECT_EQ(d.read(0x20C01001, 1), 0x22u);
  EXPECT_EQ(d.read(0x20C01002, 2), 0x4433u);
  EXPECT_EQ(d.read(0x20C01004, 4), 0x88776655u);
  EXPECT_EQ(node->trace_lines(),
            (std::vector<std::string>{"R1 20c01001 22", "R2 20c01002 4433", "R4 20c01004 88776655"}));
}

TEST_F(CncsimBoard, WriteUnitsLandLittleEndianAndAreTraced) {
  node->trace_start();
  Driver d{*node};
  d.write(0x20C02002, 0xBBAA, 2);
  d.write(0x20C02004, 0xDDCC, 2);
  d.write(0x20C02008, 0x04030201, 4);
  d.write(0x20C0200C, 0x7F, 1);
  EXPECT_EQ(peek(*node, 0x20C02002, 11),
            (std::vector<uint8_t>{0xAA, 0xBB, 0xCC, 0xDD, 0, 0, 1, 2, 3, 4, 0x7F}));
  EXPECT_EQ(node->trace_lines(),
            (std::vector<std::string>{"W2 20c02002 bbaa", "W2 20c02004 ddcc", "W4 20c02008 04030201",
                                      "W1 20c0200c 7f"}));
  // A write of a byte unit takes only the low byte of the data register.
  EXPECT_EQ(peek(*node, 0x20C0200D, 1), (std::vector<uint8_t>{0}));
}

TEST_F(CncsimBoard, EveryMemorySpaceIsReachableAtItsEdges) {
  struct Case { uint32_t address; };
  for (uint32_t address : {0x20C00000u, 0x20FFFFFCu, 0x10000000u, 0x100FFFFCu}) {
    SCOPED_TRACE(address);
    Driver d{*node};
    d.write(address, 0xCAFEF00D, 4);
    EXPECT_EQ(d.read(address, 4), 0xCAFEF00Du);
    EXPECT_EQ(peek(*node, address, 4), (std::vector<uint8_t>{0x0D, 0xF0, 0xFE, 0xCA}));
  }
}

TEST_F(CncsimBoard, UnmappedAddressesAndUnknownCommandsReadAllOnes) {
  Driver d{*node};
  // Outside any space, below shared memory, past the interface registers, beyond the end of
  // space 0x20, and the CNC's own SRAM and F-ROM, which the window does not reach.
  for (uint32_t address : {0x00000012u, 0x20BFFFFCu, 0x10100000u, 0x20FFFFFEu, 0x7F000000u,
                           0xF0000000u, 0xE0000000u}) {
    SCOPED_TRACE(address);
    d.write(address, 0x12345678, 4);
    uint32_t expect = address == 0x20FFFFFEu ? 0xFFFF5678u : 0xFFFFFFFFu;  // half inside
    EXPECT_EQ(d.read(address, 4), expect);
    EXPECT_EQ(d.read(address, 2), expect & 0xFFFF);
    EXPECT_EQ(d.read(address, 1), expect & 0xFF);
  }
  // SRAM and F-ROM were not written through the window.
  EXPECT_EQ(peek(*node, 0xF0000000, 4), (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(peek(*node, 0xE0000000, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));

  ASSERT_TRUE(node->poke(0x20C00000, std::vector<uint8_t>{1, 2, 3, 4}));
  for (uint8_t command : {0x00, 0x03, 0x80, 0x83, 0x88, 0x8C, 0xC4, 0xFF}) {
    SCOPED_TRACE(int(command));
    node->out32(kBase + 4, 0x20C00000);
    node->out8(kBase + 8, command);
    ASSERT_TRUE(d.wait_idle());
    EXPECT_EQ(node->in32(kBase), 0xFFFFFFFFu);
  }
  EXPECT_EQ(peek(*node, 0x20C00000, 4), (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST_F(CncsimBoard, BusyBitHoldsForTheUnitTime) {
  constexpr auto kUnit = std::chrono::milliseconds(5);
  node->set_unit_time_ns(std::chrono::nanoseconds(kUnit).count());
  Driver d{*node};
  EXPECT_FALSE(node->status() & lorand::kStatusBusy);
  auto start = std::chrono::steady_clock::now();
  node->out32(kBase + 4, 0x20C00000);
  node->out8(kBase + 8, 0x84);
  EXPECT_TRUE(node->in8(kBase + 9) & lorand::kStatusBusy);
  ASSERT_TRUE(d.wait_idle(1 << 30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, kUnit);
  // A write unit leaves the board busy too, so that the next unit waits for it.
  d.write(0x20C00000, 1, 1);
  EXPECT_TRUE(node->in8(kBase + 9) & lorand::kStatusBusy);
}

TEST_F(CncsimBoard, StuckBusyNeverClearsUntilTheFaultIsRemoved) {
  node->set_fault(cncsim::Fault::kStuckBusy, true);
  Driver d{*node};
  EXPECT_FALSE(d.wait_idle(10000));
  node->set_fault(cncsim::Fault::kStuckBusy, false);
  EXPECT_TRUE(d.wait_idle(1));
}

TEST_F(CncsimBoard, BusyAtStartHoldsUntilCleared) {
  make("BusyAtStart0=1\n");
  Driver d{*node};
  EXPECT_EQ(node->in8(kBase + 9), lorand::kStatusBusy | lorand::kStatusLink | lorand::kStatusReady);
  EXPECT_FALSE(d.wait_idle(10000));
  node->set_busy_at_start(false);
  EXPECT_TRUE(d.wait_idle(1));
}

TEST_F(CncsimBoard, LinkDownDropsStatusBitsAndUnitsReachNothing) {
  ASSERT_TRUE(node->poke(0x20C00000, std::vector<uint8_t>{1, 2, 3, 4}));
  node->set_link(false);
  EXPECT_EQ(node->register_in8(kBase + 9), 0x00);
  Driver d{*node};
  EXPECT_EQ(d.read(0x20C00000, 4), 0xFFFFFFFFu);
  d.write(0x20C00000, 0, 4);
  EXPECT_EQ(peek(*node, 0x20C00000, 4), (std::vector<uint8_t>{1, 2, 3, 4}));
  node->set_link(true);
  EXPECT_EQ(node->register_in8(kBase + 9), 0x50);
  EXPECT_EQ(d.read(0x20C00000, 4), 0x04030201u);
}

TEST_F(CncsimBoard, ReadyBitFollowsTheCncAndNeedsTheLink) {
  node->set_ready(false);
  EXPECT_EQ(node->status(), lorand::kStatusLink);
  node->set_ready(true);
  EXPECT_EQ(node->status(), lorand::kStatusLink | lorand::kStatusReady);
  node->set_link(false);
  EXPECT_EQ(node->status(), 0);
}

TEST_F(CncsimBoard, ScratchReadsBackLowNibbleUnderTheGeneration) {
  for (uint32_t generation : {0u, 1u, 2u, 15u}) {
    SCOPED_TRACE(generation);
    make("BoardGeneration0=" + std::to_string(generation) + "\n");
    for (uint8_t written : {0x0A, 0x05, 0xF3, 0x00}) {
      node->register_out8(kBase + 10, written);
      EXPECT_EQ(node->register_in8(kBase + 10), uint8_t(generation << 4 | (written & 0x0F)));
    }
  }
}

TEST_F(CncsimBoard, RegisterRequestsAreTracedAndRegisterNineKeepsTheNibble) {
  node->trace_start();
  node->register_out8(kBase + 9, 0x08);
  EXPECT_EQ(node->register9_written(), 0x08);
  EXPECT_EQ(node->register_in8(kBase + 9), 0x50);  // the status reads on, unchanged
  node->register_out8(kBase + 10, 0x0A);
  EXPECT_EQ(node->register_in8(kBase + 10), 0x2A);
  EXPECT_EQ(node->register_in8(kBase + 15), 0xFF);  // unused offset
  // Plain port accesses, as the driver makes them inside units, are not register requests.
  node->in8(kBase + 9);
  EXPECT_EQ(node->trace_lines(), (std::vector<std::string>{"WP 9 08", "RP 9 50", "WP a 0a",
                                                           "RP a 2a", "RP f ff"}));
}

bool link_up(Node& node) { return node.status() & lorand::kStatusLink; }

// Waits up to five seconds for the link to come back; returns how long it took.
std::chrono::steady_clock::duration wait_for_link(Node& node) {
  auto start = std::chrono::steady_clock::now();
  while (!link_up(node) && std::chrono::steady_clock::now() - start < std::chrono::seconds(5))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return std::chrono::steady_clock::now() - start;
}

TEST_F(CncsimBoard, LinkControlWordResetsTheLink) {
  make("LinkResetTime0=30\n");
  Driver d{*node};
  d.write(0x30800000, 0x0001, 2);  // other values do nothing
  EXPECT_TRUE(link_up(*node));
  EXPECT_EQ(d.read(0x30800000, 2), 0x0001u);

  // A link that is up drops for the reset time and comes back by itself.
  d.write(0x30800000, 0x0010, 2);
  EXPECT_FALSE(link_up(*node));
  EXPECT_GE(wait_for_link(*node), std::chrono::milliseconds(25));
  EXPECT_EQ(node->status(), lorand::kStatusLink | lorand::kStatusReady);

  // A lost link stays down until the PC resets it, here with a single byte write; the board
  // takes the write although the link is down.
  node->lose_link();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(link_up(*node));
  d.write(0x30800000, 0x10, 1);
  EXPECT_EQ(d.read(0x30800000, 1), 0x10u);
  EXPECT_LT(wait_for_link(*node), std::chrono::seconds(5));
  EXPECT_TRUE(link_up(*node));

  // A link held down, or a CNC without power, is not brought back by a reset.
  node->set_link(false);
  d.write(0x30800000, 0x0010, 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(link_up(*node));
  node->set_link(true);
  node->set_power(false);
  d.write(0x30800000, 0x0010, 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(link_up(*node));
}

TEST_F(CncsimBoard, PowerCycleClearsAllButSramAndFrom) {
  ASSERT_TRUE(node->poke(0x20CD0000, std::vector<uint8_t>{9, 9}));
  ASSERT_TRUE(node->poke(0x10000110, std::vector<uint8_t>{5, 0}));
  ASSERT_TRUE(node->poke(0xF0000100, std::vector<uint8_t>{0xAB, 0xCD}));
  ASSERT_TRUE(node->poke(0xE0000100, std::vector<uint8_t>{0x12, 0x34}));
  node->set_power(false);
  EXPECT_EQ(node->status(), 0);
  Driver d{*node};
  EXPECT_EQ(d.read(0x20CD0000, 2), 0xFFFFu);
  node->set_power(true);
  EXPECT_EQ(node->status(), lorand::kStatusLink | lorand::kStatusReady);
  EXPECT_EQ(peek(*node, 0x20CD0000, 2), (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(peek(*node, 0x10000110, 2), (std::vector<uint8_t>{8, 0}));
  EXPECT_EQ(peek(*node, 0xF0000100, 2), (std::vector<uint8_t>{0xAB, 0xCD}));
  EXPECT_EQ(peek(*node, 0xE0000100, 2), (std::vector<uint8_t>{0x12, 0x34}));
}

TEST_F(CncsimBoard, SramAndFromSurviveANewSimulatorOnTheSameFolder) {
  // Fresh state: erased flash reads all ones, SRAM zeros.
  EXPECT_EQ(peek(*node, 0xE0000000, 2), (std::vector<uint8_t>{0xFF, 0xFF}));
  EXPECT_EQ(peek(*node, 0xF0000000, 2), (std::vector<uint8_t>{0, 0}));
  const uint32_t sram_end = 0xF0000000 + cncsim::kDefaultSramSize - 2;
  const uint32_t from_end = 0xE0000000 + cncsim::kDefaultFromSize - 2;
  ASSERT_TRUE(node->poke(sram_end, std::vector<uint8_t>{1, 2}));
  ASSERT_TRUE(node->poke(from_end, std::vector<uint8_t>{3, 4}));
  ASSERT_TRUE(node->poke(0x20C00000, std::vector<uint8_t>{5}));
  EXPECT_FALSE(node->poke(sram_end + 2, std::vector<uint8_t>{7}));  // past the end
  sim.reset();
  EXPECT_EQ(fs::file_size(dir.path / "node0" / "sram.bin"), cncsim::kDefaultSramSize);
  EXPECT_EQ(fs::file_size(dir.path / "node0" / "from.bin"), cncsim::kDefaultFromSize);
  make();
  EXPECT_EQ(peek(*node, sram_end, 2), (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(peek(*node, from_end, 2), (std::vector<uint8_t>{3, 4}));
  EXPECT_EQ(peek(*node, 0x20C00000, 1), (std::vector<uint8_t>{0}));  // shared memory is not kept
}

// A daemon killed while it creates a state file leaves no file or a complete one: a restart finds
// erased flash (all ones) and grows a short file with erased bytes as well. The kills are spread
// over the time one creation takes on this machine.
TEST(CncsimState, KillDuringCreationLeavesAnErasedFrom) {
  TempDir dir;
  std::string error;
  const auto t0 = std::chrono::steady_clock::now();
  {
    cncsim::MappedFile probe;
    ASSERT_TRUE(probe.open(dir.path / "probe.bin", cncsim::kMaxSpaceSize, 0xFF, &error)) << error;
  }
  const auto took = std::chrono::steady_clock::now() - t0;
  constexpr int kTries = 12;
  for (int i = 0; i < kTries; ++i) {
    const fs::path file = dir.path / ("from" + std::to_string(i) + ".bin");
    if (i % 3 == 2) {  // an older, shorter file to be grown
      std::ofstream(file) << std::string(4096, '\x5A');
    }
    const pid_t child = fork();
    if (child == 0) {
      cncsim::MappedFile f;
      std::string e;
      f.open(file, cncsim::kMaxSpaceSize, 0xFF, &e);
      _exit(0);
    }
    std::this_thread::sleep_for(took * i / (kTries - 2));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    cncsim::MappedFile restarted;
    ASSERT_TRUE(restarted.open(file, cncsim::kMaxSpaceSize, 0xFF, &error)) << error;
    const size_t kept = i % 3 == 2 ? 4096 : 0;
    EXPECT_EQ(size_t(std::count(restarted.data(), restarted.data() + kept, 0x5A)), kept) << i;
    EXPECT_EQ(size_t(std::count(restarted.data() + kept, restarted.data() + restarted.size(), 0xFF)),
              restarted.size() - kept)
        << "try " << i << ": the F-ROM must read as erased";
  }
  size_t temporaries = 0;
  for (const auto& entry : fs::directory_iterator(dir.path))
    temporaries += entry.path().filename().string().find(".new-") != std::string::npos;
  EXPECT_EQ(temporaries, 0u);
}

TEST_F(CncsimBoard, UnusableStateFolderKeepsSramAndFromInMemory) {
  // The node's folder cannot be made (a file stands in the way), and in a second case the SRAM
  // file cannot be opened (a folder stands there): the node still works, from memory.
  std::ofstream(dir.path / "blocked");
  fs::create_directories(dir.path / "odd" / "node0" / "sram.bin");
  for (const fs::path& state : {dir.path / "blocked", dir.path / "odd"}) {
    SCOPED_TRACE(state);
    sim = std::make_unique<Simulator>(config_from("[Simulator]\n"), state);
    sim->board(0, kBase);
    node = sim->node(0);
    ASSERT_NE(node, nullptr);
    EXPECT_NE(node->describe().find("state memory"), std::string::npos);
    ASSERT_TRUE(node->poke(0xF0000000, std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(peek(*node, 0xF0000000, 2), (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(peek(*node, 0xE0000000, 1), (std::vector<uint8_t>{0xFF}));
  }
  EXPECT_TRUE(fs::is_regular_file(dir.path / "blocked"));
}

TEST_F(CncsimBoard, TraceKeepsOnlyTheNewestLines) {
  make("TraceLines0=3\n");
  node->trace_start();
  Driver d{*node};
  for (uint32_t i = 0; i < 5; ++i) d.write(0x20C00000 + i, i, 1);
  EXPECT_EQ(node->trace_lines(),
            (std::vector<std::string>{"W1 20c00002 02", "W1 20c00003 03", "W1 20c00004 04"}));
  node->trace_stop();
  d.write(0x20C00000, 0, 1);
  EXPECT_EQ(node->trace_lines().size(), 3u);
  EXPECT_NE(node->describe().find("trace off 3 lines (2 dropped)"), std::string::npos)
      << node->describe();
  node->trace_start();  // a new trace starts empty
  EXPECT_TRUE(node->trace_lines().empty());
}

TEST_F(CncsimBoard, ConcurrentUnitsAndRegisterRequestsStayConsistent) {
  // Two threads run units under one lock, as the driver does per node; a third makes register
  // requests and a fourth peeks, without it. Every value read back must be one that was written.
  std::mutex unit_lock;
  auto worker = [&](uint32_t address, uint32_t tag) {
    Driver d{*node};
    for (uint32_t i = 0; i < 2000; ++i) {
      uint32_t v = tag << 16 | i;
      {
        std::lock_guard l(unit_lock);
        d.write(address, v, 4);
      }
      uint32_t r;
      {
        std::lock_guard l(unit_lock);
        r = d.read(address, 4);
      }
      ASSERT_EQ(r, v);
    }
  };
  std::atomic<bool> done{false};
  std::thread a(worker, 0x20C00000, 1), b(worker, 0x20C00010, 2);
  std::thread c([&] {
    while (!done) node->register_in8(kBase + 9);
  });
  std::thread e([&] {
    std::vector<uint8_t> buf(4);
    while (!done) node->peek(0x20C00000, buf);
  });
  a.join();
  b.join();
  done = true;
  c.join();
  e.join();
}

TEST_F(CncsimBoard, DataAndAddressRegistersAgreeAtEveryWidth) {
  // Written at one width, read back at every other, including accesses that straddle into the
  // command and status registers (those go byte by byte).
  node->out32(kBase + 0, 0x44332211);
  node->out32(kBase + 4, 0x88776655);
  struct Read {
    uint32_t offset;
    unsigned width;
    uint32_t expected;
  };
  const Read reads[] = {
      {0, 1, 0x11}, {3, 1, 0x44}, {4, 1, 0x55}, {7, 1, 0x88}, {0, 2, 0x2211}, {2, 2, 0x4433},
      {4, 2, 0x6655}, {6, 2, 0x8877}, {3, 2, 0x5544}, {0, 4, 0x44332211}, {4, 4, 0x88776655},
      {7, 2, uint32_t(node->in8(kBase + 8)) << 8 | 0x88},
      {8, 4, 0xFF2A5000u | node->in8(kBase + 8)},  // command, status 0x50, scratch 0x2A, unused
  };
  node->register_out8(kBase + 10, 0x0A);
  for (const Read& r : reads) {
    SCOPED_TRACE(testing::Message() << "offset " << r.offset << " width " << r.width);
    const uint32_t port = kBase + r.offset;
    const uint32_t got = r.width == 1 ? node->in8(port) : r.width == 2 ? node->in16(port) : node->in32(port);
    EXPECT_EQ(got, r.expected);
  }
  // Narrow writes replace only their own bytes.
  node->out8(kBase + 5, 0xAB);
  node->out16(kBase + 2, 0xCDEF);
  node->out16(kBase + 6, 0x1234);
  EXPECT_EQ(node->in32(kBase + 0), 0xCDEF2211u);
  EXPECT_EQ(node->in32(kBase + 4), 0x1234AB55u);
}

TEST_F(CncsimBoard, ConcurrentByteWritesToOneRegisterKeepEveryByte) {
  // Four threads each own one byte of the address register; none may undo another's write.
  constexpr uint32_t kRounds = 20000;
  std::vector<std::thread> writers;
  for (uint32_t b = 0; b < 4; ++b)
    writers.emplace_back([&, b] {
      for (uint32_t i = 0; i <= kRounds; ++i) node->out8(kBase + 4 + b, uint8_t(i + b));
    });
  for (auto& t : writers) t.join();
  uint32_t expected = 0;
  for (uint32_t b = 0; b < 4; ++b) expected |= uint32_t(uint8_t(kRounds + b)) << (8 * b);
  EXPECT_EQ(node->in32(kBase + 4), expected);
}

TEST_F(CncsimBoard, StatusPollsFollowEveryChangeWithoutAUnit) {
  // The status register as the driver polls it (plain port reads), after each control change.
  Driver d{*node};
  struct Step {
    const char* what;
    std::function<void()> change;
    uint8_t expected;
  };
  const uint8_t up = lorand::kStatusLink | lorand::kStatusReady;
  const Step steps[] = {
      {"ready off", [&] { node->set_ready(false); }, lorand::kStatusLink},
      {"ready on", [&] { node->set_ready(true); }, up},
      {"stuck busy", [&] { node->set_fault(cncsim::Fault::kStuckBusy, true); }, uint8_t(lorand::kStatusBusy | up)},
      {"stuck busy off", [&] { node->set_fault(cncsim::Fault::kStuckBusy, false); }, up},
      {"busy at start", [&] { node->set_busy_at_start(true); }, uint8_t(lorand::kStatusBusy | up)},
      {"busy at start off", [&] { node->set_busy_at_start(false); }, up},
      {"link down", [&] { node->set_link(false); }, 0},
      {"link up", [&] { node->set_link(true); }, up},
      {"link lost", [&] { node->lose_link(); }, 0},
      {"link reset by the PC", [&] { d.write(0x30800000, 0x10, 1); }, 0},
      {"power off", [&] { node->set_power(false); }, 0},
      {"power on", [&] { node->set_power(true); }, up},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.change();
    EXPECT_EQ(node->in8(kBase + 9), step.expected);
  }
  // The reset link comes back by itself once its time is up, seen by polls alone.
  node->lose_link();
  d.write(0x30800000, 0x10, 1);
  const auto start = std::chrono::steady_clock::now();
  while (!(node->in8(kBase + 9) & lorand::kStatusLink) &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
  }
  EXPECT_EQ(node->in8(kBase + 9), up);
}

TEST_F(CncsimBoard, ControlCommandsDriveTheNode) {
  struct Case {
    const char* line;
    bool ok;
    const char* output;  // nullptr: not checked
  };
  const Case cases[] = {
      {"poke 0 0x20c01000 a1b2C3", true, ""},
      {"peek 0 0x20c01000 3", true, "a1b2c3\n"},
      {"peek 0 549457920 2", true, "a1b2\n"},  // decimal address
      {"peek 0 0x7f000000 2", true, "ffff\n"},
      {"poke 0 0x20c01000 abc", false, nullptr},
      {"poke 0 0x20c01000 zz", false, nullptr},
      {"poke 0 0x7f000000 00", false, nullptr},
      {"link 0 down", true, ""},
      {"link 0 sideways", false, nullptr},
      {"ready 0 off", true, ""},
      {"fault 0 stuck-busy on", true, ""},
      {"fault 0 melted on", false, nullptr},
      {"busy 0 off", true, ""},
      {"unit-time 0 0x10", true, ""},
      {"peek 1 0 1", false, nullptr},   // no such simulated node
      {"peek x 0 1", false, nullptr},
      {"frobnicate 0", false, nullptr},
      {"", false, nullptr},
      {"power 0 off", true, ""},
      {"power 0 on", true, ""},
      {"link 0 up", true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::string out;
    EXPECT_EQ(sim->command(c.line, &out), c.ok) << out;
    if (c.output) {
      EXPECT_EQ(out, c.output);
    }
    if (!c.ok) {
      EXPECT_FALSE(out.empty());
    }
  }
  // Power-on brought ready back; the stuck-busy fault stays until cleared.
  EXPECT_EQ(node->status(), lorand::kStatusBusy | lorand::kStatusLink | lorand::kStatusReady);
}

// The `cncsim` program against a simulator serving its control socket in this process.
moxel::test::ProgramResult run_cncsim(const fs::path& socket, std::vector<std::string> args) {
  args.insert(args.begin(), {CNCSIM_PROGRAM, "--socket", socket.string()});
  return moxel::test::run_program(args, moxel::test::Stderr::merged);
}

// A client that sends its command a byte at a time holds up no other client, and is dropped when
// the deadline for its command has passed.
TEST_F(CncsimBoard, ATricklingControlClientHoldsUpNobody) {
  const fs::path socket = dir.path / "cncsim";
  std::string error;
  sim->set_command_deadline(std::chrono::seconds(8));
  ASSERT_TRUE(sim->start_control(socket, 0600, gid_t(-1), &error)) << error;

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
  const int slow = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(slow, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  timeval limit{30, 0};
  setsockopt(slow, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::atomic<bool> answered{false};
  std::thread trickle([&] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!answered && std::chrono::steady_clock::now() < until) {
      if (::send(slow, "s", 1, MSG_NOSIGNAL) != 1) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the trickler is being served

  const auto r = run_cncsim(socket, {"status", "0"});
  EXPECT_EQ(r.status, 0) << r.out;
  char peeked;
  EXPECT_LT(::recv(slow, &peeked, 1, MSG_PEEK | MSG_DONTWAIT), 0)
      << "the other client was served while the trickler still had no answer";
  // The trickler gets its refusal once its deadline passed (the read is bounded by SO_RCVTIMEO).
  std::string reply;
  char buffer[256];
  for (ssize_t n; (n = ::read(slow, buffer, sizeof buffer)) > 0;) reply.append(buffer, size_t(n));
  answered = true;
  trickle.join();
  ::close(slow);
  EXPECT_EQ(reply, "ERR\ncommand not complete in time\n");
}

// Pokes larger than a command line can carry take their bytes from a file or standard input.
TEST_F(CncsimBoard, PokeTakesItsDataFromAFileOrStandardInput) {
  const fs::path socket = dir.path / "cncsim";
  std::string error;
  ASSERT_TRUE(sim->start_control(socket, 0600, gid_t(-1), &error)) << error;
  std::string data(3 * 1024 * 1024, '\0');  // 3 MB: far past what one argument may hold
  for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7 + i / 251);
  const fs::path file = dir.path / "data.bin";
  std::ofstream(file, std::ios::binary) << data;

  auto r = run_cncsim(socket, {"poke", "0", "0xE0000000", "--file", file.string()});
  ASSERT_EQ(r.status, 0) << r.out;
  std::vector<uint8_t> back(data.size());
  node->peek(0xE0000000, back);
  auto same = [](uint8_t a, char b) { return a == uint8_t(b); };
  EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin(), same)) << "the F-ROM holds the file";

  data.resize(0x100000);
  std::ofstream(file, std::ios::binary | std::ios::trunc) << std::string(data.rbegin(), data.rend());
  r = moxel::test::run_program({"/bin/sh", "-c",
                                std::string(CNCSIM_PROGRAM) + " --socket " + socket.string() +
                                    " poke 0 0x20c00000 --file - < " + file.string()},
                               moxel::test::Stderr::merged);
  ASSERT_EQ(r.status, 0) << r.out;
  back.assign(0x100000, 0);
  node->peek(0x20C00000, back);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), data.rbegin(), same)) << "shared memory holds standard input";

  std::ofstream(file, std::ios::binary | std::ios::trunc) << std::string(cncsim::kMaxPeek + 1, 'x');
  r = run_cncsim(socket, {"poke", "0", "0x20c00000", "--file", file.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("more than"), std::string::npos) << r.out;
  r = run_cncsim(socket, {"poke", "0", "0x20c00000", "--file", (dir.path / "absent").string()});
  EXPECT_EQ(r.status, 1);
}

TEST_F(CncsimBoard, CommandTalksToTheControlSocket) {
  fs::path socket = dir.path / "cncsim";
  std::string error;
  ASSERT_TRUE(sim->start_control(socket, 0600, gid_t(-1), &error)) << error;
  struct stat st {};
  ASSERT_EQ(stat(socket.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A second simulator does not take over a socket that is being served.
  Simulator other(config_from("[Simulator]\n"), {});
  EXPECT_FALSE(other.start_control(socket, 0600, gid_t(-1), &error));
  EXPECT_NE(error.find("another simulator"), std::string::npos) << error;

  auto r = run_cncsim(socket, {"poke", "0", "0x20c01001", "deadbeef"});
  EXPECT_EQ(r.status, 0) << r.out;
  r = run_cncsim(socket, {"peek", "0", "0x20c01000", "6"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "00deadbeef00\n");
  r = run_cncsim(socket, {"link", "0", "down"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(node->status(), 0);
  r = run_cncsim(socket, {"link", "0", "nowhere"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("link"), std::string::npos);

  // A larger poke and peek travel whole.
  std::string hex;
  for (int i = 0; i < 0x4000; ++i) hex += "5a";
  EXPECT_EQ(run_cncsim(socket, {"poke", "0", "0x20c10000", hex}).status, 0);
  r = run_cncsim(socket, {"peek", "0", "0x20c10000", "0x4000"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out == hex + "\n") << r.out.size() << " characters";

  sim->stop();
  EXPECT_FALSE(fs::exists(socket));
  r = run_cncsim(socket, {"peek", "0", "0", "1"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("no simulator"), std::string::npos);
}

}  // namespace
