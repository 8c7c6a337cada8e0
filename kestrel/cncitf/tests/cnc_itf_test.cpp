// CCncItf and CBootFunc against the simulated boot software in a lorandd of the test's own, and
// across processes for the interface lock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <sstream>
#include <thread>
#include <vector>

#include "cncsim/cnc/module_header.h"
#include "cnbusclient/cnbus_client.h"
#include "kestrel/cncitf/boot_func.h"
#include "kestrel/cncitf/cnc_itf.h"
#include "platform/named_lock.h"
#include "platform/prompter.h"
#include "testsupport/test_daemon.h"

extern char** environ;

namespace {

using kestrel::CBootFunc;
using kestrel::CCncItf;
using kestrel::CItfErr;

constexpr const char* kConfig =
    "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Mill\n"
    "IoPortAddress3=0x330\nCncType3=3\nNodeName3=Lathe\n"
    "[Host]\nBoard0=sim\nBoard3=sim\nSocketMode=0600\n";

class CncItf : public ::testing::Test {
 protected:
  moxel::test::Daemon daemon{"cncitf-test"};
  std::unique_ptr<cnbus::CCnbusClient> client;

  void SetUp() override {
    daemon.configure(kConfig);
    ASSERT_TRUE(daemon.start()) << daemon.error() << daemon.log();
    client = std::make_unique<cnbus::CCnbusClient>();
    ASSERT_EQ(client->SelectNode(0), 1);
  }
  void TearDown() override { client.reset(); }
  void cncsim(const std::string& args) {
    const auto r = daemon.cncsim(args);
    ASSERT_EQ(r.status, 0) << args << ": " << r.err;
  }
  std::string status(int node) { return daemon.cncsim("status " + std::to_string(node)).out; }
  static bool lock_free() {
    moxel::NamedLock lock(CCncItf::kMutexName);
    const bool free = lock.try_lock();
    lock.unlock();
    return free;
  }
  static std::vector<uint8_t> pattern(uint8_t seed, size_t size = kestrel::kFromBlockSize) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = uint8_t(seed + i * 7 + (i >> 9));
    return data;
  }
};

TEST_F(CncItf, TimeOutCountsWholeSecondsThenEveryCallReturnsAtOnceWithoutTheLock) {
  int64_t now = 1000;
  int passes = 0;
  CCncItf itf(*client, [&] { ++passes, ++now; }, [&] { return now; });
  cncsim("fault 0 mailbox-silent on");
  try {
    itf.Call(0x004, 0, 0, itf.BufferBase());
    FAIL() << "no time-out";
  } catch (const CItfErr& e) {
    EXPECT_EQ(e.code(), 2);
    EXPECT_EQ(e.text(), "CNC boot software is not running.\nBoot process will be aborted.");
  }
  EXPECT_EQ(passes, 121);  // the first poll at which the readings differ by more than 120
  EXPECT_EQ(itf.ErrorState(), 2);
  EXPECT_FALSE(itf.MutexHeld());

  // Another holder keeps the lock: the next Call neither waits for it nor reaches the CNC.
  moxel::NamedLock other(CCncItf::kMutexName);
  ASSERT_TRUE(other.try_lock());
  cncsim("trace 0 start");
  auto call = std::async(std::launch::async, [&] { return itf.Call(0x004, 0, 0, itf.BufferBase()); });
  ASSERT_EQ(call.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(call.get(), 2);
  EXPECT_EQ(itf.Status(), 0xFFFF);
  EXPECT_EQ(daemon.cncsim("trace 0 show").out, "");
}

TEST_F(CncItf, SramErrorsBecomeTheirCodesAndLeaveTheLockFree) {
  struct Case {
    const char* fault;
    int value;
    int code;
    int state;  // error state afterwards: only the parity error ends the interface
  };
  const Case cases[] = {
      {"sram-read-error", 1, 3, 3}, {"sram-read-error", 2, 4, 0}, {"sram-read-error", 3, 5, 0},
      {"sram-write-error", 1, 6, 0}, {"sram-write-error", 2, 7, 0}, {"sram-write-error", 3, 8, 0},
  };
  std::vector<uint8_t> block(kestrel::kSramBlockSize);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fault) + " " + std::to_string(c.value));
    cncsim(std::string("fault 0 ") + c.fault + " on " + std::to_string(c.value));
    CCncItf itf(*client);
    CBootFunc boot(itf);
    try {
      if (std::strcmp(c.fault, "sram-read-error") == 0)
        boot.ReadSramBlock(0, block.data(), 1);
      else
        boot.WriteSramBlock(0, block.data(), 1);
      ADD_FAILURE() << "no error";
    } catch (const CItfErr& e) {
      EXPECT_EQ(e.code(), c.code);
    }
    EXPECT_EQ(itf.ErrorState(), c.state);
    EXPECT_FALSE(itf.MutexHeld());
    EXPECT_TRUE(lock_free());
    cncsim(std::string("fault 0 ") + c.fault + " off");
  }
}

