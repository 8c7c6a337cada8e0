#include "keyservice/key_converter.h"

#include <gtest/gtest.h>

#include <set>

namespace vorkey {
namespace {

struct Recorder : WordSink {
  void Send(uint32_t word) override { words.push_back(word); }
  std::vector<uint32_t> words;
};

const KeyboardLayout& us() {
  static std::unique_ptr<KeyboardLayout> layout = make_xkb_layout("us");
  return *layout;
}

// The US layout without the characters in `hidden`.
struct HidingLayout : KeyboardLayout {
  explicit HidingLayout(std::string h) : hidden(std::move(h)) {}
  std::optional<CharKey> key_for_char(uint8_t ch) const override {
    if (hidden.find(static_cast<char>(ch)) != std::string::npos) return std::nullopt;
    return us().key_for_char(ch);
  }
  ScanCode scan_code(int key) const override { return us().scan_code(key); }
  std::string hidden;
};

// Table 0 keys used below.
constexpr int k00 = 0, kShiftKey = 21, kRight = 22, kCtrlKey = 30, kAltKey = 31, kVac = 12;

struct Event {
  char what;  // 'D' key down, 'U' key up, 'R' release all
  int key;
};

struct Case {
  const char* name;
  int table;
  uint32_t one_touch;
  std::vector<Event> events;
  std::vector<uint32_t> words;
};

TEST(Conversion, KeyEventsGiveTheseWords) {
  const Case cases[] = {
      {"plain key", 0, 0, {{'D', k00}, {'U', k00}}, {0x0B, 0x1000B}},
      {"MDI Shift held, shifted char needs Shift already down", 0, 0,
       {{'D', kShiftKey}, {'D', k00}, {'U', k00}, {'U', kShiftKey}},
       {0x2A, 0x1A, 0x1001A, 0x1002A}},
      {"MDI Shift held, shifted digit needs no Shift", 2, 0,
       {{'D', kShiftKey}, {'D', 3}, {'U', 3}, {'U', kShiftKey}},
       {0x2A, 0x1002A, 0x04, 0x10004, 0x2A, 0x1002A}},
      {"right arrow", 0, 0, {{'D', kRight}, {'U', kRight}}, {0x2004D, 0x3004D}},
      {"arrow keeps the PC Shift down", 0, 0,
       {{'D', kShiftKey}, {'D', kRight}, {'U', kRight}, {'U', kShiftKey}},
       {0x2A, 0x2004D, 0x3004D, 0x1002A}},
      {"modifier keys without one-touch", 0, 0,
       {{'D', kCtrlKey}, {'D', k00}, {'U', k00}, {'U', kCtrlKey}},
       {0x1D, 0x0B, 0x1000B, 0x1001D}},
      {"one-touch Shift latches for one key", 0, 1,
       {{'D', kShiftKey}, {'U', kShiftKey}, {'D', k00}, {'U', k00}, {'D', k00}, {'U', k00}},
       {0x2A, 0x1A, 0x1001A, 0x1002A, 0x0B, 0x1000B}},
      {"one-touch Shift twice cancels", 0, 1,
       {{'D', kShiftKey}, {'U', kShiftKey}, {'D', kShiftKey}, {'U', kShiftKey}, {'D', k00},
        {'U', k00}},
       {0x2A, 0x1002A, 0x0B, 0x1000B}},
      {"one-touch Ctrl, Alt, key", 0, 1,
       {{'D', kCtrlKey}, {'U', kCtrlKey}, {'D', kAltKey}, {'U', kAltKey}, {'D', k00},
        {'U', k00}},
       {0x1D, 0x38, 0x0B, 0x1000B, 0x10038, 0x1001D}},
      {"one-touch Alt twice cancels", 0, 1,
       {{'D', kAltKey}, {'U', kAltKey}, {'D', kAltKey}, {'D', k00}, {'U', k00}},
       {0x38, 0x10038, 0x0B, 0x1000B}},
      {"vacant key", 0, 1, {{'D', kVac}, {'U', kVac}}, {}},
      {"release all lets go of a latched modifier", 0, 1, {{'D', kCtrlKey}, {'R', 0}},
       {0x1D, 0x1001D}},
      {"release all, last pressed first", 0, 0,
       {{'D', kShiftKey}, {'D', kRight}, {'R', 0}},
       {0x2A, 0x2004D, 0x3004D, 0x1002A}},
  };
  for (const Case& c : cases) {
    Recorder out;
    CKeyConverter conv(out);
    EXPECT_EQ(conv.Rebuild(builtin_table(c.table), c.one_touch, 250, 30, us(), 16), "");
    for (Event e : c.events) {
      if (e.what == 'D') conv.KeyDown(e.key);
      if (e.what == 'U') conv.KeyUp(e.key);
      if (e.what == 'R') conv.ReleaseAll();
    }
    EXPECT_EQ(out.words, c.words) << c.name;
  }
}

TEST(Conversion, CodeWordForms) {
  KeyTable table = builtin_table(0);
  table[100] = {0, 0x0003, 0x0F00};  // Ctrl+C; BIOS Shift+Tab
  table[101] = {0, 0x1DE1, 0x0041};  // E1 prefix; 'A'
  table[102] = {0, 0x0040, 0x007E};  // '@', '~'
  table[103] = {7, 0x0030, 0x0030};  // a type without meaning
  struct {
    int key, variant;
    uint8_t scan, flags;
  } cells[] = {
      {k00, 0, 0x0B, 0},  {k00, 1, 0x1A, 0x10},          // '0', '{'
      {15, 0, 0x0E, 0},   {15, 1, 0x0E, 0x10},           // 0EFE, 0EFF raw
      {18, 0, 0x53, 0x02}, {18, 1, 0x3E, 0},             // 53E0 E0 Delete, 3E00 F4
      {24, 0, 0x4F, 0},   {24, 1, 0x47, 0},              // 4F00 End, 4700 Home
      {29, 1, 0x44, 0x10},                               // 5D00 Shift+F10
      {40, 0, 0x57, 0},   {40, 1, 0x57, 0x10},           // 8500 F11, 8700 Shift+F11
      {41, 0, 0x3B, 0},   {41, 1, 0x3B, 0x10},           // 3B00 F1, 5400 Shift+F1
      {55, 0, 0x58, 0},   {55, 1, 0x58, 0x10},           // 8600 F12, 8800 Shift+F12
      {kShiftKey, 0, 0x2A, 0}, {kCtrlKey, 1, 0x1D, 0}, {kAltKey, 0, 0x38, 0},
      {100, 0, 0x2E, 0x20}, {100, 1, 0x0F, 0x10},
      {101, 0, 0x1D, 0x04}, {101, 1, 0x1E, 0x10},
      {102, 0, 0x03, 0x10}, {102, 1, 0x29, 0x10},
      {103, 0, 0, 0},     {kVac, 0, 0, 0},
  };
  Recorder out;
  CKeyConverter conv(out);
  conv.Rebuild(table, 1, 250, 30, us(), 16);
  for (auto c : cells) {
    EXPECT_EQ(conv.scan(c.key, c.variant), c.scan) << c.key << "/" << c.variant;
    EXPECT_EQ(conv.flags(c.key, c.variant), c.flags) << c.key << "/" << c.variant;
  }
  conv.KeyDown(100);
  conv.KeyUp(100);
  EXPECT_EQ(out.words, (std::vector<uint32_t>{0x1D, 0x2E, 0x1002E, 0x1001D})) << "Ctrl+C";
}

TEST(Conversion, CharactersTheLayoutLacks) {
  KeyTable table = builtin_table(0);
  table[100] = {0, 0x0003, 0x0003};  // Ctrl+C, hidden below: no Ctrl either
  HidingLayout layout("0{a;\x03");
  Recorder out;
  CKeyConverter conv(out);
  std::string skipped;
  std::string messages = conv.Rebuild(table, 0, 250, 30, layout, 16, &skipped);
  // '0' (KEY_00) is listed, '{' and ';' are punctuation, 'a' is in no table entry.
  EXPECT_EQ(messages, "Couldn't convert: KEY_00, Data = 0x0030\n");
  EXPECT_EQ(skipped,
            "Couldn't convert: KEY_00, Data = 0x007b\n"
            "Couldn't convert: KEY_16, Data = 0x003b\n"
            "Couldn't convert: KEY_c4, Data = 0x0003\n"
            "Couldn't convert: KEY_c4, Data = 0x0003\n");
  EXPECT_EQ(conv.flags(k00, 0), kFlagNone);
  EXPECT_EQ(conv.flags(14, 0), kFlagNone);  // ';'
  conv.KeyDown(k00);
  conv.KeyUp(k00);
  conv.KeyDown(100);
  conv.KeyUp(100);
  EXPECT_TRUE(out.words.empty());
  // With the MDI Shift down, the same key types '{', which is hidden too: only the Shift moves.
  conv.KeyDown(kShiftKey);
  conv.KeyDown(k00);
  conv.KeyUp(k00);
  conv.KeyUp(kShiftKey);
  EXPECT_EQ(out.words, (std::vector<uint32_t>{0x2A, 0x1002A}));
}

// Holds KEY_00 from tick 0 for `ticks` ticks and returns the ticks on which it repeated.
std::vector<int> repeat_ticks(int32_t delay, int32_t rate, int period, int ticks) {
  Recorder out;
  CKeyConverter conv(out);
  conv.Rebuild(builtin_table(0), 0, delay, rate, us(), period);
  std::vector<int> at;
  conv.KeyDown(k00);
  for (int t = 0; t < ticks; ++t) {
    size_t before = out.words.size();
    conv.RepeatStep();
    for (size_t i = before; i < out.words.size(); ++i) {
      EXPECT_EQ(out.words[i], 0x0Bu);
      at.push_back(t);
    }
  }
  conv.KeyUp(k00);
  size_t after_release = out.words.size();
  for (int t = 0; t < 100; ++t) conv.RepeatStep();
  EXPECT_EQ(out.words.size(), after_release) << "no repeat after the break";
  return at;
}

TEST(Repeat, TimingAndClamps) {
  std::vector<int> at = repeat_ticks(250, 30, 16, 200);
  ASSERT_GE(at.size(), 6u);
  EXPECT_EQ(std::vector<int>(at.begin(), at.begin() + 5), (std::vector<int>{17, 21, 24, 27, 30}));
  std::set<int> gaps;
  for (size_t i = 1; i < at.size(); ++i) gaps.insert(at[i] - at[i - 1]);
  EXPECT_EQ(gaps, (std::set<int>{3, 4}));

  EXPECT_EQ(repeat_ticks(5000, 30, 16, 70).front(), 64) << "delay used as 1000 ms";
  EXPECT_EQ(repeat_ticks(100, 30, 16, 30).front(), 17) << "delay used as 250 ms";
  for (int32_t rate : {0, -3}) {
    std::vector<int> slow = repeat_ticks(250, rate, 16, 200);
    ASSERT_EQ(slow.size(), 3u) << rate;
    EXPECT_EQ(slow[1] - slow[0], 64) << "1 per second";
  }
  EXPECT_EQ(repeat_ticks(250, 100, 16, 200), at) << "rate used as 30";
}

TEST(Repeat, OnlyTheKeysOwnMakeRepeats) {
  KeyTable table = builtin_table(0);
  table[100] = {0, 0x0003, 0x0003};  // Ctrl+C
  Recorder out;
  CKeyConverter conv(out);
  conv.Rebuild(table, 0, 250, 30, us(), 16);
  conv.KeyDown(100);
  for (int t = 0; t < 18; ++t) conv.RepeatStep();
  EXPECT_EQ(out.words, (std::vector<uint32_t>{0x1D, 0x2E, 0x2E}));
  conv.KeyUp(100);
  for (int t = 0; t < 40; ++t) conv.RepeatStep();
  EXPECT_EQ(out.words, (std::vector<uint32_t>{0x1D, 0x2E, 0x2E, 0x1002E, 0x1001D}));
}

TEST(Repeat, MdiShiftHeldAloneRepeatsTheShift) {
  Recorder out;
  CKeyConverter conv(out);
  conv.Rebuild(builtin_table(0), 0, 250, 30, us(), 16);
  conv.KeyDown(kShiftKey);
  for (int t = 0; t < 18; ++t) conv.RepeatStep();
  EXPECT_EQ(out.words, (std::vector<uint32_t>{0x2A, 0x2A}));
}

}  // namespace
}  // namespace vorkey
