// The key reader over the direct path to an in-process simulated node whose MDI keyboard runs on
// a CNC thread of the test's own, for each of the three ways the CNC may publish its keys.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "cnbusclient/port_access.h"
#include "cncsim/key_typing.h"
#include "cncsim/mdi_keyboard.h"
#include "cncsim/node.h"
#include "keyservice/key_table.h"
#include "keyservice/mdi_key_reader.h"
#include "platform/named_lock.h"
#include "testsupport/test_daemon.h"

namespace vorkey {
namespace {

using namespace std::chrono_literals;
using cncsim::MdiKeyboard;
using cncsim::MdiWay;

constexpr uint32_t kBase = 0x300;
constexpr uint32_t kShm = 0x20C00000;

class NodeMemory final : public cncsim::SharedMemoryAccess {
 public:
  explicit NodeMemory(cncsim::Node& node) : node_(node) {}
  void read(uint32_t offset, std::span<uint8_t> out) override { node_.peek(kShm + offset, out); }
  void write(uint32_t offset, std::span<const uint8_t> data) override {
    node_.poke(kShm + offset, data);
  }

 private:
  cncsim::Node& node_;
};

// A simulated node 0 with its MDI keyboard served by a thread of its own (the CNC's software),
// and the reader on the direct path to it.
class ReaderFixture : public ::testing::Test {
 protected:
  void SetUpWay(MdiWay way, uint8_t extra = 2) {
    keyboard_ = std::make_unique<MdiKeyboard>(way, extra);
    keyboard_->start(memory_);
    StartCnc();
    ReaderOptions options;
    options.mailbox_bound = 200ms;
    options.mailbox_pause = 100us;
    reader_ = std::make_unique<CMdiKeyReader>(
        make_direct_bus(std::make_unique<cnbus::PortIoPorts>(node_), kBase), options);
  }
  void TearDown() override { StopCnc(); }

  void StartCnc() {
    running_ = true;
    cnc_ = std::thread([this] {
      while (running_) {
        if (keyboard_->serve(memory_)) ++answered_;
        std::this_thread::sleep_for(50us);
      }
    });
  }
  void StopCnc() {
    running_ = false;
    if (cnc_.joinable()) cnc_.join();
  }

  uint16_t Word(uint32_t offset) {
    uint8_t b[2] = {};
    node_.peek(kShm + offset, b);
    return uint16_t(b[0] | b[1] << 8);
  }
  void SetWord(uint32_t offset, uint16_t value) {
    const uint8_t b[2] = {uint8_t(value), uint8_t(value >> 8)};
    node_.poke(kShm + offset, b);
  }
  void SetDword(uint32_t offset, uint32_t value) {
    const uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                          uint8_t(value >> 24)};
    node_.poke(kShm + offset, b);
  }

  bool Bit(unsigned key) const { return reader_->current[key / 8] & (1u << (key % 8)); }

  // Reads until the bitmap shows `key` as `down` (the CNC thread publishes a little later than a
  // press); false when it does not within a bound.
  bool ReadUntil(unsigned key, bool down) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (reader_->Read() == 1 && Bit(key) == down) return true;
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }

  // Memory units the board carried out during `work`, as trace lines.
  template <typename F>
  std::vector<std::string> Traced(F work) {
    node_.trace_clear();
    node_.trace_start();
    work();
    node_.trace_stop();
    std::vector<std::string> units;
    for (const std::string& line : node_.trace_lines())
      if (line[0] == 'R' || line[0] == 'W')
        if (line[1] != 'P') units.push_back(line);
    return units;
  }
  static std::vector<std::string> Writes(const std::vector<std::string>& units) {
    std::vector<std::string> w;
    for (const auto& u : units)
      if (u[0] == 'W') w.push_back(u);
    return w;
  }

  moxel::test::TempRoot root_{"vorkey-reader"};
  // The reader writes the link control word on every tick while the link is down; a link reset
  // shorter than the ticks lets the link come back in between.
  static cncsim::NodeSettings Settings() {
    cncsim::NodeSettings s;
    s.link_reset_ms = 2;
    return s;
  }
  cncsim::Node node_{0, kBase, Settings(), {}};
  NodeMemory memory_{node_};
  std::unique_ptr<MdiKeyboard> keyboard_;
  std::unique_ptr<CMdiKeyReader> reader_;
  std::thread cnc_;
  std::atomic<bool> running_{false};
  std::atomic<int> answered_{0};
};