TEST_F(CncItf, SramBlocksGoBothWaysAndAnUnusableInterfaceNeverPassesStaleData) {
  CCncItf itf(*client);
  CBootFunc boot(itf);
  const std::vector<uint8_t> data = pattern(5, kestrel::kSramBlockSize);
  boot.WriteSramBlock(0x100, data.data(), 2);  // board SUB's access code
  std::vector<uint8_t> back(kestrel::kSramBlockSize);
  boot.ReadSramBlock(0x100, back.data(), 2);
  EXPECT_EQ(back, data);
  // Board SUB's SRAM follows MAIN's 256 KB in the node's SRAM space.
  EXPECT_EQ(daemon.cncsim("peek 0 0xF0050000 1").out, "05\n");
  cncsim("fault 0 sram-read-error on 1");
  EXPECT_THROW(boot.ReadSramBlock(0x100, back.data(), 2), CItfErr);
  cncsim("fault 0 sram-read-error off");
  try {
    boot.ReadSramBlock(0x100, back.data(), 2);
    ADD_FAILURE() << "read on an unusable interface";
  } catch (const CItfErr& e) {
    EXPECT_EQ(e.code(), 3);
  }
}

// Runs of SRAM blocks with the next block's call posted behind the end of the one before: every
// block arrives whole and in order, a stop leaves the mailbox idle and the lock free, a source
// that stops leaves the blocks after it untouched, and an error ends the run at once.
TEST_F(CncItf, SramBlockRunsOverlapTheCncAndStopCleanly) {
  // Requests the simulated boot software took so far.
  auto taken = [&] {
    const std::string s = status(0);
    const size_t at = s.find("mailbox ready ");
    return at == std::string::npos ? -1 : std::stoi(s.substr(at + 14));
  };
  CCncItf itf(*client);
  CBootFunc boot(itf);
  constexpr int kBlocks = 6;
  const std::vector<uint8_t> data = pattern(3, kestrel::kSramBlockSize * kBlocks);
  int filled = 0;
  boot.WriteSramBlocks(0, 1, kBlocks, true, [&](uint8_t* block) {
    if (filled == kBlocks - 1) return false;  // the last block is never written
    std::memcpy(block, data.data() + filled++ * kestrel::kSramBlockSize, kestrel::kSramBlockSize);
    return true;
  });
  EXPECT_FALSE(itf.MutexHeld());
  std::vector<uint8_t> back, before_last(kestrel::kSramBlockSize);
  boot.ReadSramBlock(0, before_last.data(), kBlocks);
  for (const bool overlap : {true, false}) {
    SCOPED_TRACE(overlap ? "overlapped" : "one block at a time");
    back.clear();
    boot.ReadSramBlocks(0, 1, kBlocks, overlap, [&](const uint8_t* block) {
      back.insert(back.end(), block, block + kestrel::kSramBlockSize);
      return true;
    });
    ASSERT_EQ(back.size(), data.size());
    EXPECT_TRUE(std::equal(back.begin(), back.end() - kestrel::kSramBlockSize, data.begin()));
    EXPECT_TRUE(std::equal(back.end() - kestrel::kSramBlockSize, back.end(), before_last.begin()));
    int handed = 0;
    const int before = taken();
    boot.ReadSramBlocks(0, 1, kBlocks, overlap, [&](const uint8_t*) { return ++handed < 2; });
    EXPECT_EQ(handed, 2);
    // With overlap at most the block after the stop was asked for too.
    EXPECT_GE(taken() - before, 2);
    EXPECT_LE(taken() - before, overlap ? 3 : 2);
    EXPECT_EQ(daemon.cncsim("peek 0 0x20CD0100 2").out, "0000\n");  // nothing left under way
    EXPECT_TRUE(lock_free());
  }
  // A block that fails is the last one asked for.
  cncsim("fault 0 sram-read-error on 2");
  int before = taken();
  int handed = 0;
  try {
    boot.ReadSramBlocks(0, 1, kBlocks, true, [&](const uint8_t*) { return ++handed > 0; });
    ADD_FAILURE() << "no error";
  } catch (const CItfErr& e) {
    EXPECT_EQ(e.code(), 4);
  }
  EXPECT_EQ(handed, 0);
  EXPECT_EQ(taken() - before, 1);
  EXPECT_TRUE(lock_free());
  cncsim("fault 0 sram-read-error off");
  cncsim("fault 0 sram-write-error on 3");
  before = taken();
  filled = 0;
  EXPECT_THROW(boot.WriteSramBlocks(0, 1, kBlocks, true, [&](uint8_t*) { return ++filled > 0; }), CItfErr);
  EXPECT_LE(filled, 2);  // the first block, and at most the one filled while it was written
  EXPECT_EQ(taken() - before, 1);
  EXPECT_TRUE(lock_free());
}

