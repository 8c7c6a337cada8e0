// Typing a text on the simulated MDI keyboard: the keys of the key table, Shift around shifted
// characters, and timing the key service can follow.
#include <gtest/gtest.h>

#include <map>

#include "cncsim/key_typing.h"
#include "cncsim/mdi_keyboard.h"

namespace cncsim {
namespace {

TEST(KeyTyping, KeyNames) {
  EXPECT_EQ(parse_key_name("KEY_23"), 19u);
  EXPECT_EQ(parse_key_name("key_00"), 0u);
  EXPECT_EQ(parse_key_name("KEY_1f2"), 250u);
  EXPECT_EQ(parse_key_name("KEY_97"), 79u);
  EXPECT_EQ(parse_key_name("42"), 42u);
  for (const char* bad : {"KEY_28", "KEY_", "KEY_2", "KEY_zz", "256", "KEY_2007", "x"})
    EXPECT_FALSE(parse_key_name(bad)) << bad;
}

TEST(KeyTyping, CharactersBecomeTheirKeysWithShiftWhereNeeded) {
  const auto table = vorkey::builtin_table(0);
  // Table 0: "0" is KEY_00 unshifted, "{" its shifted code; "G" KEY_72; Enter KEY_23; Shift KEY_25.
  auto strokes = plan_typing("0{G\n", table);
  ASSERT_TRUE(strokes);
  std::vector<std::pair<unsigned, bool>> order;
  for (const auto& s : *strokes) order.push_back({s.key, s.press});
  const std::vector<std::pair<unsigned, bool>> expected = {
      {0, true},  {0, false},  {21, true}, {0, true},   {0, false},
      {21, false}, {58, true}, {58, false}, {19, true}, {19, false}};
  EXPECT_EQ(order, expected);
}

TEST(KeyTyping, MissingCharacterIsNamed) {
  char missing = 0;
  EXPECT_FALSE(plan_typing("G0g", vorkey::builtin_table(0), 1, &missing));
  EXPECT_EQ(missing, 'g');
}

TEST(KeyTyping, TimingAPersonAndTheServiceCanFollow) {
  const std::string text = "G01 X10.5 Y-2 F300\nM30\n";
  auto strokes = plan_typing(text, vorkey::builtin_table(0), 7);
  ASSERT_TRUE(strokes);
  std::map<unsigned, uint32_t> down_since;
  uint32_t last_press = 0;
  bool first = true, overlapped = false;
  int presses = 0;
  for (const auto& s : *strokes) {
    if (s.press) {
      ASSERT_FALSE(down_since.count(s.key)) << "pressed twice: " << s.key;
      if (!first) {
        EXPECT_GE(s.at_ms - last_press, 40u) << "presses too close for 16 ms ticks";
      }
      if (!down_since.empty() && s.key != 21) overlapped = true;
      down_since[s.key] = s.at_ms;
      last_press = s.at_ms;
      first = false;
      ++presses;
    } else {
      ASSERT_TRUE(down_since.count(s.key));
      const uint32_t held = s.at_ms - down_since[s.key];
      EXPECT_GE(held, 40u);
      EXPECT_LT(held, 250u) << "held into the auto-repeat";
      down_since.erase(s.key);
    }
  }
  EXPECT_TRUE(down_since.empty());
  EXPECT_TRUE(overlapped) << "no rolled pair in a text of this length";
  EXPECT_GE(presses, int(text.size()));
}

// Carrying out the strokes on a fake clock: a send held up (a busy machine) must not shorten the
// hold or pause after it, and no stroke goes before the PC has read the one before it.
TEST(KeyTyping, HeldUpTyperKeepsItsIntervalsAndWaitsForThePc) {
  using namespace std::chrono_literals;
  const std::vector<KeyStroke> strokes = {
      {0, 58, true}, {70, 58, false}, {200, 0, true}, {215, 1, true}, {290, 0, false},
      {300, 1, false}};
  struct Case {
    size_t held_up;         // the send of this stroke takes 120 ms
    int polls_until_read;   // read_by_pc answers false this many times after each send
  };
  for (const Case c : {Case{0, 0}, Case{2, 0}, Case{3, 3}, Case{5, 1}}) {
    SCOPED_TRACE(c.held_up);
    std::chrono::steady_clock::time_point t{};
    std::vector<std::chrono::steady_clock::time_point> sent;
    int unread_polls = 0;
    TypingIo io;
    io.now = [&] { return t; };
    io.sleep = [&](std::chrono::steady_clock::duration d) { t += d; };
    io.send = [&](const KeyStroke&) {
      EXPECT_EQ(unread_polls, 0) << "sent before the PC read the last stroke";
      if (sent.size() == c.held_up) t += 120ms;
      sent.push_back(t);
      unread_polls = c.polls_until_read;
      return true;
    };
    io.read_by_pc = [&] { return unread_polls == 0 || --unread_polls < 0; };
    ASSERT_TRUE(perform_typing(strokes, io));
    ASSERT_EQ(sent.size(), strokes.size());
    for (size_t i = 1; i < strokes.size(); ++i)
      EXPECT_GE(sent[i] - sent[i - 1], std::chrono::milliseconds(strokes[i].at_ms - strokes[i - 1].at_ms))
          << "stroke " << i;
  }
}

TEST(KeyTyping, PcThatNeverReadsHoldsEachStrokeOnlyUpToTheLimit) {
  using namespace std::chrono_literals;
  std::chrono::steady_clock::time_point t{};
  TypingIo io;
  io.now = [&] { return t; };
  io.sleep = [&](std::chrono::steady_clock::duration d) { t += d; };
  int sends = 0;
  io.send = [&](const KeyStroke&) { return ++sends < 3; };
  io.read_by_pc = [] { return false; };
  const std::vector<KeyStroke> strokes = {{0, 1, true}, {50, 1, false}, {100, 2, true}, {150, 2, false}};
  EXPECT_FALSE(perform_typing(strokes, io, 300ms));  // the third send fails: typing ends there
  EXPECT_EQ(sends, 3);
  // Before each of the second and third strokes: the 50 ms of the plan, then 300 ms of waiting.
  EXPECT_GE(t - std::chrono::steady_clock::time_point{}, 700ms);
  EXPECT_LE(t - std::chrono::steady_clock::time_point{}, 710ms);
}

}  // namespace
}  // namespace cncsim
