#include "keyservice/key_service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "platform/prompter.h"

namespace vorkey {
namespace {

struct Recorder : WordSink {
  void Send(uint32_t word) override { words.push_back(word); }
  std::vector<uint32_t> take() { return std::exchange(words, {}); }
  std::vector<uint32_t> words;
};

// The CNC's key bitmap as the test sets it.
struct FakeSource : KeySource {
  bool ReadKeys(std::array<uint8_t, 32>& bitmap, int& len) override {
    if (fail) {
      bitmap.fill(0xA5);  // whatever a failed read leaves behind is not looked at
      return false;
    }
    bitmap = keys;
    len = length;
    return true;
  }
  void SetDoubleRequest(bool on) override { double_request = on; }
  std::array<uint8_t, 32> keys{};
  int length = 12;
  bool fail = false;
  bool double_request = false;
};

class KeyServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vorkey-service-XXXXXX";
    dir_ = mkdtemp(pattern);
    moxel::set_prompter(&prompter_);
    event_ = create_change_event(dir_);
    ASSERT_TRUE(event_);
  }
  void TearDown() override {
    moxel::set_prompter(nullptr);
    std::filesystem::remove_all(dir_);
  }
  void settings(const std::string& values) {
    std::ofstream(dir_ / "vorkey.conf") << "[VORKEY]\n" << values;
  }
  std::unique_ptr<CKeyService> start(bool watch_layout = false) {
    auto service = std::make_unique<CKeyService>(
        source_, out_, event_.get(),
        CKeyService::Options{16, watch_layout, dir_ / "vorkey.conf"});
    service->ReloadSettings();
    return service;
  }
  void press(int key) { source_.keys[key / 8] |= 1 << (key % 8); }
  void release(int key) { source_.keys[key / 8] &= ~(1 << (key % 8)); }

  std::filesystem::path dir_;
  moxel::ScriptedPrompter prompter_;
  std::unique_ptr<moxel::NamedEvent> event_;
  FakeSource source_;
  Recorder out_;
};

TEST_F(KeyServiceTest, TicksTurnBitmapChangesIntoWords) {
  auto service = start();
  EXPECT_TRUE(source_.double_request) << "keyboard type 0";
  press(0);
  press(22);  // right arrow, in the same tick: byte order, then bit order
  service->OnTimerTick();
  EXPECT_EQ(out_.take(), (std::vector<uint32_t>{0x0B, 0x2004D}));
  service->OnTimerTick();
  EXPECT_TRUE(out_.take().empty());
  release(0);
  release(22);
  service->OnTimerTick();
  EXPECT_EQ(out_.take(), (std::vector<uint32_t>{0x1000B, 0x3004D}));
  EXPECT_TRUE(prompter_.shown().empty());
}

TEST_F(KeyServiceTest, ChangeEventRebuildsOnTheNextTick) {
  std::ofstream(dir_ / "keys.def") << "[VOR-KEY]\nKEY_14 = 0 , 3B00 , 5400\n";
  auto service = start();
  press(12);  // vacant in table 0
  service->OnTimerTick();
  release(12);
  service->OnTimerTick();
  EXPECT_TRUE(out_.take().empty());

  settings("DefaultTable=2\nOneTouchShift=0\nDefinitionFile=" + (dir_ / "keys.def").string() +
           "\n");
  service->OnTimerTick();
  EXPECT_TRUE(source_.double_request) << "not yet signalled";
  ASSERT_TRUE(signal_change_event(dir_));
  press(12);
  service->OnTimerTick();
  EXPECT_FALSE(source_.double_request);
  EXPECT_FALSE(event_->is_set());
  release(12);
  service->OnTimerTick();
  EXPECT_EQ(out_.take(), (std::vector<uint32_t>{0x3B, 0x1003B})) << "F1 from the file";
}

TEST_F(KeyServiceTest, FailedReadReleasesHeldAndLatchedKeys) {
  auto service = start();  // one-touch on
  press(30);               // Ctrl: latched
  service->OnTimerTick();
  release(30);
  service->OnTimerTick();
  press(0);
  press(90);  // byte 11
  service->OnTimerTick();
  EXPECT_EQ(out_.take(), (std::vector<uint32_t>{0x1D, 0x0B}));
  source_.fail = true;
  service->OnTimerTick();
  EXPECT_EQ(out_.take(), (std::vector<uint32_t>{0x1000B, 0x1001D}));
  for (int t = 0; t < 50; ++t) service->OnTimerTick();
  EXPECT_TRUE(out_.take().empty()) << "nothing repeats while the link is down";
  source_.fail = false;
  service->OnTimerTick();
  EXPECT_EQ(out_.take(), (std::vector<uint32_t>{0x0B})) << "the key still held comes back";
}

TEST_F(KeyServiceTest, BytesBeyondAShorterLengthKeepTheirState) {
  std::ofstream(dir_ / "keys.def") << "[VOR-KEY]\nKEY_B0=0,41,41\n";
  settings("OneTouchShift=0\nDefinitionFile=" + (dir_ / "keys.def").string() + "\n");
  auto service = start();
  press(88);  // byte 11: 'A'
  service->OnTimerTick();
  EXPECT_EQ(out_.take(), (std::vector<uint32_t>{0x2A, 0x1E}));
  source_.length = 10;
  release(88);
  service->OnTimerTick();
  EXPECT_TRUE(out_.take().empty());
  source_.length = 12;
  service->OnTimerTick();
  EXPECT_EQ(out_.take(), (std::vector<uint32_t>{0x1001E, 0x1002A}));
}

TEST_F(KeyServiceTest, LayoutValueIsWatchedWithinHalfASecond) {
  settings("OneTouchShift=0\n");
  auto service = start(true);
  EXPECT_EQ(service->layout_name(), "us");
  settings("OneTouchShift=0\nLayout=de\n");
  int ticks = 0;
  while (service->layout_name() != "de" && ticks < 100) {
    service->OnTimerTick();
    ++ticks;
  }
  EXPECT_LE(ticks, 32) << "31 ticks of 16 ms";
  press(62);  // 'Z'
  service->OnTimerTick();
  EXPECT_EQ(out_.take(), (std::vector<uint32_t>{0x2A, 0x15}));
  EXPECT_TRUE(prompter_.shown().empty());
}

TEST_F(KeyServiceTest, MessagesOfARebuildComeInOneBox) {
  std::ofstream(dir_ / "keys.def") << "[VOR-KEY]\nKEY_B0=0,E9,E9\nKEY_B1=0,00E9,0041\n";
  settings("Layout=qwertz-nowhere\nDefinitionFile=" + (dir_ / "keys.def").string() + "\n");
  auto service = start(true);
  for (int t = 0; t < 40; ++t) service->OnTimerTick();  // the watch finds nothing new
  const std::vector<moxel::ScriptedPrompter::Shown> shown = prompter_.shown();
  ASSERT_EQ(shown.size(), 1u);
  const auto& box = shown[0];
  EXPECT_EQ(box.caption, "VORKEY service");
  EXPECT_EQ(box.icon, moxel::Icon::stop);
  EXPECT_NE(box.text.find("Couldn't load the keyboard layout \"qwertz-nowhere\""),
            std::string::npos);
  // e-acute is not a letter to the message (punctuation rule), so only the layout is reported.
  EXPECT_EQ(box.text.find("Couldn't convert"), std::string::npos);
  press(1);  // '1' through us
  service->OnTimerTick();
  EXPECT_EQ(out_.take(), (std::vector<uint32_t>{0x02}));
}

}  // namespace
}  // namespace vorkey