TEST_F(CncItf, TypeThreeNodeMovesTheCommunicationAreaAndTheTransferBuffer) {
  CCncItf plain(*client);
  EXPECT_EQ(plain.AreaBase(), 0xD0000u);
  EXPECT_EQ(plain.BufferBase(), 0u);

  cnbus::CCnbusClient lathe;
  ASSERT_EQ(lathe.SelectNode(3), 1);
  CCncItf itf(lathe);
  EXPECT_EQ(itf.AreaBase(), 0u);
  EXPECT_EQ(itf.BufferBase(), 0x10000u);
  itf.Call(0x004, 0, 0, itf.BufferBase());
  EXPECT_EQ(itf.Status(), 0);
  EXPECT_EQ(itf.Image().o1, 3);
  // The boot software found the mailbox at 0x100 and wrote the boards into the moved buffer.
  EXPECT_EQ(daemon.cncsim("peek 3 0x20C1000C 4").out, "4d41494e\n");  // "MAIN"
  EXPECT_EQ(daemon.cncsim("peek 3 0x20C00102 2").out, "0400\n");
}

TEST_F(CncItf, RefusedBlockReadListsTheElevenFieldsAndFreesTheLock) {
  CCncItf itf(*client);
  CBootFunc boot(itf);
  std::vector<uint8_t> buffer(kestrel::kFromBlockSize);
  try {
    boot.ReadBlock(200, buffer.data());  // board MAIN has 24 blocks
    FAIL() << "no error";
  } catch (const CItfErr& e) {
    EXPECT_EQ(e.code(), 0);
    EXPECT_EQ(e.message(),
              "INTERNAL ERROR!\nCNC couldn't execute the command.\n"
              "\nFunction: 101\nStatus: 1\nError: 10\nI1: c8\nI2: 0\nI3: 0\nI4: 0"
              "\nO1: 0\nO2: 0\nO3: 0\nO4: 0");
  }
  EXPECT_EQ(itf.ErrorState(), 0);
  EXPECT_TRUE(lock_free());
  boot.ReadBlock(3, buffer.data());  // still usable
  EXPECT_EQ(buffer, std::vector<uint8_t>(kestrel::kFromBlockSize, 0xFF));
}

