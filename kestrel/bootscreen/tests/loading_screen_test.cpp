// The boot screen's poll logic against a simulated node; the test plays the CNC's part by writing
// the request words and the screen into the node's shared memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstring>
#include <future>
#include <thread>

#include "cnbusclient/cnbus_client.h"
#include "kestrel/bootscreen/loading_screen.h"
#include "testsupport/test_daemon.h"

namespace {

using kestrel::LoadingScreen;

constexpr uint32_t B = 0xD0000;  // communication area of a CNC of type 1

// The node runs its system, so its boot software leaves the request words to the test.
constexpr const char* kConfig =
    "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Mill\n"
    "[Host]\nBoard0=sim\nSocketMode=0600\n[Simulator]\nBootMode0=running\n";

TEST(TranslateKey, TableOfKeys) {
  struct Case {
    int vk;
    int code;  // -1: nothing queued
  } cases[] = {
      {8, 8},    {13, 13},  {27, 27},   {33, 143}, {34, 142}, {37, 29},   {38, 30},
      {39, 28},  {40, 31},  {96, '0'},  {101, '5'}, {105, '9'}, {'A', 'A'}, {'z', 'z'},
      {'7', '7'}, {0x70, 0x70},  // F1 has the code of the letter p
      {16, -1},  // Shift
      {0x2E, -1}, {0x5B, -1}, {0x6A, 'j'}, {0x20, -1}, {0, -1}, {255, -1},
  };
  for (const auto& c : cases) {
    const auto code = kestrel::TranslateKey(c.vk);
    if (c.code < 0) EXPECT_FALSE(code) << "key " << c.vk;
    else EXPECT_EQ(code.value_or(0xFFFF), c.code) << "key " << c.vk;
  }
}

class LoadingScreenTest : public ::testing::Test {
 protected:
  moxel::test::Daemon daemon{"bootscreen-test"};
  std::unique_ptr<cnbus::CCnbusClient> cnc_client;  // the CNC's side
  std::promise<int> ended;
  std::future<int> ended_future = ended.get_future();

  void SetUp() override {
    daemon.configure(kConfig);
    ASSERT_TRUE(daemon.start()) << daemon.error() << daemon.log();
    cnc_client = std::make_unique<cnbus::CCnbusClient>();
    ASSERT_EQ(cnc().SelectNode(0), 1);
    cnc().ShmWriteWord(B, 0);  // state word: neither bit 3 nor bit 8
  }

  cnbus::CCnbusClient& cnc() { return *cnc_client; }
  void TearDown() override { cnc_client.reset(); }

  LoadingScreen::Hooks hooks() {
    LoadingScreen::Hooks h;
    h.ended = [this](int result) { ended.set_value(result); };
    return h;
  }

