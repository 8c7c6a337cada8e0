// The interface state check against the simulator's running system in process: every access the
// check makes is logged in order (as the board's trace would show it), the link can be dropped at
// any access, and the clock is the test's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "cncsim/memory.h"
#include "cncsim/node.h"
#include "cncsim/running_system.h"
#include "kestrel/cncitf/cnc_state_check.h"
#include "platform/prompter.h"

namespace kestrel {
namespace {

using cncsim::RunningFault;
using cncsim::RunningSettings;
using Lines = std::vector<std::string>;
using Message = CCncStateCheck::Message;
using Outcome = CCncStateCheck::Outcome;

constexpr uint8_t kNibble = 8;
constexpr uint32_t kShm = 0x20C00000;

std::string line(char kind, unsigned size, uint32_t address, uint32_t value) {
  char text[48];
  std::snprintf(text, sizeof text, "%c%u %08x %0*x", kind, size, address, int(size) * 2, value);
  return text;
}

// A simulated node with the running system, reached through its register block as the driver
// reaches a board: one unit per access, so a lost link reads all ones and loses writes. The system
// is served after every access, which advances the simulated time by 1 ms.
class SimBus final : public CncStateBus {
 public:
  static constexpr uint32_t kBase = 0x300;

  explicit SimBus(const RunningSettings& settings)
      : node_(0, kBase, cncsim::NodeSettings{}, {}, nullptr), system_(node_, settings) {
    system_.start();
  }

  cncsim::Node& node() { return node_; }
  cncsim::RunningSystem& system() { return system_; }
  void set_fault(RunningFault fault, bool on = true) { system_.set_fault(fault, on); }
  Lines& log() { return log_; }
  // Called after each read and write the PC makes, with its log line (to drop the link).
  std::function<void(const std::string&)> after_access;

  uint32_t peek(uint32_t address, unsigned size) {
    uint8_t b[4] = {};
    node_.peek(address, std::span(b, size));
    return uint32_t(b[0] | b[1] << 8 | b[2] << 16 | b[3] << 24);
  }
  void poke16(uint32_t address, uint16_t value) {
    const uint8_t b[2] = {uint8_t(value), uint8_t(value >> 8)};
    node_.poke(address, b);
  }

  int IsLinkUp() override {
    log_.push_back("LINK");
    return (node_.register_in8(kBase + 9) & 0x40) ? 1 : 0;
  }
  uint8_t ReadByte(int space, uint32_t offset) override { return uint8_t(read(space, offset, 1)); }
  uint16_t ReadWord(int space, uint32_t offset) override { return uint16_t(read(space, offset, 2)); }
  uint32_t ReadDword(int space, uint32_t offset) override { return read(space, offset, 4); }
  void WriteByte(int space, uint32_t offset, uint8_t v) override { write(space, offset, 1, v); }
  void WriteWord(int space, uint32_t offset, uint16_t v) override { write(space, offset, 2, v); }
  void WriteDword(int space, uint32_t offset, uint32_t v) override { write(space, offset, 4, v); }
  // As the driver client does them.
  uint16_t RefreshWindowNibble() override { return ReadWord(0x10, 0x110) & 0x0F; }
  int WindowFlag0() override { return WindowWord4() & 1; }
  int WindowFlag1() override { return (WindowWord4() >> 1) & 1; }

 private:
  uint16_t WindowWord4() { return ReadWord(0x10, RefreshWindowNibble() * 16u + 4); }

  static uint32_t address(int space, uint32_t offset) {
    return uint32_t(space & 0xFF) << 24 | (offset & 0xFFFFFF);
  }
  void done(const std::string& entry) {
    now_ += std::chrono::milliseconds(1);
    system_.serve(now_);
    log_.push_back(entry);
    if (after_access) after_access(entry);
  }
  uint32_t read(int space, uint32_t offset, unsigned size) {
    const uint32_t a = address(space, offset);
    node_.out32(kBase + 4, a);
    node_.out8(kBase + 8, uint8_t(0x80 | size));
    const uint32_t v = node_.in32(kBase) & (size == 4 ? 0xFFFFFFFF : (1u << (8 * size)) - 1);
    done(line('R', size, a, v));
    return v;
  }
  void write(int space, uint32_t offset, unsigned size, uint32_t v) {
    const uint32_t a = address(space, offset);
    node_.out32(kBase, v);
    node_.out32(kBase + 4, a);
    node_.out8(kBase + 8, uint8_t(size));
    done(line('W', size, a, v));
  }