struct WayCase {
  MdiWay way;
  uint8_t length;
};

class EveryWay : public ReaderFixture, public ::testing::WithParamInterface<WayCase> {};

TEST_P(EveryWay, SetsUpTheHandshakeAndFollowsKeysDownAndUp) {
  SetUpWay(GetParam().way);
  ASSERT_EQ(reader_->Read(), 1);
  EXPECT_EQ(reader_->length, GetParam().length);
  // The handshake: the set-up descriptor, flag bit 2, set-up bits 0 and 1.
  uint8_t descriptor[14] = {};
  node_.peek(kShm + mdi::kPresence, descriptor);
  EXPECT_EQ(0, std::memcmp(descriptor, mdi::kSetUpDescriptor, 14));
  EXPECT_EQ(Word(mdi::kSetUp) & 3, 3);
  EXPECT_EQ(Word(mdi::kSetUpFlags) & 4, 4);

  // KEY_23 (19), the last key of table 2 (KEY_97, 79), and one in the extra bytes of the chain.
  for (unsigned key : {19u, 79u, 8u * (GetParam().length - 1) + 5}) {
    SCOPED_TRACE(key);
    keyboard_->press(key);
    ASSERT_TRUE(ReadUntil(key, true));
    keyboard_->release(key);
    ASSERT_TRUE(ReadUntil(key, false));
  }
  // Two keys at once.
  keyboard_->press(0);
  keyboard_->press(42);
  ASSERT_TRUE(ReadUntil(42, true));
  ASSERT_TRUE(ReadUntil(0, true));
  EXPECT_TRUE(Bit(42));
}

INSTANTIATE_TEST_SUITE_P(Ways, EveryWay,
                         ::testing::Values(WayCase{MdiWay::kChain, 12}, WayCase{MdiWay::kBlock, 12},
                                           WayCase{MdiWay::kMailbox, 12}),
                         [](const auto& info) { return cncsim::mdi_way_name(info.param.way); });

TEST_F(ReaderFixture, LocatedChainCostsTwoTransfersPerTick) {
  SetUpWay(MdiWay::kChain, 3);
  ASSERT_EQ(reader_->Read(), 1);
  const uint32_t r = MdiKeyboard::kDescriptor + 0x200;
  EXPECT_EQ(reader_->key_block_address(), r + 8);
  EXPECT_EQ(reader_->length, 13);
  auto units = Traced([&] { EXPECT_EQ(reader_->Read(), 1); });
  // 10 byte units at R+8, then 3 at R+0x14, and nothing else.
  ASSERT_EQ(units.size(), 13u);
  char expected[32];
  for (unsigned k = 0; k < 13; ++k) {
    const uint32_t address = kShm + (k < 10 ? r + 8 + k : r + 0x14 + (k - 10));
    std::snprintf(expected, sizeof expected, "R1 %08x", address);
    EXPECT_EQ(units[k].substr(0, 11), expected) << k;
  }
}

TEST_F(ReaderFixture, FixedBlockRepeatsPresenceAndSetUpCheckEveryTick) {
  SetUpWay(MdiWay::kBlock);
  ASSERT_EQ(reader_->Read(), 1);
  auto units = Traced([&] { EXPECT_EQ(reader_->Read(), 1); });
  // The presence word written and read back; nothing else written (the set-up is done once).
  auto writes = Writes(units);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0], "W1 20cd0006 20");
  EXPECT_EQ(writes[1], "W1 20cd0007 00");
  bool read_set_up = false, read_block = false;
  for (const auto& u : units) {
    read_set_up |= u.rfind("R1 20cd0002", 0) == 0;
    read_block |= u.rfind("R1 20cd030b", 0) == 0;
  }
  EXPECT_TRUE(read_set_up);
  EXPECT_TRUE(read_block);
}

TEST_F(ReaderFixture, MailboxAsksTwicePerByteOnlyWithDoubleRequest) {
  SetUpWay(MdiWay::kMailbox);
  for (bool twice : {true, false}) {
    SCOPED_TRACE(twice);
    reader_->SetDoubleRequest(twice);
    ASSERT_EQ(reader_->Read(), 1);  // the set-up on the first pass
    answered_ = 0;
    ASSERT_EQ(reader_->Read(), 1);
    EXPECT_EQ(answered_.load(), twice ? 24 : 12);
  }
}

