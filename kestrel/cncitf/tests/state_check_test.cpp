// The interface state check through the driver client and a lorandd of the test's own, against
// the simulated running system: its faults and settings through cncsim, what the check wrote read
// back with the simulator's view of memory, and kestrel-cli state-check.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cnbusclient/cnbus_client.h"
#include "kestrel/cncitf/cnc_state_check.h"
#include "platform/prompter.h"
#include "testsupport/test_daemon.h"

namespace {

using kestrel::CCncStateCheck;
using Message = CCncStateCheck::Message;
using Outcome = CCncStateCheck::Outcome;

class StateCheck : public ::testing::Test {
 protected:
  moxel::test::Daemon daemon{"statecheck-test"};
  std::unique_ptr<cnbus::CCnbusClient> client;
  moxel::ScriptedPrompter prompter;
  int link_lost = 0;

  // Starts lorandd with node 0 simulated and running its system, with extra [Simulator] lines.
  void Start(const std::string& simulator = "", int cnc_type = 1) {
    daemon.configure(
        "[Parameters]\nIoPortAddress0=0x300\nCncType0=" + std::to_string(cnc_type) + "\nNodeName0=Mill\n"
        "[Host]\nBoard0=sim\nSocketMode=0600\n"
        "[Simulator]\nBootMode0=running\n" + simulator);
    ASSERT_TRUE(daemon.start()) << daemon.error() << daemon.log();
    client = std::make_unique<cnbus::CCnbusClient>();
    ASSERT_EQ(client->SelectNode(0), 1);
  }
  void TearDown() override { client.reset(); }