  cncsim::Node node_;
  cncsim::RunningSystem system_;
  cncsim::RunningSystem::Clock::time_point now_{};
  Lines log_;
};

// A check on a SimBus with a scripted prompter; the clock stands still unless `ticking`, when each
// reading is one second later than the one before.
struct Rig {
  explicit Rig(const RunningSettings& settings = {}) : bus(settings) {}

  int run(bool ticking = false, int limit = CCncStateCheck::kDefaultLimit) {
    CCncStateCheck check(bus, [this] { ++link_lost; }, prompter);
    check.SetClock([this, ticking] { return ticking ? readings++ : readings; });
    check.SetLimit(limit);
    const int result = check.Run();
    outcome = check.GetOutcome();
    message = check.GetMessage();
    first_table = check.GetFirstTablePointer();
    segment_count = check.GetSegmentCount();
    fixed_count = check.GetFixedCount();
    second_table = check.GetSecondTablePointer();
    return result;
  }
  // How often the log holds `entry`.
  long count(const std::string& entry) {
    return std::count(bus.log().begin(), bus.log().end(), entry);
  }
  SimBus bus;
  moxel::ScriptedPrompter prompter;
  int link_lost = 0;
  int64_t readings = 0;
  Outcome outcome = Outcome::kNotRun;
  Message message = Message::kHardware;
  uint32_t first_table = 0, second_table = 0;
  uint16_t segment_count = 0, fixed_count = 0;
};

RunningSettings segments(uint32_t first, uint32_t second = 0, bool marker = false) {
  RunningSettings s;
  s.segments = first;
  s.second_segments = second;
  s.marker_3531 = marker;
  return s;
}

// The PC's registration in segment s is done: its entry written into the cleared area, both pairs
// answered, phase 1.
void ExpectRegistered(SimBus& bus, uint32_t s, bool pmc_answered) {
  SCOPED_TRACE("segment at " + std::to_string(s));
  EXPECT_EQ(bus.peek(kShm + s + 0x384, 4), 0x1600u);
  EXPECT_EQ(bus.peek(kShm + s + 0x300, 4), 0u);
  EXPECT_EQ(bus.peek(kShm + s + 0x3FC, 4), 0u);
  EXPECT_EQ(bus.peek(kShm + s + 0x204, 2), 1u);
  EXPECT_EQ(bus.peek(kShm + s + 0x102, 2), 1u);
  EXPECT_EQ(bus.peek(kShm + s + 0x112, 2), pmc_answered ? 1u : 0u);
  EXPECT_NE(bus.peek(kShm + s + 0x1500, 2), bus.peek(kShm + s + 0x1502, 2));
}

void ExpectUntouched(SimBus& bus, uint32_t s) {
  SCOPED_TRACE("segment at " + std::to_string(s));
  EXPECT_EQ(bus.peek(kShm + s + 0x384, 4), 0xA5A5A5A5u);
  EXPECT_EQ(bus.peek(kShm + s + 0x102, 2), 0u);
  EXPECT_EQ(bus.peek(kShm + s + 0x204, 2), 0u);
}

// The whole first run on a fresh one-segment system, access by access. The 256 byte writes that
// clear the PC's area stand as one line "CLEAR" here and are checked on their own.
TEST(StateCheck, FirstRunMakesExactlyTheseAccesses) {
  Rig rig;
  ASSERT_EQ(rig.run(), 1);
  Lines log;
  Lines clears;
  for (const std::string& l : rig.bus.log()) {
    if (l.rfind("W1 20c003", 0) == 0) {
      if (clears.empty()) log.push_back("CLEAR");
      clears.push_back(l);
    } else {
      log.push_back(l);
    }
  }
  ASSERT_EQ(clears.size(), 256u);
  for (uint32_t i = 0; i < 256; ++i) EXPECT_EQ(clears[i], line('W', 1, kShm + 0x300 + i, 0));

  const Lines window_flag = {"R2 10000110 0008", "R2 10000084 0000"};
  Lines expected = {
      // interface present
      "R2 10000110 0008", "LINK",
      // SYSFAIL: the latched request acknowledged, nibble stable, flag 1 clear
      "R2 10000620 0001", "LINK", "W2 10000620 0001", "R2 10000110 0008", "R2 10000110 0008",
      "R2 10000084 0000", "R2 10000110 0008", "LINK",
      // CNC buffer
      "R2 20c00006 0001", "LINK",
      // scan: parity, count and marker
      "R2 10000110 0008", "R2 10000084 0000", "LINK", "R1 20c00012 01", "R2 20c00004 0000",
      // segment 0: ready words, A and B pairs (nothing answered yet, nothing pending)
      "R2 20c00006 0001", "LINK", "R2 20c0000a 0001", "LINK",
      "R2 20c00016 0020", "R4 20c00018 00c00100", "R2 20c00102 0000", "R2 20c00100 0000", "LINK",
      "R2 20c0002a 0020", "R4 20c0002c 00c00110", "R2 20c00112 0000", "R2 20c00110 0000", "LINK",
      "R4 20c00044 00000200",
      "W2 20c00204 0001", "W2 20c00102 0001", "LINK", "W2 20c00204 0001", "W2 20c00112 0001", "LINK",
      "R4 20c00048 00000300", "CLEAR",
      // registration: the pair has changed, the PC's entry goes to the cleared area + 132
      "R4 20c0000c 00001000", "R4 20c0111c 00001500", "R2 20c01500 0001", "R2 20c01502 0000", "LINK",
      "R4 20c01104 00001400", "R4 20c01404 00001600", "W4 20c00384 00001600",
      "LINK",
      // second pass: announced count is 0
      "R4 20c0000c 00001000", "R4 20c01104 00001400", "R4 20c01404 00001600", "R2 20c01400 0020",
      "R2 20c0161a 0000", "LINK",
      "R2 10000110 0008", "R2 10000084 0000", "LINK",
      // table walk
      "R4 20c0000c 00001000", "LINK", "R2 20c0106c 0001", "R2 20c01068 0020",
      "R4 20c01064 00001700", "R4 20c01704 00001800", "LINK", "R2 20c01812 0100",
      "R4 20c0000c 00001000", "LINK", "R2 20c0126c 0001", "R2 20c01268 0420",
      "R4 20c01264 00001708", "R4 20c0170c 00002000", "LINK",
      "R4 20c0000c 00001000", "LINK", "R2 20c0130c 0001", "R2 20c01300 0000",
      // registration words
      "R4 20c01304 00001710", "W2 20c01710 0002", "R4 20c01714 00001720", "W2 20c01720 0000", "LINK",
      "R4 20c0131c 00001730", "R2 20c01732 0000", "W2 20c01732 0001", "LINK",
      "R4 20c01314 00c01740", "R2 20c01312 0020", "R2 20c01740 0000", "W2 20c01740 0001", "LINK"};
  EXPECT_EQ(log, expected);

  EXPECT_EQ(rig.outcome, Outcome::kPassed);
  EXPECT_TRUE(rig.prompter.shown().empty());
  EXPECT_EQ(rig.link_lost, 0);
  EXPECT_EQ(rig.first_table, 0x1800u);
  EXPECT_EQ(rig.segment_count, 1u);
  EXPECT_EQ(rig.fixed_count, 10u);
  EXPECT_EQ(rig.second_table, 0x2000u);
  // The CNC took the acknowledgement at 0x620.
  EXPECT_EQ(rig.bus.peek(0x10000620, 2), 0u);
}

// A second run finds its own answers of the first: it resets both pairs, withdraws the answers,
// waits for the CNC and the PMC to take the requests and answers again.
TEST(StateCheck, RerunResetsBothPairsBeforeAnsweringAgain) {
  RunningSettings settings;
  settings.handshake_delay_ms = 20;  // 20 accesses of the simulated time
  Rig rig(settings);
  ASSERT_EQ(rig.run(), 1);
  rig.bus.log().clear();
  ASSERT_EQ(rig.run(), 1);

  const Lines& log = rig.bus.log();
  auto from = std::find(log.begin(), log.end(), "R4 20c00044 00000200");
  ASSERT_NE(from, log.end());
  Lines handshake(from + 1, std::find(from, log.end(), "R4 20c00048 00000300"));
  const Lines resets = {
      "W2 20c00200 0001", "W2 20c00100 0001", "LINK",  // A reset
      "W2 20c00202 0001", "W2 20c00110 0001", "LINK",  // B reset
      "W2 20c00204 0000", "W2 20c00102 0000", "LINK",  // A answer withdrawn
      "W2 20c00204 0000", "W2 20c00112 0000", "LINK",  // B answer withdrawn
  };
  const Lines answers = {"W2 20c00204 0001", "W2 20c00102 0001", "LINK",
                         "W2 20c00204 0001", "W2 20c00112 0001", "LINK"};
  ASSERT_GT(handshake.size(), resets.size() + answers.size());
  EXPECT_EQ(Lines(handshake.begin(), handshake.begin() + long(resets.size())), resets);
  EXPECT_EQ(Lines(handshake.end() - long(answers.size()), handshake.end()), answers);
  // In between, the CNC busy word is polled until the CNC clears it, then the PMC busy word
  // (which the PMC may have cleared by then), each poll followed by a link test.
  Lines polls;
  for (auto it = handshake.begin() + long(resets.size()); it != handshake.end() - long(answers.size());
       ++it) {
    if (*it == "LINK") continue;
    EXPECT_EQ(*(it + 1), "LINK");
    if (polls.empty() || *it != polls.back()) polls.push_back(*it);
  }
  std::erase(polls, "R2 20c00202 0001");
  EXPECT_EQ(polls, (Lines{"R2 20c00200 0001", "R2 20c00200 0000", "R2 20c00202 0000"}));
  EXPECT_GT(std::count(handshake.begin(), handshake.end(), "R2 20c00200 0001"), 5);
  ExpectRegistered(rig.bus, 0, true);
  EXPECT_EQ(rig.bus.peek(kShm + 0x100, 2), 0u);  // the CNC took the request
  EXPECT_EQ(rig.bus.peek(kShm + 0x1732, 2), 2u);  // counted twice
  EXPECT_EQ(rig.bus.peek(kShm + 0x1740, 2), 2u);
}

TEST(StateCheck, SeveralSegmentsAreAllRegistered) {
  Rig rig(segments(3));
  ASSERT_EQ(rig.run(), 1);
  for (uint32_t s : {0x00000u, 0x10000u, 0x20000u}) ExpectRegistered(rig.bus, s, true);
  EXPECT_EQ(rig.count("R2 20c30006 0000"), 0);  // no fourth segment is looked at
  EXPECT_EQ(rig.segment_count, 3u);
}

// Second pass: segments from 0x40000, the first with a PMC half (the alternative check answers
// its B pair), the second without.
TEST(StateCheck, SecondPassRegistersItsSegmentsAndServesPmcHalves) {
  Rig rig(segments(2, 2));
  ASSERT_EQ(rig.run(), 1);
  ExpectRegistered(rig.bus, 0x00000, true);
  ExpectRegistered(rig.bus, 0x10000, true);
  ExpectRegistered(rig.bus, 0x40000, true);
  ExpectRegistered(rig.bus, 0x50000, false);
  // The second pass never waits for a PMC ready word outside the alternative check.
  EXPECT_EQ(rig.count("R2 20c5000a 0001"), 0);
  EXPECT_EQ(rig.count("R2 20c4000a 0001"), 1);
}

TEST(StateCheck, MarkerLimitsTheScanToTheFirstSegment) {
  Rig rig(segments(3, 1, true));
  ASSERT_EQ(rig.run(), 1);
  ExpectRegistered(rig.bus, 0, true);
  for (uint32_t s : {0x10000u, 0x20000u, 0x40000u}) ExpectUntouched(rig.bus, s);
  // No second-pass tables are read.
  EXPECT_EQ(rig.count("R2 20c01400 0020"), 0);
}

TEST(StateCheck, SegmentCountOfZeroOrAboveThirtyOneCountsAsOne) {
  for (uint8_t count : {uint8_t(0), uint8_t(0x20), uint8_t(0xFF)}) {
    Rig rig(segments(2));
    rig.bus.node().poke(kShm + 0x12, std::span(&count, 1));
    ASSERT_EQ(rig.run(), 1) << int(count);
    ExpectRegistered(rig.bus, 0, true);
    ExpectUntouched(rig.bus, 0x10000);
  }
}

struct FaultCase {
  const char* fault;
  Message message;
  bool waits;  // the message comes after a time limit
};

// Each fault of the simulated CNC leads to its message, once, in a stop box, and nothing is
// registered in the tables.
TEST(StateCheck, EachFaultShowsItsMessage) {
  const FaultCase cases[] = {
      {"no-interface", Message::kHardware, false},
      {"sysfail", Message::kSysfail, true},
      {"nibble-unstable", Message::kSysfail, true},
      {"cnc-buffer-late", Message::kCncBuffer, true},
      {"pmc-buffer-late", Message::kPmcBuffer, true},
      {"cnc-busy-stuck", Message::kCncBuffer, true},
      {"pmc-busy-stuck", Message::kPmcBuffer, true},
      {"parity", Message::kParity, false},
      {"bad-table", Message::kHardware, false},
      {"registration-stuck", Message::kCncBuffer, true},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.fault);
    Rig rig(segments(2, 2));
    rig.bus.set_fault(*cncsim::running_fault_from_name(c.fault));
    EXPECT_EQ(rig.run(true), 0);
    EXPECT_EQ(rig.outcome, Outcome::kMessage);
    EXPECT_EQ(rig.message, c.message);
    const auto shown = rig.prompter.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, CCncStateCheck::MessageText(c.message));
    EXPECT_EQ(shown[0].caption, "Kestrel32");
    EXPECT_EQ(shown[0].icon, moxel::Icon::stop);
    EXPECT_EQ(rig.link_lost, 0);
    EXPECT_EQ(rig.readings > 30, c.waits);
    EXPECT_EQ(rig.bus.peek(kShm + 0x1740, 2), 0u);  // the walk never registered
  }
}

