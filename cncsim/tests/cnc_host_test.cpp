// The CNC's own software on a simulated node, driven in-process through the board's register
// protocol exactly as the driver does it: the mailbox wake-up, boot phases, faults and the
// F-ROM directory kept over a restart.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "testsupport/temp_folder.h"
#include "cncsim/cnc/boot.h"
#include "cncsim/cnc/host.h"
#include "cncsim/cnc/mailbox.h"
#include "cncsim/cnc/module_header.h"
#include "cncsim/simulator.h"
#include "driver/core/status.h"

namespace {

using cncsim::Simulator;
using namespace cncsim::cnc;
namespace fs = std::filesystem;

constexpr uint32_t kBase = 0x300;
constexpr uint32_t kArea = 0x20CD0000;  // communication area of a node that is not type 3
constexpr uint32_t kMailbox = kArea + 0x100;

// A temporary folder removed at the end of the test.
struct TempDir : moxel::test::TempFolder {
  TempDir() : TempFolder("cnc-host-test") {}
};

// One unit at a time through the board's registers, as the driver runs them.
struct Pc {
  lorand::PortIo& io;

  void idle() {
    for (int i = 0; i < 1000000; ++i)
      if (!(io.in8(kBase + lorand::kRegStatus) & lorand::kStatusBusy)) return;
    ADD_FAILURE() << "board stays busy";
  }
  uint32_t read(uint32_t address, unsigned size) {
    idle();
    io.out32(kBase + lorand::kRegAddress, address);
    io.out8(kBase + lorand::kRegCommand, uint8_t(0x80 | size));
    idle();
    return size == 2 ? io.in16(kBase) : io.in32(kBase);
  }
  void write(uint32_t address, uint32_t value, unsigned size) {
    idle();
    if (size == 2)
      io.out16(kBase, uint16_t(value));
    else
      io.out32(kBase, value);
    io.out32(kBase + lorand::kRegAddress, address);
    io.out8(kBase + lorand::kRegCommand, uint8_t(size));
  }
  // Waits (bounded) until the flag satisfies `done`; returns the last flag read.
  template <class Done>
  uint16_t wait_flag(Done done, int ms = 5000) {
    uint16_t flag = 0;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
         std::chrono::steady_clock::now() < end;) {
      flag = uint16_t(read(kMailbox, 2));
      if (done(flag)) break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return flag;
  }
  // Posts a request; returns the flag once it settled (0 when answered).
  uint16_t post(uint16_t function, uint16_t i1 = 0, uint16_t i2 = 0, uint32_t i3 = 0, uint32_t i4 = 0) {
    write(kMailbox, uint32_t(function) << 16, 4);
    write(kMailbox + 8, uint32_t(i1) | uint32_t(i2) << 16, 4);
    write(kMailbox + 12, i3, 4);
    write(kMailbox + 16, i4, 4);
    write(kMailbox, 1, 2);
    return wait_flag([](uint16_t f) { return f == 0; }, 2000);
  }
  uint16_t status() { return uint16_t(read(kMailbox + 4, 2)); }
  uint16_t error() { return uint16_t(read(kMailbox + 6, 2)); }
  uint16_t o1() { return uint16_t(read(kMailbox + 20, 2)); }
};

moxel::ConfigData config_from(const std::string& text) {
  auto c = moxel::ConfigData::parse(text);
  EXPECT_TRUE(c.has_value());
  return c.value_or(moxel::ConfigData{});
}

class CncHost : public ::testing::Test {
 protected:
  TempDir dir;
  std::unique_ptr<Simulator> sim;
  std::unique_ptr<Pc> pc;

