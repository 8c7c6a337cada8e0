// The hosts end to end: lorandd with a simulated node 0 whose MDI keyboard the test drives, vorkeyd
// recording its injection words; held keys are released when the link drops and when the service
// stops.
#include <gtest/gtest.h>

#include <algorithm>

#include "keyservice/tests/control_memory.h"
#include "keyservice/tests/host_process.h"
#include "testsupport/test_daemon.h"

namespace vorkey {
namespace {

using namespace std::chrono_literals;
using cncsim::MdiKeyboard;
using cncsim::MdiWay;

constexpr uint32_t kMake0 = 0x0B, kBreak0 = 0x1000B;  // KEY_00 of table 0: "0"

bool has(const std::vector<uint32_t>& words, uint32_t word) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

class HostEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon_.configure(
        "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Mill\n"
        "[Host]\nBoard0=sim\nSocketMode=0600\nStateDir=@STATE@\n"
        "[Simulator]\nUnitTime0=0\nLinkResetTime0=2\n");
    ASSERT_TRUE(daemon_.start()) << daemon_.error() << daemon_.log();
    std::ofstream(daemon_.root() / "etc" / "vorkey.conf") << "[VORKEY]\nOneTouchShift=0\n";
  }

  // Starts vorkeyd (registered first) recording its words, with the chain way laid out, and waits
  // until it has done the keyboard handshake.
  void StartService() {
    auto r = moxel::test::run_program({VORKEYD_PROGRAM, "-RegServer"}, moxel::test::Stderr::merged,
                                      daemon_.environment(), 30s);
    ASSERT_EQ(r.status, 0) << r.out;
    keyboard_.start(memory_);
    host_ = std::make_unique<test::HostProcess>(
        std::vector<std::string>{VORKEYD_PROGRAM, "--dry-run"}, daemon_.environment(),
        daemon_.root());
    ASSERT_TRUE(host_->started());
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!keyboard_.handshake_done() && std::chrono::steady_clock::now() < deadline) {
      keyboard_.serve(memory_);
      std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(keyboard_.handshake_done()) << host_->err();
  }

  void Press(unsigned key) {
    keyboard_.press(key);
    keyboard_.serve(memory_);
  }
  void Release(unsigned key) {
    keyboard_.release(key);
    keyboard_.serve(memory_);
  }
  bool WaitFor(uint32_t word) {
    return host_->wait_out([&](const std::string& out) { return has(test::recorded_words(out), word); });
  }

  moxel::test::Daemon daemon_{"vorkey-e2e"};
  test::ControlMemory memory_{daemon_, 0};
  MdiKeyboard keyboard_{MdiWay::kChain};
  std::unique_ptr<test::HostProcess> host_;
};

TEST_F(HostEndToEnd, KeyPressAndReleaseBecomeMakeAndBreak) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  Press(0);
  ASSERT_TRUE(WaitFor(kMake0)) << host_->out() << host_->err();
  Release(0);
  ASSERT_TRUE(WaitFor(kBreak0)) << host_->out();
  EXPECT_EQ(host_->stop(), 0);
  EXPECT_EQ(test::recorded_words(host_->out()), (std::vector<uint32_t>{kMake0, kBreak0}));
  EXPECT_NE(host_->out().find("Service started"), std::string::npos);
}

TEST_F(HostEndToEnd, LinkDroppedWhileAKeyIsHeldReleasesIt) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  Press(0);
  ASSERT_TRUE(WaitFor(kMake0)) << host_->out() << host_->err();
  ASSERT_EQ(daemon_.cncsim("link 0 down").status, 0);
  ASSERT_TRUE(WaitFor(kBreak0)) << host_->out();
  EXPECT_EQ(host_->stop(), 0);
}

TEST_F(HostEndToEnd, ServiceStoppedWhileAKeyIsHeldReleasesIt) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  Press(0);
  ASSERT_TRUE(WaitFor(kMake0)) << host_->out() << host_->err();
  EXPECT_EQ(host_->stop(SIGTERM), 0);
  // The key is still down on the CNC: only the stop released it.
  EXPECT_EQ(test::recorded_words(host_->out()), (std::vector<uint32_t>{kMake0, kBreak0}));
}

TEST_F(HostEndToEnd, UnregisteredServiceDoesNotRun) {
  auto r = moxel::test::run_program({VORKEYD_PROGRAM}, moxel::test::Stderr::merged,
                                    daemon_.environment(), 30s);
  EXPECT_EQ(r.status, 2) << r.out;
}

}  // namespace
}  // namespace vorkey