TEST(StateCheck, MessagesReadExactly) {
  EXPECT_STREQ(CCncStateCheck::MessageText(Message::kHardware),
               "CNC is not accessible.\nFLUX hardware state is not normal.\nBoot process will be aborted.");
  EXPECT_STREQ(CCncStateCheck::MessageText(Message::kSysfail),
               "SYSFAIL signal is ON.\nBoot process will be aborted.");
  EXPECT_STREQ(CCncStateCheck::MessageText(Message::kCncBuffer),
               "Communication buffer is not initialized by CNC.\nBoot process will be aborted.");
  EXPECT_STREQ(CCncStateCheck::MessageText(Message::kPmcBuffer),
               "Communication buffer is not initialized by PMC.\nBoot process will be aborted.");
  EXPECT_STREQ(CCncStateCheck::MessageText(Message::kParity),
               "Common RAM parity is occurred in CNC.\nBoot process will be aborted.");
}

TEST(StateCheck, NoInterfaceReadsNothingElse) {
  Rig rig;
  rig.bus.set_fault(RunningFault::kNoInterface);
  EXPECT_EQ(rig.run(), 0);
  EXPECT_EQ(rig.bus.log(), (Lines{"R2 10000110 ffff", "LINK"}));
}

TEST(StateCheck, ParityIsReportedBeforeAnySegmentIsExamined) {
  Rig rig(segments(2));
  rig.bus.set_fault(RunningFault::kParity);
  EXPECT_EQ(rig.run(), 0);
  EXPECT_EQ(rig.message, Message::kParity);
  EXPECT_EQ(rig.count("R2 20c0000a 0001"), 0);
  ExpectUntouched(rig.bus, 0);
}

