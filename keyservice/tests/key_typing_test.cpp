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
      if (!first) EXPECT_GE(s.at_ms - last_press, 40u) << "presses too close for 16 ms ticks";
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

}  // namespace
}  // namespace cncsim
