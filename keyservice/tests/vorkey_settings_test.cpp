#include "keyservice/vorkey_settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "platform/prompter.h"

namespace vorkey {
namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vorkey-settings-XXXXXX";
    dir_ = mkdtemp(pattern);
    file_ = dir_ / "vorkey.conf";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void write(const std::string& text) { std::ofstream(file_) << text; }
  std::filesystem::path dir_, file_;
};

TEST_F(SettingsTest, NoFileGivesTheDefaults) {
  VorkeySettings s = read_settings(file_);
  EXPECT_EQ(s.delay_time, 250);
  EXPECT_EQ(s.repeat_rate, 30);
  EXPECT_EQ(s.default_table, 0u);
  EXPECT_EQ(s.definition_file, "");
  EXPECT_EQ(s.one_touch_shift, 1u);
  EXPECT_EQ(s.layout, "us");
}

TEST_F(SettingsTest, ReadsEveryValueInAnyNumberFormAndKeepsDefaultsForBadOnes) {
  write("[vorkey]\ndelaytime=0x3E8\nRepeatRate=-2\nDefaultTable=4294967295\n"
        "DefinitionFile=/opt/keys.def\nOneTouchShift=0\nLayout=de\n[Other]\nDelayTime=500\n");
  VorkeySettings s = read_settings(file_);
  EXPECT_EQ(s.delay_time, 1000);
  EXPECT_EQ(s.repeat_rate, -2);
  EXPECT_EQ(s.default_table, 0xFFFFFFFFu);
  EXPECT_EQ(s.definition_file, "/opt/keys.def");
  EXPECT_EQ(s.one_touch_shift, 0u);
  EXPECT_EQ(s.layout, "de");

  write("[VORKEY]\nDelayTime=soon\nRepeatRate=\nLayout=\nOneTouchShift=0x1FFFFFFFF\n");
  s = read_settings(file_);
  EXPECT_EQ(s.delay_time, 250);
  EXPECT_EQ(s.repeat_rate, 30);
  EXPECT_EQ(s.layout, "us");
  EXPECT_EQ(s.one_touch_shift, 1u);
}

TEST_F(SettingsTest, WriteKeepsOtherValuesAndReadsBackTheSame) {
  write("# keyboard of the lathe\n[VORKEY]\nDelayTime=750\nSomethingElse=7\n");
  VorkeySettings s;
  s.delay_time = 500;
  s.repeat_rate = 12;
  s.default_table = 2;
  s.definition_file = "/etc/moxel/lathe.def";
  s.one_touch_shift = 0;
  s.layout = "fr";
  std::string error;
  ASSERT_TRUE(write_settings(s, file_, &error)) << error;
  VorkeySettings back = read_settings(file_);
  EXPECT_EQ(back.delay_time, 500);
  EXPECT_EQ(back.repeat_rate, 12);
  EXPECT_EQ(back.default_table, 2u);
  EXPECT_EQ(back.definition_file, "/etc/moxel/lathe.def");
  EXPECT_EQ(back.one_touch_shift, 0u);
  EXPECT_EQ(back.layout, "fr");
  std::ifstream in(file_);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(text.find("# keyboard of the lathe"), std::string::npos);
  EXPECT_NE(text.find("SomethingElse=7"), std::string::npos);
}

TEST_F(SettingsTest, WritesOnlyTheChosenValues) {
  write("[VORKEY]\nDelayTime=750\nLayout=de\nDefinitionFile=/old.def\n");
  VorkeySettings s;
  s.delay_time = 1000;
  s.repeat_rate = 5;
  s.definition_file = "/new.def";
  s.layout = "fr";
  ASSERT_TRUE(write_settings(s, file_, nullptr, kDelayTimeValue | kRepeatRateValue));
  VorkeySettings back = read_settings(file_);
  EXPECT_EQ(back.delay_time, 1000);
  EXPECT_EQ(back.repeat_rate, 5);
  EXPECT_EQ(back.definition_file, "/old.def");
  EXPECT_EQ(back.layout, "de");
  ASSERT_TRUE(write_settings(s, file_, nullptr, kAppletValues));
  back = read_settings(file_);
  EXPECT_EQ(back.definition_file, "/new.def");
  EXPECT_EQ(back.layout, "de") << "the applet's values leave Layout alone";
}