TEST_F(CncItf, IdentificationFailureIsToleratedOnlyOnTypeThree) {
  cncsim("fault 0 function-fails on 2");
  cncsim("fault 3 function-fails on 2");
  CCncItf itf(*client);
  EXPECT_THROW(itf.Call(0x002, 0, 0, itf.BufferBase()), CItfErr);
  cnbus::CCnbusClient lathe;
  ASSERT_EQ(lathe.SelectNode(3), 1);
  CCncItf type3(lathe);
  EXPECT_EQ(type3.Call(0x002, 0, 0, type3.BufferBase()), 0);
  EXPECT_EQ(type3.Status(), 1);
  EXPECT_FALSE(type3.MutexHeld());
  EXPECT_TRUE(lock_free());
}

TEST_F(CncItf, AnnouncedLoadFileIsPlacedOrRefusedWithItsMessage) {
  moxel::ScriptedPrompter prompter;
  CCncItf itf(*client);
  CBootFunc boot(itf, &prompter);
  auto load_header = [](const cncsim::cnc::ModuleInfo& info) {
    std::vector<uint8_t> h(kestrel::kLoadHeaderSize, 0x5A);  // bytes 128.. are data
    const auto head = cncsim::cnc::make_module_header(info);
    std::copy(head.begin(), head.end(), h.begin());
    return h;
  };
  struct Case {
    std::vector<uint8_t> header;
    int result;
    const char* message;  // nullptr: none
  };
  std::vector<uint8_t> garbage(kestrel::kLoadHeaderSize, 0x11);
  const Case cases[] = {
      {load_header({"SERVO", 0x50000, true, 0, "A"}), 1, nullptr},
      {garbage, 0, "Illegal format file."},
      {load_header({"HUGE", 0x400000, false, 0, ""}), 0, "Flash ROM no space."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message ? c.message : "placed");
    prompter.clear();
    int first = -1, count = -1, interleaved = -1;
    std::string name;
    EXPECT_EQ(boot.AnnounceLoadFile(c.header.data(), &first, &count, &interleaved, &name), c.result);
    const auto shown = prompter.shown();
    if (c.message) {
      ASSERT_EQ(shown.size(), 1u);
      EXPECT_EQ(shown[0].text, c.message);
    } else {
      EXPECT_TRUE(shown.empty());
      EXPECT_EQ(first, 0);
      EXPECT_EQ(count, 4);
      EXPECT_EQ(interleaved, 1);
      EXPECT_EQ(name, "SERVO");
    }
  }
  // The no-space answer, seen at the call itself: status 1 and error 2 come back, no exception.
  const auto huge = load_header({"HUGE", 0x400000, false, 0, ""});
  itf.WriteBytes(itf.BufferBase(), huge.data(), int(huge.size()));
  EXPECT_EQ(itf.Call(0x106, 0, 0, itf.BufferBase(), itf.BufferBase() + 0x1000), 0);
  EXPECT_EQ(itf.Status(), 1);
  EXPECT_EQ(itf.Error(), 2);
  EXPECT_TRUE(lock_free());
}

TEST_F(CncItf, SavedModuleLoadsBackUnchanged) {
  CCncItf itf(*client);
  CBootFunc boot(itf);
  // Load a two-block module as the console does: header check, then the data from offset 128.
  std::vector<uint8_t> file(128 + 2 * kestrel::kFromBlockSize);
  const auto head = cncsim::cnc::make_module_header({"SYSTEM", uint32_t(file.size() - 128), false, 1, "V7"});
  std::copy(head.begin(), head.end(), file.begin());
  const auto body = pattern(9, file.size() - 128);
  std::copy(body.begin(), body.end(), file.begin() + 128);
  auto load = [&](const std::vector<uint8_t>& f) {
    int first = -1, count = -1, interleaved = -1;
    std::string name;
    EXPECT_EQ(boot.AnnounceLoadFile(f.data(), &first, &count, &interleaved, &name), 1);
    EXPECT_EQ(name, "SYSTEM");
    EXPECT_EQ(count, 2);
    for (int b = 0; b < count; ++b)
      EXPECT_EQ(boot.WriteBlock(first + b, f.data() + 128 + size_t(b) * kestrel::kFromBlockSize), 1);
    return first;
  };
  const int first = load(file);
  // Save it: the module's header from the CNC, then its blocks.
  std::vector<uint8_t> saved(kestrel::kModuleHeaderSize);
  ASSERT_EQ(boot.ModuleHeader(first, saved.data()), 1);
  for (int b = 0; b < 2; ++b) {
    std::vector<uint8_t> block(kestrel::kFromBlockSize);
    boot.ReadBlock(first + b, block.data());
    saved.insert(saved.end(), block.begin(), block.end());
  }
  EXPECT_EQ(saved, file);
  // Delete it and load the saved file back.
  for (int b = 0; b < 2; ++b) ASSERT_EQ(boot.EraseBlock(first + b), 1);
  EXPECT_EQ(load(saved), first);
  std::vector<uint8_t> block(kestrel::kFromBlockSize);
  boot.ReadBlock(first + 1, block.data());
  EXPECT_TRUE(std::equal(block.begin(), block.end(), body.begin() + kestrel::kFromBlockSize));
}