  // Posts a request as the CNC does and waits (bounded) for the PC to clear the flag.
  bool post(int code) {
    cnc().ShmWriteWord(B + 0x104, 0xAAAA);
    cnc().ShmWriteWord(B + 0x102, uint16_t(code));
    cnc().ShmWriteWord(B + 0x100, 1);
    for (int i = 0; i < 10000; ++i) {
      if (cnc().ShmReadWord(B + 0x100) == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  void write_line(int line, const char* text, uint8_t attr = 0x07) {
    uint8_t bytes[kestrel::kLineBytes] = {};
    for (size_t i = 0; text[i] && i < 80; ++i) bytes[2 * i] = uint8_t(text[i]), bytes[2 * i + 1] = attr;
    cnc().ShmWriteBytes(B + 0x1000 + uint32_t(line) * kestrel::kLineBytes, bytes, sizeof bytes);
  }
};

TEST_F(LoadingScreenTest, ShowsLoadingUntilTheCncWritesThenTheCncScreen) {
  {
    LoadingScreen screen(0, 0, hooks());
    screen.Start();
    const auto shadow = screen.Shadow();
    EXPECT_EQ(kestrel::LineText(shadow, 0), "LOADING...");
    EXPECT_EQ(std::memcmp(shadow.data(), "L O A D I N G . . .", 20), 0);
  }
  write_line(0, "BOOT SYSTEM");
  LoadingScreen screen(0, 0, hooks());
  screen.Start();
  EXPECT_EQ(kestrel::LineText(screen.Shadow(), 0), "BOOT SYSTEM");
}

TEST_F(LoadingScreenTest, KeyRequestsTakeTheQueueInOrderAndAnswerNoKeyWhenEmpty) {
  LoadingScreen screen(0, 0, hooks());
  screen.Start();
  ASSERT_TRUE(post(0x8003));
  EXPECT_EQ(cnc().ShmReadWord(B + 0x114), 0xFFFF);
  EXPECT_EQ(cnc().ShmReadWord(B + 0x104), 0);

  EXPECT_TRUE(screen.KeyDown(33));   // Page Up
  EXPECT_TRUE(screen.KeyDown(101));  // keypad 5
  EXPECT_FALSE(screen.KeyDown(16));  // Shift
  EXPECT_TRUE(screen.KeyDown('Q'));
  EXPECT_EQ(screen.QueuedKeys(), 3u);
  for (int want : {143, 53, int('Q'), 0xFFFF}) {
    cnc().ShmWriteWord(B + 0x114, 0x1234);
    ASSERT_TRUE(post(0x8003));
    EXPECT_EQ(cnc().ShmReadWord(B + 0x114), want);
    EXPECT_EQ(cnc().ShmReadWord(B + 0x104), 0);
  }
  EXPECT_EQ(screen.ErrorCode(), -1);
}

TEST_F(LoadingScreenTest, UnknownRequestIsAnsweredOneAndTheFlagCleared) {
  LoadingScreen screen(0, 0, hooks());
  screen.Start();
  for (int code : {0x0000, 0x8000, 0x8004, 0x0001, 0xFFFF}) {
    ASSERT_TRUE(post(code)) << code;
    EXPECT_EQ(cnc().ShmReadWord(B + 0x104), 1) << code;
  }
  EXPECT_EQ(ended_future.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
}

TEST_F(LoadingScreenTest, UpdateRedrawsOnlyFlaggedLinesThroughTheHookAndClearsTheirFlags) {
  int redraws = 0;
  std::vector<int> drawn;
  LoadingScreen* self = nullptr;
  auto h = hooks();
  h.redraw = [&] {
    ++redraws;
    drawn = self->RedrawChanged();
  };
  LoadingScreen screen(0, 0, h);
  self = &screen;
  screen.Start();

  // No flags: nothing drawn, the flags stay as they were, the LOADING line stays.
  write_line(4, "NOT FLAGGED");
  ASSERT_TRUE(post(0x8002));
  EXPECT_EQ(redraws, 1);
  EXPECT_TRUE(drawn.empty());
  uint8_t flags[25];
  cnc().ShmReadBytes(B + 0x200, flags, 25);
  for (uint8_t f : flags) EXPECT_EQ(f, 0);
  EXPECT_EQ(kestrel::LineText(screen.Shadow(), 0), "LOADING...");
  EXPECT_EQ(cnc().ShmReadWord(B + 0x104), 0);

  write_line(0, "MEMORY TEST OK");
  write_line(24, "LAST LINE", 0x70);
  uint8_t set[25] = {};
  set[0] = 1, set[24] = 0x80;
  cnc().ShmWriteBytes(B + 0x200, set, 25);
  ASSERT_TRUE(post(0x8002));
  EXPECT_EQ(drawn, (std::vector<int>{0, 24}));
  const auto shadow = screen.Shadow();
  EXPECT_EQ(kestrel::LineText(shadow, 0), "MEMORY TEST OK");
  EXPECT_EQ(kestrel::LineText(shadow, 24), "LAST LINE");
  EXPECT_EQ(shadow[24 * kestrel::kLineBytes + 1], 0x70);
  EXPECT_EQ(kestrel::LineText(shadow, 4), "");  // written but never flagged
  cnc().ShmReadBytes(B + 0x200, flags, 25);
  for (uint8_t f : flags) EXPECT_EQ(f, 0);
}

TEST_F(LoadingScreenTest, EndRequestAnswersAndEndsWithResultZero) {
  LoadingScreen screen(0, 0, hooks());
  screen.Start();
  ASSERT_TRUE(post(0x8001));
  EXPECT_EQ(cnc().ShmReadWord(B + 0x104), 0);
  ASSERT_EQ(ended_future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(ended_future.get(), LoadingScreen::kEnded);
  EXPECT_FALSE(screen.WaitRunning(0));
  cnc().ShmWriteWord(B, 0x0008);
  EXPECT_TRUE(screen.WaitRunning(1000));
}

TEST_F(LoadingScreenTest, ModeOneEndsAtTheFirstPollOnStateBits) {
  for (int state : {0x0008, 0x0100, 0x0109}) {
    cnc().ShmWriteWord(B, uint16_t(state));
    std::promise<int> result;
    LoadingScreen::Hooks h;
    h.ended = [&](int r) { result.set_value(r); };
    LoadingScreen screen(0, 1, h);
    screen.Start();
    auto f = result.get_future();
    ASSERT_EQ(f.wait_for(std::chrono::seconds(10)), std::future_status::ready) << state;
    EXPECT_EQ(f.get(), LoadingScreen::kAborted);
    EXPECT_EQ(screen.Polls(), 1u);
  }
  // Mode 0 does not look at the state word.
  LoadingScreen screen(0, 0, hooks());
  screen.Start();
  ASSERT_TRUE(post(0x9999));
  EXPECT_EQ(ended_future.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
}

TEST_F(LoadingScreenTest, LostLinkIsRecordedEndsTheScreenAndIsReportedOnDestruction) {
  std::optional<int> reported;
  {
    auto h = hooks();
    h.report = [&](const kestrel::CItfErr& e) { reported = e.code(); };
    LoadingScreen screen(0, 0, h);
    screen.Start();
    daemon.cncsim("power 0 off");
    ASSERT_EQ(ended_future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(ended_future.get(), LoadingScreen::kAborted);
    EXPECT_EQ(screen.ErrorCode(), 1);
    EXPECT_FALSE(reported);
  }
  EXPECT_EQ(reported, 1);
}

}  // namespace

// --- end to end: the simulated boot software's screen, answered from the PC ---

namespace {

constexpr const char* kBootScreenConfig =
    "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Mill\n"
    "[Host]\nBoard0=sim\nSocketMode=0600\n"
    "[Simulator]\nBootMode0=auto\nBootScreen0=1\nScreenPace0=5\n";
constexpr const char* kPrompt = "Select (1-3, Enter = 1): ";

class BootScreenRun : public ::testing::Test {
 protected:
  moxel::test::Daemon daemon{"bootscreen-run"};

  void SetUp() override {
    daemon.configure(kBootScreenConfig);
    ASSERT_TRUE(daemon.start()) << daemon.error() << daemon.log();
  }
  std::string status() { return daemon.cncsim("status 0").out; }
  bool wait_for(const std::function<bool()>& done) {
    for (int i = 0; i < 3000; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  // A shell line in which "CLI" stands for kestrel-cli.
  moxel::test::ProgramResult shell(std::string line) {
    line.replace(line.find("CLI"), 3, KESTREL_CLI_PROGRAM);
    return moxel::test::run_program({"/bin/sh", "-c", line}, moxel::test::Stderr::separate,
                                    daemon.environment());
  }
};

TEST_F(BootScreenRun, PollLogicFollowsTheBootLogAndAnswersTheMenuWithAKey) {
  std::promise<int> ended;
  LoadingScreen::Hooks hooks;
  hooks.ended = [&](int r) { ended.set_value(r); };
  LoadingScreen screen(0, 0, hooks);
  screen.Start();
  ASSERT_TRUE(wait_for([&] { return kestrel::LineText(screen.Shadow(), 13) == kPrompt; }))
      << kestrel::LineText(screen.Shadow(), 0);
  auto shadow = screen.Shadow();
  EXPECT_NE(kestrel::LineText(shadow, 0).find("MOXEL CNC BOOT SYSTEM"), std::string::npos);
  EXPECT_EQ(shadow[1], kestrel::kAttrReverse);
  EXPECT_EQ(kestrel::LineText(shadow, 3), "Memory test .......... 4096 KB OK");
  EXPECT_EQ(kestrel::LineText(shadow, 8), "BOOT MENU");
  EXPECT_NE(status().find("phase loading"), std::string::npos);

  // The same screen as the simulator and the terminal mirror show it.
  const std::string sim = daemon.cncsim("screen 0").out;
  EXPECT_NE(sim.find("\nBOOT MENU\n"), std::string::npos) << sim;
  EXPECT_NE(sim.find("\nSelect (1-3, Enter = 1):\n"), std::string::npos) << sim;  // trailing blank cut
  const auto once = shell("CLI --node 0 screen --once");
  ASSERT_EQ(once.status, 0) << once.err;
  EXPECT_NE(once.out.find(" MOXEL CNC BOOT SYSTEM"), std::string::npos) << once.out;
  EXPECT_NE(once.out.find(std::string("\n") + kPrompt + "\n"), std::string::npos) << once.out;
  EXPECT_EQ(std::count(once.out.begin(), once.out.end(), '\n'), 25);

  EXPECT_FALSE(screen.KeyDown(16));  // Shift: nothing for the CNC
  EXPECT_TRUE(screen.KeyDown('2'));
  auto end = ended.get_future();
  ASSERT_EQ(end.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(end.get(), LoadingScreen::kEnded);
  shadow = screen.Shadow();
  EXPECT_EQ(kestrel::LineText(shadow, 13), std::string(kPrompt) + "2");
  EXPECT_EQ(kestrel::LineText(shadow, 15), "Loading CNC system without PLC ...");
  EXPECT_TRUE(screen.WaitRunning(30000));
  const std::string s = status();
  EXPECT_NE(s.find("phase running"), std::string::npos) << s;
  EXPECT_NE(s.find("screen-choice 2"), std::string::npos) << s;
  EXPECT_EQ(screen.ErrorCode(), -1);
}

TEST_F(BootScreenRun, TerminalMirrorTakesPipedKeysIgnoresWhatTheMenuDoesNotKnowAndEndsWithTheCnc) {
  // 'x' is queued (a letter) and refused by the menu; Enter then takes the first choice.
  const auto r = shell("printf 'x\\r' | CLI screen");
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_NE(r.out.find(std::string(kPrompt) + "1\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Loading CNC system ..."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("the CNC ended its boot screen"), std::string::npos);
  EXPECT_NE(status().find("screen-choice 1"), std::string::npos);
  EXPECT_EQ(shell("CLI screen --twice").status, 2);
}

}  // namespace