// A change is reported unread until the reader holds it, with one request per byte or two.
TEST_F(ReaderFixture, MailboxKeyStaysUnreadUntilTheReaderHasIt) {
  SetUpWay(MdiWay::kMailbox);
  constexpr unsigned kKey = 58;
  ASSERT_EQ(reader_->Read(), 1);  // the handshake
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!keyboard_->handshake_done() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(keyboard_->handshake_done());
  for (bool twice : {true, false}) {
    SCOPED_TRACE(twice);
    reader_->SetDoubleRequest(twice);
    for (bool down : {true, false}) {
      EXPECT_FALSE(keyboard_->keys_unread());
      down ? keyboard_->press(kKey) : keyboard_->release(kKey);
      EXPECT_TRUE(keyboard_->keys_unread());
      ASSERT_EQ(reader_->Read(), 1);
      EXPECT_EQ(Bit(kKey), down);
      // One request per byte: the answer could have been a stale first answer to a reader that
      // asks twice, so the change counts as read only after the next tick.
      EXPECT_EQ(keyboard_->keys_unread(), !twice);
      ASSERT_EQ(reader_->Read(), 1);
      EXPECT_FALSE(keyboard_->keys_unread());
    }
  }
}

// A reader far slower than a person types (as the mailbox reader is on a busy machine): typing
// that waits for the PC to have read each stroke loses none; typing at a person's pace alone loses
// keys, since the CNC keeps no key buffer.
TEST_F(ReaderFixture, TypingWaitsForASlowMailboxReader) {
  SetUpWay(MdiWay::kMailbox);
  ASSERT_EQ(reader_->Read(), 1);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!keyboard_->handshake_done() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(keyboard_->handshake_done());
  auto strokes = cncsim::plan_typing("G01 X-2.5", builtin_table(0), 3);
  ASSERT_TRUE(strokes);

  for (bool wait_for_pc : {true, false}) {
    SCOPED_TRACE(wait_for_pc);
    // The reader on a thread of its own, one tick every 150 ms; it records each change it sees.
    std::atomic<bool> reading{true};
    std::vector<std::pair<unsigned, bool>> seen;
    std::thread pc([&] {
      uint8_t last[12] = {};
      while (reading) {
        if (reader_->Read() == 1)
          for (unsigned k = 0; k < 96; ++k) {
            const bool now = Bit(k), before = last[k / 8] & (1u << (k % 8));
            if (now != before) seen.push_back({k, now});
          }
        std::memcpy(last, reader_->current, sizeof last);
        std::this_thread::sleep_for(150ms);
      }
    });
    cncsim::TypingIo io;
    io.send = [&](const cncsim::KeyStroke& s) {
      s.press ? keyboard_->press(s.key) : keyboard_->release(s.key);
      return true;
    };
    io.read_by_pc = [&] { return !wait_for_pc || !keyboard_->keys_unread(); };
    io.now = [] { return std::chrono::steady_clock::now(); };
    io.sleep = [](std::chrono::steady_clock::duration d) { std::this_thread::sleep_for(d); };
    ASSERT_TRUE(cncsim::perform_typing(*strokes, io));
    std::this_thread::sleep_for(400ms);  // the last release read
    reading = false;
    pc.join();

    std::vector<std::pair<unsigned, bool>> typed;
    for (const auto& s : *strokes) typed.push_back({s.key, s.press});
    if (wait_for_pc)
      EXPECT_EQ(seen, typed);
    else
      EXPECT_LT(seen.size(), typed.size()) << "a 150 ms reader saw every stroke of a person";
  }
}

TEST_F(ReaderFixture, NoKeyDataStatusFailsAndWritesOnlyThePresenceWord) {
  for (uint16_t bits : {0x0010, 0x0002}) {
    SCOPED_TRACE(bits);
    SetUpWay(MdiWay::kMailbox);
    SetWord(mdi::kSetUp, 0x0003);  // already set up
    SetWord(mdi::kStatus, bits);
    auto units = Traced([&] { EXPECT_EQ(reader_->Read(), 0); });
    auto writes = Writes(units);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0], "W1 20cd0006 20");
    StopCnc();
  }
}