TEST_F(CncItf, BlockPairReadGivesBothBlocksAndRefusedWritesReportZero) {
  CCncItf itf(*client);
  CBootFunc boot(itf);
  const auto six = pattern(6), seven = pattern(7);
  ASSERT_EQ(boot.WriteBlock(6, six.data()), 1);
  ASSERT_EQ(boot.WriteBlock(7, seven.data()), 1);
  std::vector<uint8_t> a(kestrel::kFromBlockSize), b(kestrel::kFromBlockSize);
  cncsim("trace 0 start");
  boot.ReadBlockPair(6, a.data(), b.data());
  EXPECT_EQ(a, six);
  EXPECT_EQ(b, seven);
  EXPECT_FALSE(itf.MutexHeld());
  // Both requests reached the CNC: I1 = 6, then I1 = 7 with I3 = 0x20000.
  const std::string trace = daemon.cncsim("trace 0 show").out;
  EXPECT_NE(trace.find("20cd0108 00000006"), std::string::npos) << trace.substr(0, 2000);
  EXPECT_NE(trace.find("20cd0108 00000007"), std::string::npos);
  EXPECT_NE(trace.find("20cd010c 00020000"), std::string::npos);

  cncsim("fault 0 from-write-refused on 5");
  EXPECT_EQ(boot.WriteBlock(5, six.data()), 0);
  EXPECT_EQ(boot.WriteBlock(4, six.data()), 1);
  cncsim("fault 0 from-erase-refused on 4");
  EXPECT_EQ(boot.EraseBlock(4), 0);
  EXPECT_EQ(boot.EraseBlock(3), 1);
  // A write whose erase was refused still goes out: its own outcome counts (cells that were not
  // erased take only what clears bits).
  EXPECT_EQ(boot.WriteBlock(4, six.data()), 1);
  EXPECT_EQ(boot.WriteBlock(4, pattern(7).data()), 0);
  EXPECT_EQ(itf.ErrorState(), 0);
  // The check text is the CNC's checksum of the block.
  char text[32];
  std::snprintf(text, sizeof text, "CRC32 %08X", cncsim::cnc::crc32_of(six));
  EXPECT_EQ(boot.CheckText(6).substr(0, 14), text);
}

TEST_F(CncItf, LinkLostDuringATransferEndsTheInterface) {
  CCncItf itf(*client);
  CBootFunc boot(itf);
  std::vector<uint8_t> buffer(kestrel::kFromBlockSize);
  cncsim("fault 0 link-drop-after on 5000");
  try {
    boot.ReadBlock(0, buffer.data());
    FAIL() << "no error";
  } catch (const CItfErr& e) {
    EXPECT_EQ(e.code(), 1);
  }
  EXPECT_EQ(itf.ErrorState(), 1);
  EXPECT_TRUE(lock_free());
  EXPECT_EQ(itf.Call(0x004), 1);
}