  // One run; with `fast`, the check's seconds are tenths of real seconds, so a wait that never
  // ends gives up after about 3 s instead of 30, while the simulator's thread still has ample time
  // to answer on a loaded machine.
  int Run(bool fast = false, Outcome* outcome = nullptr, Message* message = nullptr) {
    CCncStateCheck check(*client, [this] { ++link_lost; }, prompter);
    if (fast)
      check.SetClock([] {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() / 100;
      });
    const int result = check.Run();
    if (outcome) *outcome = check.GetOutcome();
    if (message) *message = check.GetMessage();
    return result;
  }
  void Cncsim(const std::string& args) {
    const auto r = daemon.cncsim(args);
    ASSERT_EQ(r.status, 0) << args << ": " << r.err;
  }
  // `length` bytes of shared memory at offset x, in hex as `cncsim peek` prints them.
  std::string Peek(uint32_t x, int length) {
    char args[64];
    std::snprintf(args, sizeof args, "peek 0 0x%x %d", 0x20C00000u + x, length);
    std::string out = daemon.cncsim(args).out;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
};

// Several segments and a second pass: every segment gets the PC's entry (0x1600) in its cleared
// area and its answers; the walk leaves 2, 0 and two counts in the tables.
TEST_F(StateCheck, PassRegistersEverySegmentAndTheTables) {
  Start("Segments0=3\nSecondSegments0=2\n");
  Outcome outcome;
  ASSERT_EQ(Run(false, &outcome), 1) << prompter.shown().size();
  EXPECT_EQ(outcome, Outcome::kPassed);
  EXPECT_TRUE(prompter.shown().empty());
  EXPECT_EQ(link_lost, 0);
  for (uint32_t s : {0x00000u, 0x10000u, 0x20000u, 0x40000u, 0x50000u}) {
    SCOPED_TRACE(s);
    EXPECT_EQ(Peek(s + 0x300, 4), "00000000");       // cleared
    EXPECT_EQ(Peek(s + 0x384, 4), "00160000");       // the PC's entry
    EXPECT_EQ(Peek(s + 0x102, 2), "0100");           // A answered
    EXPECT_EQ(Peek(s + 0x204, 2), "0100");           // phase 1
  }
  // B answered in the first pass and by the alternative check of the first second-pass segment.
  for (uint32_t s : {0x00000u, 0x10000u, 0x20000u, 0x40000u}) EXPECT_EQ(Peek(s + 0x112, 2), "0100") << s;
  EXPECT_EQ(Peek(0x50112, 2), "0000");
  EXPECT_EQ(Peek(0x1710, 2), "0200");
  EXPECT_EQ(Peek(0x1720, 2), "0000");
  EXPECT_EQ(Peek(0x1732, 2), "0100");
  EXPECT_EQ(Peek(0x1740, 2), "0100");
  EXPECT_EQ(daemon.cncsim("peek 0 0x10000620 2").out, "0000\n");  // acknowledged
}

TEST_F(StateCheck, MarkerKeepsTheCheckToTheFirstSegment) {
  Start("Segments0=3\nSecondSegments0=1\nMarker35310=1\n");
  EXPECT_EQ(Peek(4, 2), "3135");
  ASSERT_EQ(Run(), 1);
  EXPECT_EQ(Peek(0x384, 4), "00160000");
  for (uint32_t s : {0x10000u, 0x20000u, 0x40000u}) EXPECT_EQ(Peek(s + 0x384, 4), "a5a5a5a5") << s;
}

// A second run answers its own first run's handshake: it waits while the CNC takes its time
// (HandshakeDelay) to clear the busy words.
TEST_F(StateCheck, SecondRunWaitsForTheCncToTakeTheRequests) {
  Start("HandshakeDelay0=200\n");
  ASSERT_EQ(Run(), 1);
  Cncsim("trace 0 start");
  ASSERT_EQ(Run(), 1);
  Cncsim("trace 0 stop");
  const std::string trace = daemon.cncsim("trace 0 show").out;
  auto count = [&](const std::string& line) {
    size_t n = 0;
    for (size_t at = trace.find(line); at != std::string::npos; at = trace.find(line, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("W2 20c00200 0001"), 1u);  // A reset: busy and request
  EXPECT_EQ(count("W2 20c00100 0001"), 1u);
  EXPECT_GT(count("R2 20c00200 0001"), 1u);  // polled while busy
  EXPECT_EQ(count("R2 20c00200 0000"), 1u);
  EXPECT_EQ(Peek(0x1740, 2), "0200");
}

// Every fault of the running system ends in its message; switched off again, the check passes.
TEST_F(StateCheck, EachFaultEndsInItsMessage) {
  Start("Segments0=2\nSecondSegments0=1\n");
  const struct {
    const char* fault;
    Message message;
  } cases[] = {
      {"no-interface", Message::kHardware},     {"sysfail", Message::kSysfail},
      {"nibble-unstable", Message::kSysfail},   {"cnc-buffer-late", Message::kCncBuffer},
      {"pmc-buffer-late", Message::kPmcBuffer}, {"cnc-busy-stuck", Message::kCncBuffer},
      {"pmc-busy-stuck", Message::kPmcBuffer},  {"parity", Message::kParity},
      {"bad-table", Message::kHardware},        {"registration-stuck", Message::kCncBuffer},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    prompter.clear();
    Cncsim(std::string("fault 0 ") + c.fault + " on");
    Outcome outcome;
    Message message;
    EXPECT_EQ(Run(true, &outcome, &message), 0);
    EXPECT_EQ(outcome, Outcome::kMessage);
    EXPECT_EQ(message, c.message);
    const auto shown = prompter.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, CCncStateCheck::MessageText(c.message));
    EXPECT_EQ(shown[0].icon, moxel::Icon::stop);
    Cncsim(std::string("fault 0 ") + c.fault + " off");
  }
  EXPECT_EQ(link_lost, 0);
  prompter.clear();
  EXPECT_EQ(Run(true), 1);
  EXPECT_TRUE(prompter.shown().empty());
}

// The link is lost in the middle of the segment scan: the owner hears of it, once, and no box is
// shown.
TEST_F(StateCheck, LinkLostMidwayIsReportedWithoutMessage) {
  Start("Segments0=2\n");
  Cncsim("fault 0 link-drop-after on 150");
  Outcome outcome;
  EXPECT_EQ(Run(true, &outcome), 0);
  EXPECT_EQ(outcome, Outcome::kLinkLost);
  EXPECT_EQ(link_lost, 1);
  EXPECT_TRUE(prompter.shown().empty());
  EXPECT_NE(Peek(0x384, 4), "00160000");  // it stopped before registering
}

// A type 3 CNC keeps its communication area at shared memory 0: its running system leaves the
// CNC state word there alone (the boot thread never runs the check for it).
TEST_F(StateCheck, TypeThreeNodeKeepsItsStateWord) {
  Start("", 3);
  EXPECT_EQ(Peek(0, 2), "0800");
  EXPECT_EQ(Peek(0x0C, 4), "00000000");
}

TEST_F(StateCheck, KestrelCliStateCheck) {
  Start();
  auto cli = [&](const std::string& args) {
    std::vector<std::string> argv = {KESTREL_CLI_PROGRAM, "--node", "0"};
    for (const std::string& w : moxel::test::split_words(args)) argv.push_back(w);
    return moxel::test::run_program(argv, moxel::test::Stderr::separate, daemon.environment());
  };
  auto r = cli("state-check");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "passed\n");

  Cncsim("fault 0 parity on");
  r = cli("state-check");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Common RAM parity is occurred in CNC.\nBoot process will be aborted.\n");
  Cncsim("fault 0 parity off");

  // A shortened limit: the late buffer is given up on after about a second, not 30.
  Cncsim("fault 0 pmc-buffer-late on");
  r = cli("state-check --limit 1");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Communication buffer is not initialized by PMC.\nBoot process will be aborted.\n");
  Cncsim("fault 0 pmc-buffer-late off");

  for (const char* bad : {"state-check --limit", "state-check --limit 31", "state-check --wait 3"}) {
    r = cli(bad);
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_EQ(r.out, "") << bad;
  }

  Cncsim("link 0 down");
  r = cli("state-check");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("link to node 0 was lost"), std::string::npos) << r.err;
}

}  // namespace