// The limit ends once the whole-second readings differ by more than the limit: with a clock one
// second further at each reading, the CNC ready word is read once at 0 s and after each of the
// readings 1 to 30, and the reading 31 ends the wait.
TEST(StateCheck, LimitEndsWhenReadingsDifferByMoreThanTheLimit) {
  for (int limit : {30, 2}) {
    SCOPED_TRACE(limit);
    Rig rig;
    rig.bus.set_fault(RunningFault::kCncBufferLate);
    EXPECT_EQ(rig.run(true, limit), 0);
    EXPECT_EQ(rig.message, Message::kCncBuffer);
    EXPECT_EQ(rig.count("R2 20c00006 0000"), limit + 1);
  }
}

// A CNC that answers late within the limit is waited for.
TEST(StateCheck, LateReadyWordWithinTheLimitPasses) {
  Rig rig;
  rig.bus.set_fault(RunningFault::kCncBufferLate);
  int polls = 0;
  // The CNC sets its ready words after the tenth poll.
  CCncStateCheck check(rig.bus, [&] { ++rig.link_lost; }, rig.prompter);
  check.SetClock([&] {
    if (++polls == 10) rig.bus.set_fault(RunningFault::kCncBufferLate, false);
    return int64_t(polls);
  });
  EXPECT_EQ(check.Run(), 1);
  EXPECT_TRUE(rig.prompter.shown().empty());
}