// The board sees every access of a call followed by its link test: the flag read, the eight
// double words of the request, the flag, then flag reads until the results are read, whether the
// CNC answers at once or only after some polls.
TEST_F(CncItf, EveryMailboxAccessIsFollowedByItsLinkTest) {
  for (const char* sram_time : {"0", "30"}) {
    SCOPED_TRACE(std::string("SRAM block read taking ") + sram_time + " ms");
    client.reset();
    daemon.stop();
    daemon.configure(std::string(kConfig) + "[Simulator]\nSramTime0=" + sram_time + "\n");
    ASSERT_TRUE(daemon.start()) << daemon.error() << daemon.log();
    client = std::make_unique<cnbus::CCnbusClient>();
    ASSERT_EQ(client->SelectNode(0), 1);
    int passes = 0;
    CCncItf itf(*client, [&] { ++passes; });
    cncsim("trace 0 start");
    ASSERT_EQ(itf.Call(0x201, 0, 1, itf.BufferBase()), 0);
    EXPECT_EQ(itf.Status(), 0);
    std::istringstream trace(daemon.cncsim("trace 0 show").out);
    // The accesses between link tests.
    std::vector<std::vector<std::string>> groups(1);
    for (std::string line; std::getline(trace, line);) {
      if (line.rfind("RP 9 ", 0) == 0) {
        groups.emplace_back();
        continue;
      }
      const std::string field = line.substr(0, line.rfind(' '));
      ASSERT_TRUE(field == "R2 20cd0100" || field.rfind("R4 20cd01", 0) == 0 ||
                  field.rfind("W4 20cd01", 0) == 0 || field == "W2 20cd0100")
          << line;
      groups.back().push_back(line);
    }
    ASSERT_TRUE(groups.back().empty()) << "the last access has no link test";
    groups.pop_back();
    ASSERT_GE(groups.size(), 6u);
    for (const auto& group : groups) EXPECT_FALSE(group.empty()) << "a link test without an access";
    auto dwords = [](const char* kind) {
      std::vector<std::string> lines;
      for (int i = 0; i < 8; ++i) {
        char text[16];
        std::snprintf(text, sizeof text, "%s 20cd01%02x", kind, 4 * i);
        lines.push_back(text);
      }
      return lines;
    };
    auto fields = [](const std::vector<std::string>& group) {
      std::vector<std::string> out;
      for (const auto& line : group) out.push_back(line.substr(0, line.rfind(' ')));
      return out;
    };
    EXPECT_EQ(groups[0], std::vector<std::string>{"R2 20cd0100 0000"});
    EXPECT_EQ(fields(groups[1]), dwords("W4"));
    EXPECT_EQ(groups[1][0], "W4 20cd0100 02010000");
    EXPECT_EQ(groups[2], std::vector<std::string>{"W2 20cd0100 0001"});
    EXPECT_EQ(groups[groups.size() - 2], std::vector<std::string>{"R2 20cd0100 0000"});
    EXPECT_EQ(fields(groups.back()), dwords("R4"));
    // Between them only flag reads, and the results read along with a flag read while the CNC
    // was not done yet.
    int busy_reads = 0;  // flag reads after the request that found it not 0
    for (size_t i = 3; i + 2 < groups.size(); ++i) {
      const auto f = fields(groups[i]);
      if (f.size() == 1) busy_reads += groups[i][0] != "R2 20cd0100 0000";
      EXPECT_TRUE(f == std::vector<std::string>{"R2 20cd0100"} || (f == dwords("R4") && i > 3)) << i;
    }
    // Each of them was a pass with its hook, except at most the one that saw the request taken
    // (flag 2) and one read behind an unmet one in the same request.
    EXPECT_LE(passes, busy_reads);
    EXPECT_GE(passes, busy_reads - 2);
    if (std::string(sram_time) != "0") {
      EXPECT_GE(passes, 10);
    }
  }
}