TEST_F(ReaderFixture, BrokenChainFailsEveryTick) {
  SetUpWay(MdiWay::kChain);
  SetDword(MdiKeyboard::kChainPointer, 0xFFFFFFFF);
  EXPECT_EQ(reader_->Read(), 0);
  EXPECT_EQ(reader_->Read(), 0);
  SetDword(MdiKeyboard::kChainPointer, 0);
  EXPECT_EQ(reader_->Read(), 0);
  SetDword(MdiKeyboard::kChainPointer, MdiKeyboard::kDescriptor);
  SetWord(MdiKeyboard::kDescriptor + 0x6C, 2);
  EXPECT_EQ(reader_->Read(), 0);
  EXPECT_EQ(reader_->key_block_address(), 0u);
  SetWord(MdiKeyboard::kDescriptor + 0x6C, 1);
  EXPECT_EQ(reader_->Read(), 1);
}

TEST_F(ReaderFixture, KeyboardPublishesWhereTheSystemsChainLeads) {
  // The running system's descriptor at 0x1000: P + 0x6C = 1, P + 0x64 -> Q = 0x1700,
  // Q + 4 -> R = 0x1800, one extra key byte.
  SetDword(0x0000C, 0x1000);
  SetWord(0x1000 + 0x6C, 1);
  SetDword(0x1000 + 0x64, 0x1700);
  SetDword(0x1700 + 4, 0x1800);
  const uint8_t one[1] = {1};
  node_.poke(kShm + 0x1800 + 0x13, one);
  SetUpWay(MdiWay::kChain);
  EXPECT_EQ(keyboard_->chain_record(), 0x1800u);
  ASSERT_EQ(reader_->Read(), 1);
  EXPECT_EQ(reader_->key_block_address(), 0x1808u);
  EXPECT_EQ(reader_->length, 11);
  keyboard_->press(83);  // the extra byte, bit 3
  ASSERT_TRUE(ReadUntil(83, true));
}

TEST_F(ReaderFixture, ChainWithTooManyExtraBytesIsReadUpToTheBitmapSize) {
  SetUpWay(MdiWay::kChain);
  const uint8_t thirty[1] = {30};
  node_.poke(kShm + MdiKeyboard::kDescriptor + 0x200 + 0x13, thirty);
  ASSERT_EQ(reader_->Read(), 1);
  EXPECT_EQ(reader_->length, 32);
  EXPECT_EQ(reader_->extra_length(), 22);
}

TEST_F(ReaderFixture, LostLinkFailsAsksForAResetAndRecovers) {
  SetUpWay(MdiWay::kChain);
  keyboard_->press(19);
  ASSERT_TRUE(ReadUntil(19, true));
  node_.lose_link();
  // The located chain fails first and forgets its place; the next tick finds the link down and
  // writes the link control word, after which the board brings the link back.
  EXPECT_EQ(reader_->Read(), 0);
  EXPECT_EQ(reader_->key_block_address(), 0u);
  auto units = Traced([&] { EXPECT_EQ(reader_->Read(), 0); });
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units[0].substr(0, 11), "W2 30800000");
  std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(ReadUntil(19, true));
}

TEST_F(ReaderFixture, MailboxThatNeverAnswersFailsAndFreesTheLock) {
  SetUpWay(MdiWay::kMailbox);
  ASSERT_EQ(reader_->Read(), 1);
  StopCnc();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(reader_->Read(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  moxel::NamedLock other(kInterfaceMutexName);
  ASSERT_TRUE(other.valid());
  EXPECT_TRUE(other.try_lock());
}

TEST_F(ReaderFixture, WaitsForTheInterfaceLockHeldByAnotherProgram) {
  SetUpWay(MdiWay::kBlock);
  moxel::NamedLock other(kInterfaceMutexName);
  ASSERT_TRUE(other.lock());
  std::atomic<int> result{-1};
  std::thread tick([&] { result = reader_->Read(); });
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(result.load(), -1);
  other.unlock();
  tick.join();
  EXPECT_EQ(result.load(), 1);
}

TEST(MdiKeyReader, MissingDeviceFailsSilently) {
  moxel::test::TempRoot root("vorkey-reader");
  std::vector<std::string> messages;
  CMdiKeyReader reader(open_driver_bus((root.root() / "run" / "LORAND").string(),
                                       [&](const std::string& m) { messages.push_back(m); }));
  EXPECT_FALSE(reader.device_valid());
  EXPECT_EQ(reader.Read(), 0);
  EXPECT_EQ(reader.Read(), 0);
  EXPECT_TRUE(messages.empty());
}

}  // namespace
}  // namespace vorkey
