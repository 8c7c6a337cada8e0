// The key reader and the start of the key work through a real lorandd with a simulated node 0: the
// driver path's round trips per tick, the direct path over the daemon's register requests, the
// driver's failure messages, and the CNC check before the ticks start.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <mutex>
#include <thread>

#include "keyservice/key_work_control.h"
#include "keyservice/mdi_key_reader.h"
#include "keyservice/tests/control_memory.h"
#include "testsupport/test_daemon.h"

namespace vorkey {
namespace {

using namespace std::chrono_literals;
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

TEST_F(ReaderDaemon, CncInItsBootConsoleShowsNoKeys) {
  daemon_.stop();
  daemon_.configure(
      "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Mill\n"
      "[Host]\nBoard0=sim\nSocketMode=0600\nStateDir=@STATE@\n"
      "[Simulator]\nUnitTime0=0\nBootMode0=console\n");
  ASSERT_TRUE(daemon_.start()) << daemon_.log();
  // What an earlier function call left in the mailbox's O1 must not show as keys.
  ASSERT_EQ(daemon_.cncsim("poke 0 0x20cd0114 ff00").status, 0);
  auto reader = DriverReader();
  reader->SetDoubleRequest(false);
  ASSERT_EQ(reader->Read(), 1);  // all status bits clear: the mailbox way
  for (int k = 0; k < 12; ++k) EXPECT_EQ(reader->current[k], 0) << k;
  EXPECT_TRUE(messages_.empty());
}

// --- the start and stop of the key work ---

class RecordingWork final : public KeyWork {
 public:
  bool injection = true;
  bool OpenInjection() override { return log("open"), injection; }
  void ReloadSettings() override { log("reload"); }
  void OnTimerTick() override {
    if (ticks_.fetch_add(1) == 0) log("tick");
  }
  void ReleaseAll() override { log("release"); }
  int ticks() const { return ticks_; }
  std::vector<std::string> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  void log(const char* what) {
    std::lock_guard lock(mutex_);
    calls_.push_back(what);
  }
  std::mutex mutex_;
  std::vector<std::string> calls_;
  std::atomic<int> ticks_{0};
};

TEST_F(ReaderDaemon, ServiceStartsTicksAndReleasesKeysAfterTheLastTick) {
  RecordingWork work;
  KeyWorkControl service(work, daemon_.socket_path().string(), [&](const std::string& m) {
    if (m.rfind("Failed to SetPriorityClass", 0) != 0) messages_.push_back(m);
  });
  ASSERT_EQ(service.Start(), StartResult::kTicking);
  EXPECT_EQ(service.timing().period_ms, 16);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (work.ticks() < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  service.Stop();
  const int ticks = work.ticks();
  EXPECT_GE(ticks, 3);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(work.ticks(), ticks);
  EXPECT_EQ(work.calls(), (std::vector<std::string>{"open", "reload", "tick", "release"}));
  EXPECT_TRUE(messages_.empty());
}

TEST_F(ReaderDaemon, ServiceStaysIdleWithoutACncToServe) {
  {
    SCOPED_TRACE("no injection: nothing else is done");
    RecordingWork work;
    work.injection = false;
    KeyWorkControl service(work, daemon_.socket_path().string(), [&](const std::string&) {});
    EXPECT_EQ(service.Start(), StartResult::kNoInjection);
    EXPECT_EQ(work.calls(), (std::vector<std::string>{"open"}));
  }
  {
    SCOPED_TRACE("no device");
    RecordingWork work;
    std::vector<std::string> shown;
    KeyWorkControl service(work, (daemon_.root() / "run" / "nothing").string(),
                       [&](const std::string& m) { shown.push_back(m); });
    EXPECT_EQ(service.Start(), StartResult::kIdle);
    service.Stop();
    EXPECT_EQ(work.calls(), (std::vector<std::string>{"open"}));
    EXPECT_EQ(shown, (std::vector<std::string>{"Couldn't open the LORAND driver. (2)"}));
  }
  {
    SCOPED_TRACE("node 0 of type 3");
    daemon_.stop();
    daemon_.configure(
        "[Parameters]\nIoPortAddress0=0x300\nCncType0=3\nNodeName0=Tessel\n"
        "[Host]\nBoard0=sim\nSocketMode=0600\nStateDir=@STATE@\n");
    ASSERT_TRUE(daemon_.start()) << daemon_.log();
    RecordingWork work;
    KeyWorkControl service(work, daemon_.socket_path().string(), [&](const std::string&) {});
    EXPECT_EQ(service.Start(), StartResult::kIdle);
    EXPECT_FALSE(service.ticking());
    EXPECT_EQ(work.calls(), (std::vector<std::string>{"open"}));
  }
}

}  // namespace
}  // namespace vorkey