  void make(const std::string& simulator = "") {
    pc.reset();
    sim.reset();
    sim = std::make_unique<Simulator>(config_from("[Simulator]\n" + simulator), dir.path);
    pc = std::make_unique<Pc>(Pc{sim->board(0, kBase)});
  }
  void SetUp() override { make(); }
  std::string command(const std::string& line, bool expect_ok = true) {
    std::string out;
    EXPECT_EQ(sim->command(line, &out), expect_ok) << line << ": " << out;
    return out;
  }
  uint16_t state_word() { return uint16_t(pc->read(kArea, 2)); }
};

TEST_F(CncHost, MailboxAnswersAPostedRequestAndKeepsTheHandshakeWords) {
  // The PC's handshake test word and descriptor stay where it put them.
  pc->write(kArea + 6, 0x20, 2);
  pc->write(kArea + 8, 0xD0100, 4);
  EXPECT_EQ(pc->post(0x004, 0, 0, 0x1000), 0);
  EXPECT_EQ(pc->status(), 0);
  EXPECT_EQ(pc->o1(), 3);  // the default boards
  EXPECT_EQ(pc->read(0x20C01000 + 12, 4), 0x4E49414Du);  // "MAIN"
  EXPECT_EQ(pc->read(kArea + 6, 2), 0x20u);
  EXPECT_EQ(pc->read(kArea + 8, 4), 0xD0100u);

  EXPECT_EQ(pc->post(0x999), 0);  // unknown function
  EXPECT_EQ(pc->status(), 1);
  EXPECT_EQ(pc->error(), kErrorUnknownFunction);
}

TEST_F(CncHost, FaultsHoldTheFlagAsAHungOrDeadBootSoftwareWould) {
  command("fault 0 mailbox-silent on");
  EXPECT_EQ(pc->post(0x004, 0, 0, 0x1000), 1);  // never taken (waits the 2 s bound)
  command("boot 0 console");                      // a restart drops the request
  command("fault 0 mailbox-silent off");
  command("fault 0 mailbox-stuck on");
  EXPECT_EQ(pc->post(0x004, 0, 0, 0x1000), kBusyFlag);  // taken, never finished
  EXPECT_NE(command("status 0").find("mailbox hung"), std::string::npos);
  command("fault 0 mailbox-stuck off");
  command("boot 0 console");
  command("fault 0 function-fails on 0x004");
  EXPECT_EQ(pc->post(0x004, 0, 0, 0x1000), 0);
  EXPECT_EQ(pc->status(), 1);
  EXPECT_EQ(pc->error(), kErrorFaulted);
}

TEST_F(CncHost, FaultCommandsNameEveryFaultAndCheckTheirValues) {
  const std::string list = command("fault 0 list");
  for (const char* name : {"mailbox-silent", "mailbox-stuck", "sram-read-error", "sram-write-error",
                           "from-write-refused", "from-erase-refused", "link-drop-after", "stuck-busy",
                           "function-fails"})
    EXPECT_NE(list.find(name), std::string::npos) << name;
  command("fault 0 sram-read-error on", false);     // needs a value
  command("fault 0 mailbox-silent on 3", false);    // takes none
  command("fault 0 melted on", false);
  command("fault 0 sram-read-error on 2");
  EXPECT_NE(command("fault 0 list").find("sram-read-error VALUE  on 2"), std::string::npos);
  command("fault 0 link-drop-after on 3");
  pc->read(kArea, 2);
  pc->read(kArea, 2);
  EXPECT_TRUE(pc->io.in8(kBase + lorand::kRegStatus) & lorand::kStatusLink);
  pc->read(kArea, 2);
  EXPECT_FALSE(pc->io.in8(kBase + lorand::kRegStatus) & lorand::kStatusLink);
}

TEST_F(CncHost, BootModesSetThePhaseAndTheStateWord) {
  struct Case {
    const char* settings;
    const char* phase;
    uint16_t word;
  };
  const Case cases[] = {
      {"", "console", kStateConsole},
      {"BootMode0=console\n", "console", kStateConsole},
      {"BootMode0=running\n", "running", kStateRunning},
      {"BootMode0=auto\n", "running", kStateRunning},  // LoadTime 0: straight on
      {"BootMode0=auto\nLoadTime0=60000\n", "loading", kStateLoading},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    make(c.settings);
    std::string status;
    for (int i = 0; i < 500; ++i) {
      status = command("status 0");
      if (status.find(std::string("phase ") + c.phase + "\n") != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_NE(status.find(std::string("phase ") + c.phase + "\n"), std::string::npos) << status;
    EXPECT_EQ(state_word(), c.word);
  }
  make();
  command("boot 0 running");
  EXPECT_EQ(state_word(), kStateRunning);
  command("boot 0 console");
  EXPECT_EQ(state_word(), kStateConsole);
  command("boot 0 sideways", false);
  // A power cycle restarts in the configured mode.
  command("boot 0 running");
  command("power 0 off");
  command("power 0 on");
  for (int i = 0; i < 500 && command("status 0").find("phase console") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_NE(command("status 0").find("phase console"), std::string::npos);
}

TEST_F(CncHost, LeaveConsoleMovesOnAndTheMailboxIsServedOnlyInTheConsole) {
  EXPECT_EQ(pc->post(0x001), 0);
  EXPECT_EQ(pc->status(), 0);
  for (int i = 0; i < 500 && state_word() != kStateRunning; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(state_word(), kStateRunning);
  EXPECT_EQ(pc->post(0x004, 0, 0, 0x1000), 1);  // nobody serves the mailbox now
}

TEST_F(CncHost, ModuleLoadedThroughTheMailboxStaysInTheDirectoryOverARestart) {
  ModuleInfo info{"PROGRAM1", 0x30000, false, kModuleProtected, "V1"};
  const ModuleHeader header = make_module_header(info);
  for (uint32_t i = 0; i < header.size(); i += 4) {
    uint32_t v;
    std::memcpy(&v, header.data() + i, 4);
    pc->write(0x20C00000 + i, v, 4);
  }
  ASSERT_EQ(pc->post(0x106, 0, 0, 0, 0x1000), 0);
  ASSERT_EQ(pc->status(), 0);
  EXPECT_EQ(pc->o1(), 0);                         // first block
  EXPECT_EQ(pc->read(kMailbox + 22, 2), 2u);      // two blocks
  EXPECT_EQ(pc->read(0x20C01000, 4), 0x474F5250u);  // "PROG"
  for (uint16_t b = 0; b < 2; ++b) {
    ASSERT_EQ(pc->post(0x103, b), 0);
    ASSERT_EQ(pc->post(0x102, b, 0, 0x20000), 0);
    ASSERT_EQ(pc->status(), 0);
  }
  make();  // a new simulator on the same state folder
  ASSERT_EQ(pc->post(0x104, 0, 0, 0x2000), 0);
  ASSERT_EQ(pc->o1(), 1);
  EXPECT_EQ(pc->read(0x20C02000, 4), 0x474F5250u);
  EXPECT_EQ(pc->read(0x20C02000 + 10, 2), 0x0200u);  // block count, high byte first
  EXPECT_EQ(pc->read(0x20C02000 + 34, 1) & 0xFF, 0u);  // protected: bit 0 clear
  ASSERT_EQ(pc->post(0x108, 0, 0, 0x3000), 0);
  ASSERT_EQ(pc->status(), 0);
  EXPECT_EQ(pc->read(0x20C03000 + 24, 4), 0x30000u);
}

// Announces a module through the mailbox and writes its blocks with zeros; returns its first block.
uint16_t load_module(Pc& pc, const ModuleInfo& info) {
  const ModuleHeader header = make_module_header(info);
  for (uint32_t i = 0; i < header.size(); i += 4) {
    uint32_t v;
    std::memcpy(&v, header.data() + i, 4);
    pc.write(0x20C00000 + i, v, 4);
  }
  EXPECT_EQ(pc.post(0x106, 0, 0, 0, 0x1000), 0);
  EXPECT_EQ(pc.status(), 0);
  const uint16_t first = pc.o1(), count = uint16_t(pc.read(kMailbox + 22, 2));
  for (uint16_t b = first; b < first + count; ++b) {
    pc.post(0x103, b);
    pc.post(0x102, b, 0, 0x20000);
    EXPECT_EQ(pc.status(), 0);
  }
  return first;
}

uint16_t module_count(Pc& pc) {
  pc.post(0x104, 0, 0, 0x2000);
  return pc.o1();
}

TEST_F(CncHost, ModulesArePlacedReplacedAndRemovedByErasing) {
  EXPECT_EQ(load_module(*pc, {"ALPHA", 0x20000, false, 0, ""}), 0);
  EXPECT_EQ(load_module(*pc, {"BETA", 0x40000, false, 0, ""}), 1);
  // The same name and size loads again in its place; a bigger one goes to free blocks.
  EXPECT_EQ(load_module(*pc, {"ALPHA", 0x20000, false, 0, ""}), 0);
  EXPECT_EQ(module_count(*pc), 2);
  // A bigger BETA may use the old one's blocks: the erase before its first write ends the old one.
  EXPECT_EQ(load_module(*pc, {"BETA", 0x60000, false, 0, ""}), 1);
  EXPECT_EQ(module_count(*pc), 2);
  EXPECT_EQ(pc->read(0x20C02000 + 48 + 10, 2), 0x0300u);  // BETA: three blocks
  // Erasing any block of a loaded module removes it.
  pc->post(0x103, 2);
  EXPECT_EQ(module_count(*pc), 1);
  // An interleaved module starts at an even block.
  EXPECT_EQ(load_module(*pc, {"PAIRS", 0x40000, true, 0, ""}), 2);
  // A written F-ROM block that was not erased fails the verify.
  pc->post(0x102, 0, 0, 0x1000);  // block 0 holds zeros; the buffer holds a directory
  EXPECT_EQ(pc->status(), 1);
  EXPECT_EQ(pc->error(), 2);
}

TEST_F(CncHost, InitialiseErasesItselfOrLeavesItToThePc) {
  for (const char* answer : {"0", "1"}) {
    SCOPED_TRACE(answer);
    make(std::string("InitAnswer0=") + answer + "\n");
    load_module(*pc, {"GAMMA", 0x20000, false, 0, ""});
    ASSERT_EQ(module_count(*pc), 1);
    pc->post(0x107);
    EXPECT_EQ(pc->status(), answer[0] == '0' ? 0 : 1);
    EXPECT_EQ(module_count(*pc), 0);
    // Erased by the CNC: block 0 reads 0xFF again; left to the PC: still the zeros written.
    pc->post(0x101, 0, 0, 0x4000);
    EXPECT_EQ(pc->read(0x20C04000, 4), answer[0] == '0' ? 0xFFFFFFFFu : 0u);
  }
}

TEST(CncModuleHeader, OnlyAWholeAndCheckedHeaderPasses) {
  const ModuleHeader good = make_module_header({"NC BASIC", 0x50000, true, 0, "A1"});
  ModuleInfo info;
  ASSERT_TRUE(parse_module_header(good, &info));
  EXPECT_EQ(info.name, "NC BASIC");
  EXPECT_EQ(info.size, 0x50000u);
  EXPECT_TRUE(info.interleaved);
  EXPECT_EQ(module_blocks(info), 4u);  // interleaved: whole pairs of blocks
  info.interleaved = false;
  EXPECT_EQ(module_blocks(info), 3u);

  struct Case {
    const char* what;
    size_t at;
    uint8_t value;
  };
  const Case broken[] = {{"magic", 0, 'X'}, {"check", 124, 0}, {"interleave text", 59, '2'}};
  for (const Case& c : broken) {
    SCOPED_TRACE(c.what);
    ModuleHeader h = good;
    h[c.at] = c.value;
    EXPECT_FALSE(parse_module_header(h, nullptr));
  }
  EXPECT_FALSE(parse_module_header(make_module_header({"", 10, false, 0, ""}), nullptr));
  EXPECT_FALSE(parse_module_header(make_module_header({"EMPTY", 0, false, 0, ""}), nullptr));
}

TEST(CncBoards, ConfiguredListOrTheDefaultWhenItIsBad) {
  std::string error;
  auto boards = boards_from_config(
      config_from("[Simulator]\nBoards1=3,CELL,CEL,0x40000,0x8000,7; 4,AUX,,0,0x10000,8\n"), 1, &error);
  ASSERT_EQ(boards.size(), 2u) << error;
  EXPECT_EQ(boards[1].number, 4);
  EXPECT_EQ(boards[1].from_start, 0x40000u);
  EXPECT_EQ(boards[1].sram_start, 0x8000u);
  EXPECT_EQ(boards[1].sram_code, 8);
  boards = boards_from_config(config_from("[Simulator]\nBoards1=3,CELL,CEL,0x1000,0x8000,7\n"), 1, &error);
  EXPECT_EQ(boards.size(), 3u);  // the default set
  EXPECT_NE(error.find("128 KB"), std::string::npos);
}

}  // namespace
