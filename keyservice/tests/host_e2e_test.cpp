// vorkeyd end to end: lorandd with a simulated node 0 whose CNC runs its system and MDI keyboard,
// keys pressed and texts typed with `cncsim key`, vorkeyd recording its injection words; held keys
// are released when the link drops and when the service stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "keyservice/tests/host_process.h"
#include "testsupport/test_daemon.h"

namespace vorkey {
namespace {

using namespace std::chrono_literals;

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
        "[Simulator]\nUnitTime0=0\nLinkResetTime0=2\nBootMode0=running\n");
    ASSERT_TRUE(daemon_.start()) << daemon_.error() << daemon_.log();
    // The longest repeat delay: a key held while a busy machine runs the test does not repeat.
    std::ofstream(daemon_.root() / "etc" / "vorkey.conf")
        << "[VORKEY]\nOneTouchShift=0\nDelayTime=1000\n";
  }

  // Starts vorkeyd (registered first) recording its words and waits until it has done the
  // keyboard handshake with the simulated CNC.
  void StartService() {
    auto r = moxel::test::run_program({VORKEYD_PROGRAM, "-RegServer"}, moxel::test::Stderr::merged,
                                      daemon_.environment(), 30s);
    ASSERT_EQ(r.status, 0) << r.out;
    host_ = std::make_unique<test::HostProcess>(
        std::vector<std::string>{VORKEYD_PROGRAM, "--dry-run"}, daemon_.environment(),
        daemon_.root());
    ASSERT_TRUE(host_->started());
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    std::string status;
    while (std::chrono::steady_clock::now() < deadline) {
      status = daemon_.cncsim("status 0").out;
      if (status.find("mdi-handshake done") != std::string::npos) return;
      std::this_thread::sleep_for(50ms);
    }
    FAIL() << status << host_->err();
  }

  void Press(unsigned key) {
    ASSERT_EQ(daemon_.cncsim("key 0 press " + std::to_string(key)).status, 0);
  }
  void Release(unsigned key) {
    ASSERT_EQ(daemon_.cncsim("key 0 release " + std::to_string(key)).status, 0);
  }
  bool WaitFor(uint32_t word) {
    return host_->wait_out([&](const std::string& out) { return has(test::recorded_words(out), word); });
  }

  moxel::test::Daemon daemon_{"vorkey-e2e"};
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

// The text a US keyboard types from set-1 words (only the keys these tests use).
std::string typed_text(const std::vector<uint32_t>& words) {
  static const std::map<uint32_t, std::pair<char, char>> keys = {
      {0x02, {'1', '!'}}, {0x03, {'2', '@'}}, {0x04, {'3', '#'}}, {0x05, {'4', '$'}},
      {0x06, {'5', '%'}}, {0x07, {'6', '^'}}, {0x08, {'7', '&'}}, {0x09, {'8', '*'}},
      {0x0A, {'9', '('}}, {0x0B, {'0', ')'}}, {0x0C, {'-', '_'}}, {0x0D, {'=', '+'}},
      {0x1C, {'\n', '\n'}}, {0x39, {' ', ' '}}, {0x34, {'.', '>'}}, {0x33, {',', '<'}},
      {0x2D, {'x', 'X'}}, {0x22, {'g', 'G'}}, {0x15, {'y', 'Y'}}, {0x32, {'m', 'M'}}};
  std::string text;
  bool shift = false;
  for (uint32_t w : words) {
    const uint32_t code = w & 0xFF;
    const bool make = (w & 0x10000) == 0;
    if (code == 0x2A) {
      shift = make;
      continue;
    }
    if (!make) continue;
    auto k = keys.find(code);
    text += k == keys.end() ? '?' : shift ? k->second.second : k->second.first;
  }
  return text;
}

class TypedText : public HostEndToEnd, public ::testing::WithParamInterface<const char*> {};

// The simulated CNC runs its system and publishes its keys in the way of [Simulator] MdiWay0;
// `cncsim key 0 type` types through the key table; vorkeyd's words type the same text.
TEST_P(TypedText, ArrivesThroughEveryWay) {
  daemon_.stop();
  daemon_.configure(
      "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Mill\n"
      "[Host]\nBoard0=sim\nSocketMode=0600\nStateDir=@STATE@\n"
      "[Simulator]\nUnitTime0=0\nBootMode0=running\nMdiWay0=" + std::string(GetParam()) + "\n");
  ASSERT_TRUE(daemon_.start()) << daemon_.log();
  std::ofstream(daemon_.root() / "etc" / "vorkey.conf") << "[VORKEY]\nDefaultTable=0\nDelayTime=1000\n";
  auto r = moxel::test::run_program({VORKEYD_PROGRAM, "-RegServer"}, moxel::test::Stderr::merged,
                                    daemon_.environment(), 30s);
  ASSERT_EQ(r.status, 0) << r.out;
  host_ = std::make_unique<test::HostProcess>(
      std::vector<std::string>{VORKEYD_PROGRAM, "--dry-run"}, daemon_.environment(),
      daemon_.root());
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  std::string status;
  while (std::chrono::steady_clock::now() < deadline) {
    status = daemon_.cncsim("status 0").out;
    if (status.find("mdi-handshake done") != std::string::npos) break;
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_NE(status.find("mdi-way " + std::string(GetParam())), std::string::npos) << status;
  ASSERT_NE(status.find("mdi-handshake done"), std::string::npos) << status << host_->err();

  const std::string text = "G01 X-2.5 Y10,M\n";
  auto typed = daemon_.cncsim({"key", "0", "type", "G01 X-2.5 Y10,M\\n"});
  ASSERT_EQ(typed.status, 0) << typed.err;
  EXPECT_TRUE(host_->wait_out([&](const std::string& out) {
    return typed_text(test::recorded_words(out)) == text;
  })) << typed_text(test::recorded_words(host_->out())) << "\n" << host_->err();
  EXPECT_EQ(host_->stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Ways, TypedText, ::testing::Values("chain", "block", "mailbox"),
                         [](const auto& info) { return std::string(info.param); });

TEST_F(HostEndToEnd, UnregisteredServiceDoesNotRun) {
  auto r = moxel::test::run_program({VORKEYD_PROGRAM}, moxel::test::Stderr::merged,
                                    daemon_.environment(), 30s);
  EXPECT_EQ(r.status, 2) << r.out;
}

}  // namespace
}  // namespace vorkey
