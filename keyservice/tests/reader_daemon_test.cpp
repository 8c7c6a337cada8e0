// The key reader through a real lorandd with a simulated node 0: the driver path's round trips per
// tick, the direct path over the daemon's register requests, and the driver's failure messages.
#include <gtest/gtest.h>

#include <cctype>

#include "keyservice/mdi_key_reader.h"
#include "keyservice/tests/control_memory.h"
#include "testsupport/test_daemon.h"

namespace vorkey {
namespace {

using cncsim::MdiKeyboard;
using cncsim::MdiWay;

class ReaderDaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon_.configure(
        "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Mill\n"
        "[Host]\nBoard0=sim\nSocketMode=0600\nStateDir=@STATE@\n[Simulator]\nUnitTime0=0\n");
    ASSERT_TRUE(daemon_.start()) << daemon_.error() << daemon_.log();
  }

  std::unique_ptr<CMdiKeyReader> DriverReader() {
    return std::make_unique<CMdiKeyReader>(open_driver_bus(
        daemon_.socket_path().string(), [this](const std::string& m) { messages_.push_back(m); }));
  }

  // Lays out `way`, lets the reader do the handshake, then has the CNC publish key 19 down.
  void PressAfterHandshake(CMdiKeyReader& reader, MdiKeyboard& keyboard) {
    keyboard.start(memory_);
    ASSERT_EQ(reader.Read(), 1);
    keyboard.press(19);
    keyboard.serve(memory_);
    ASSERT_TRUE(keyboard.handshake_done());
  }

  moxel::test::Daemon daemon_{"vorkey-reader-daemon"};
  test::ControlMemory memory_{daemon_, 0};
  std::vector<std::string> messages_;
};

TEST_F(ReaderDaemon, DriverPathTickCostsOneOrTwoRoundTrips) {
  struct Case {
    MdiWay way;
    uint64_t round_trips;  // per tick once the reader has found its way
  };
  for (const Case& c : {Case{MdiWay::kChain, 1}, Case{MdiWay::kBlock, 2}}) {
    SCOPED_TRACE(cncsim::mdi_way_name(c.way));
    auto reader = DriverReader();
    ASSERT_TRUE(reader->device_valid());
    MdiKeyboard keyboard(c.way);
    PressAfterHandshake(*reader, keyboard);
    ASSERT_EQ(reader->Read(), 1);
    const uint64_t before = reader->bus().transactions();
    ASSERT_EQ(reader->Read(), 1);
    EXPECT_EQ(reader->bus().transactions() - before, c.round_trips);
    EXPECT_EQ(reader->current[2], 0x08);  // key 19: byte 2, bit 3
    EXPECT_EQ(reader->length, 12);
  }
  EXPECT_TRUE(messages_.empty());
}

TEST_F(ReaderDaemon, DirectPathReadsTheSameKeys) {
  CMdiKeyReader reader(open_direct_bus(daemon_.socket_path().string()));
  ASSERT_TRUE(reader.device_valid());
  MdiKeyboard keyboard(MdiWay::kBlock);
  PressAfterHandshake(reader, keyboard);
  ASSERT_EQ(reader.Read(), 1);
  EXPECT_EQ(reader.current[2], 0x08);
}

TEST_F(ReaderDaemon, NodeZeroMissingMakesTheDeviceInvalid) {
  daemon_.stop();
  daemon_.configure(
      "[Parameters]\nIoPortAddress1=0x300\nNodeName1=Lathe\n"
      "[Host]\nBoard1=sim\nSocketMode=0600\nStateDir=@STATE@\n");
  ASSERT_TRUE(daemon_.start()) << daemon_.log();
  auto reader = DriverReader();
  EXPECT_FALSE(reader->device_valid());
  EXPECT_EQ(reader->Read(), 0);
  CMdiKeyReader direct(open_direct_bus(daemon_.socket_path().string()));
  EXPECT_FALSE(direct.device_valid());
  EXPECT_EQ(direct.Read(), 0);
  EXPECT_TRUE(messages_.empty());
}

TEST_F(ReaderDaemon, DaemonGoneReportsTheDriverErrorAndFails) {
  auto reader = DriverReader();
  MdiKeyboard keyboard(MdiWay::kChain);
  PressAfterHandshake(*reader, keyboard);
  ASSERT_EQ(reader->Read(), 1);
  daemon_.stop();
  EXPECT_EQ(reader->Read(), 0);
  ASSERT_FALSE(messages_.empty());
  EXPECT_EQ(messages_[0], "The LORAND driver returns an I/O control error. (109)");
  EXPECT_EQ(reader->key_block_address(), 0u);
}

}  // namespace
}  // namespace vorkey