// A DefinitionFile the file cannot hold is refused before anything is written: a longer line would
// leave vorkey.conf unreadable, so every setting would fall back to its default.
TEST_F(SettingsTest, DefinitionFileThatWouldNotReadBackIsRefused) {
  write("[VORKEY]\nDelayTime=750\n");
  VorkeySettings s;
  s.definition_file = "/" + std::string(kMaxDefinitionFileBytes - 1, 'k');
  ASSERT_TRUE(write_settings(s, file_));
  EXPECT_EQ(read_settings(file_).definition_file, s.definition_file) << "the longest that fits";
  const std::string before = [&] {
    std::ifstream in(file_);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }();
  for (std::string bad : {s.definition_file + "k", std::string("/a ;b.def"),
                          std::string("/a\nDelayTime=1.def"), std::string(" /a.def")}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(storable_definition_file(bad).empty());
    s.definition_file = bad;
    s.delay_time = 1000;
    std::string error;
    EXPECT_FALSE(write_settings(s, file_, &error));
    EXPECT_NE(error.find("DefinitionFile"), std::string::npos) << error;
    std::ifstream in(file_);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), before);
  }
  EXPECT_EQ(storable_definition_file("/home/op/a;b c.def"), "");
}

TEST(SettingsRules, ClampsAndTableChoice) {
  struct {
    int32_t value;
    int delay, rate;
  } clamps[] = {{5000, 1000, 30}, {1000, 1000, 30}, {250, 250, 30}, {249, 250, 30},
                {100, 250, 30},   {30, 250, 30},    {1, 250, 1},    {0, 250, 1},
                {-1, 250, 1},     {-5000, 250, 1},  {600, 600, 30}, {15, 250, 15}};
  for (auto c : clamps) {
    EXPECT_EQ(clamped_delay_ms(c.value), c.delay) << c.value;
    EXPECT_EQ(clamped_repeat_rate(c.value), c.rate) << c.value;
  }
  struct {
    uint32_t value;
    int table;
    bool twice;
  } tables[] = {{0, 0, true}, {1, 1, true}, {2, 2, false}, {3, 0, false}, {5, 0, false},
                {0xFFFFFFFFu, 0, false}};
  for (auto t : tables) {
    EXPECT_EQ(builtin_table_index(t.value), t.table) << t.value;
    EXPECT_EQ(double_request(t.value), t.twice) << t.value;
  }
}

TEST_F(SettingsTest, ChangeEventReachesTheServiceAndFailureIsShown) {
  EXPECT_FALSE(signal_change_event(dir_)) << "no service: nothing to set";
  std::unique_ptr<moxel::NamedEvent> event = create_change_event(dir_);
  ASSERT_TRUE(event);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "MoxelVorkeyRegistoryChangeEvent.event"));
  EXPECT_TRUE(signal_change_event(dir_));
  EXPECT_TRUE(event->test_and_reset());

  moxel::ScriptedPrompter prompter;
  moxel::set_prompter(&prompter);
  EXPECT_FALSE(create_change_event("/proc/vorkey-none"));
  moxel::set_prompter(nullptr);
  ASSERT_EQ(prompter.shown().size(), 1u);
  EXPECT_EQ(prompter.shown()[0].caption, "VORKEY service");
  EXPECT_EQ(prompter.shown()[0].text.rfind("Failed to Create Event. (", 0), 0u);
  EXPECT_EQ(prompter.shown()[0].icon, moxel::Icon::stop);
}

}  // namespace
}  // namespace vorkey