// A mailbox still busy (flag 0x0100: its low byte alone reads idle) holds the request back: nothing
// is written to it until a flag read finds 0, while what the call carries ahead of it is written
// once and what it carries after is read once, when the call has ended.
TEST_F(CncItf, ABusyMailboxHoldsTheRequestAndItsCarriedData) {
  cncsim("poke 0 0x20CD0100 0001");
  const std::vector<uint8_t> sram = pattern(9, kestrel::kSramBlockSize);
  {
    CCncItf writer(*client);
    // Written while the flag is 0x0100: the CNC ignores it and the call waits.
    auto write = std::async(std::launch::async, [&] {
      CBootFunc(writer).WriteSramBlock(0, sram.data(), 3);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(daemon.cncsim("peek 0 0x20CD0100 4").out, "00010000\n");  // no request written
    cncsim("poke 0 0x20CD0100 0000");
    ASSERT_EQ(write.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    write.get();
  }
  cncsim("poke 0 0x20CD0100 0001");
  int passes = 0;
  CCncItf itf(*client, [&] {
    if (++passes == 3) cncsim("poke 0 0x20CD0100 0000");
  });
  const uint32_t b = itf.BufferBase();
  uint8_t ahead[4] = {0xA1, 0xA2, 0xA3, 0xA4}, after[16] = {};
  cnbus::ShmTransfer before_t{true, 1, b + 0x9000, 4, ahead}, after_t{false, 1, b, 16, after};
  cncsim("trace 0 start");
  const kestrel::Carried carried{std::span(&before_t, 1), std::span(&after_t, 1)};
  ASSERT_EQ(itf.Call(0x201, 0, 3, b, 0, 1, carried), 0);
  EXPECT_EQ(itf.Status(), 0);
  EXPECT_EQ(std::vector<uint8_t>(after, after + 16), std::vector<uint8_t>(sram.begin(), sram.begin() + 16));
  std::istringstream trace(daemon.cncsim("trace 0 show").out);
  std::vector<std::string> lines;
  for (std::string line; std::getline(trace, line);)
    if (line.rfind("RP 9 ", 0) != 0) lines.push_back(line);
  auto count = [&](const std::string& prefix) {
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  };
  auto first = [&](const std::string& prefix) {
    return std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }) - lines.begin();
  };
  auto last = [&](const std::string& text) {
    return std::find(lines.rbegin(), lines.rend(), text).base() - lines.begin() - 1;
  };
  EXPECT_EQ(count("W1 20c090"), 4);  // the data ahead, once
  EXPECT_EQ(first("W1 20c090"), 0);
  EXPECT_GE(count("R2 20cd0100 0100"), 3);  // the busy passes, each with no write behind it
  EXPECT_EQ(count("W4 20cd0100"), 1);
  EXPECT_GT(first("W4 20cd0100"), last("R2 20cd0100 0100"));
  EXPECT_EQ(count("R1 20c000"), 16);  // the data after, once, behind the read that found the end
  EXPECT_GT(first("R1 20c000"), last("R2 20cd0100 0000"));
}

// A link lost at any access of a call, the request's writes as well as the waits' reads, ends the
// interface and frees the lock.
TEST_F(CncItf, LinkLostAtAnyAccessOfACallEndsTheInterface) {
  // Units of a call the CNC answers at once: 1 flag read, 8 request writes, the flag write, the
  // flag reads of both waits, 8 result reads.
  for (int unit : {1, 2, 9, 10, 11, 12, 13, 20}) {
    SCOPED_TRACE("link lost at unit " + std::to_string(unit));
    cncsim("link 0 up");
    CCncItf itf(*client);
    ASSERT_EQ(CCncItf(*client).Call(0x005, 0), 0);  // the link is back and the mailbox idle
    cncsim("fault 0 link-drop-after on " + std::to_string(unit));
    try {
      itf.Call(0x005, 0);
      ADD_FAILURE() << "no error";
    } catch (const CItfErr& e) {
      EXPECT_EQ(e.code(), 1);
    }
    EXPECT_EQ(itf.ErrorState(), 1);
    EXPECT_FALSE(itf.MutexHeld());
    EXPECT_TRUE(lock_free());
    EXPECT_EQ(itf.Call(0x005, 0), 1);
    EXPECT_EQ(itf.Status(), 0xFFFF);
  }
}

// A CNC that takes a request and never finishes it times out in the wait for the results too.
TEST_F(CncItf, RequestTakenButNeverFinishedTimesOut) {
  int64_t now = 1000;
  int passes = 0;
  CCncItf itf(*client, [&] { ++passes, ++now; }, [&] { return now; });
  cncsim("fault 0 mailbox-stuck on");
  try {
    itf.Call(0x005, 0);
    FAIL() << "no time-out";
  } catch (const CItfErr& e) {
    EXPECT_EQ(e.code(), 2);
  }
  // The CNC took the request: the 121 passes were those of the wait for the results.
  EXPECT_NE(status(0).find("mailbox hung"), std::string::npos) << status(0);
  EXPECT_GE(passes, 121);
  EXPECT_EQ(itf.ErrorState(), 2);
  EXPECT_TRUE(lock_free());
}

// A helper process of this build, its standard output on a pipe.
struct Helper {
  pid_t pid = -1;
  int out = -1;

  explicit Helper(const std::vector<std::string>& args) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    std::vector<std::string> all = {ITF_HELPER_PROGRAM};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    out = pipe_fds[0];
  }
  ~Helper() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (out >= 0) close(out);
  }
  // Everything it prints until it ends or `limit` passes.
  std::string read_all(std::chrono::seconds limit, const std::string& until = {}) {
    std::string text;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{out, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(out, buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, size_t(n));
      if (!until.empty() && text.find(until) != std::string::npos) break;
    }
    return text;
  }
  int wait() {
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
};