struct DropCase {
  const char* name;
  const char* fault;  // switched on first; empty for none
  const char* line;   // the link drops after the PC's access with this log line...
  int occurrence;     // ...the n-th time it is made
};

// A link that drops anywhere is reported to the owner alone, once, with no message; the check
// stops at the link test that saw it. Words read over the lost link are all ones, which must not
// pass for a set ready word, a stuck busy word or a parity flag.
TEST(StateCheck, LinkDropReportsLinkLostWithoutMessage) {
  const DropCase cases[] = {
      {"after the phase word", "", "W2 20c00204 0001", 1},
      {"in the middle of clearing", "", "W1 20c00380 00", 1},
      {"while waiting for the CNC busy word", "cnc-busy-stuck", "R2 20c10200 0001", 1},
      {"while waiting for the registration pair", "registration-stuck", "R2 20c01502 0000", 3},
      {"inside the parity test", "", "R2 10000110 0008", 5},
      {"while waiting for the PMC ready word", "pmc-buffer-late", "R2 20c0000a 0000", 2},
      {"after the registration word", "", "W2 20c01710 0002", 1},
  };
  for (const DropCase& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(segments(2));
    if (*c.fault) {
      rig.bus.set_fault(*cncsim::running_fault_from_name(c.fault));
      // A stuck request in the second segment only: the first one passes.
      rig.bus.poke16(kShm + 0x200, 0);
      rig.bus.poke16(kShm + 0x100, 0);
    }
    int seen = 0;
    rig.bus.after_access = [&](const std::string& l) {
      if (l == c.line && ++seen == c.occurrence) rig.bus.node().set_link(false);
    };
    EXPECT_EQ(rig.run(true), 0);
    EXPECT_EQ(seen, c.occurrence);
    EXPECT_EQ(rig.outcome, Outcome::kLinkLost);
    EXPECT_EQ(rig.link_lost, 1);
    EXPECT_TRUE(rig.prompter.shown().empty());
    EXPECT_EQ(rig.bus.log().back(), "LINK");
    EXPECT_LT(rig.readings, 30);  // no time limit ran out
  }
}

}  // namespace
}  // namespace kestrel