TEST_F(CncItf, HolderKilledWithTheLockHeldFreesIt) {
  Helper holder({"hold", "0"});
  ASSERT_GT(holder.pid, 0);
  ASSERT_EQ(holder.read_all(std::chrono::seconds(30), "held\n"), "held\n");
  EXPECT_FALSE(lock_free());
  kill(holder.pid, SIGKILL);
  EXPECT_EQ(holder.wait(), 128 + SIGKILL);
  EXPECT_TRUE(lock_free());
  CCncItf itf(*client);
  EXPECT_EQ(itf.Call(0x004, 0, 0, itf.BufferBase()), 0);
  EXPECT_EQ(itf.Image().o1, 3);
}

TEST_F(CncItf, TwoProgramsCallingAtOnceNeverInterleaveOnTheMailbox) {
  std::vector<std::string> expected;
  {
    CCncItf itf(*client);
    CBootFunc boot(itf);
    for (int b = 0; b < 3; ++b) {
      const auto data = pattern(uint8_t(b * 40 + 1));
      ASSERT_EQ(boot.WriteBlock(b, data.data()), 1);
      expected.push_back(boot.CheckText(b));
    }
  }
  ASSERT_NE(expected[0], expected[1]);
  const int rounds = 60;
  const std::string before = status(0);
  Helper first({"check", "0", "0", std::to_string(rounds)});
  Helper second({"check", "0", "1", std::to_string(rounds)});
  std::string mine;
  {
    CCncItf itf(*client);
    CBootFunc boot(itf);
    for (int i = 0; i < rounds; ++i) mine += boot.CheckText(2) + "\n";
  }
  const std::string out1 = first.read_all(std::chrono::seconds(120));
  const std::string out2 = second.read_all(std::chrono::seconds(120));
  EXPECT_EQ(first.wait(), 0);
  EXPECT_EQ(second.wait(), 0);
  auto repeated = [&](const std::string& line) {
    std::string s;
    for (int i = 0; i < rounds; ++i) s += line + "\n";
    return s;
  };
  EXPECT_EQ(out1, repeated(expected[0]));
  EXPECT_EQ(out2, repeated(expected[1]));
  EXPECT_EQ(mine, repeated(expected[2]));
  // Every request was taken once: 3 x rounds more than before.
  auto taken = [](const std::string& s) {
    const auto at = s.find("mailbox ");
    return std::stoi(s.substr(s.find(' ', at + 8) + 1));
  };
  EXPECT_EQ(taken(status(0)) - taken(before), 3 * rounds);
}

}  // namespace
