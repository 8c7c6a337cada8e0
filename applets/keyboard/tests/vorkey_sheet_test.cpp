// The sheet against its settings file: what it shows, what it stores at each close, the test box,
// a read-only configuration, definition files, and a running keyboard service that sees the change.
#include "applets/keyboard/vorkey_sheet.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QTest>
#include <fstream>
#include <sstream>

#include "applets/common/applet_support.h"
#include "keyservice/key_service.h"
#include "platform/prompter.h"

namespace vorkey_applet {
namespace {

namespace fs = std::filesystem;

class VorkeySheet : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vorkey-sheet-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    env_.file = dir_ / "vorkey.conf";
    env_.refusal = [this](const fs::path&) { return refusal_; };
    env_.signal = [this] { ++signals_; };
    env_.choose_file = [this](const std::string& initial) {
      initials_.push_back(initial);
      return chosen_;
    };
    moxel::set_prompter(&boxes_);
  }
  void TearDown() override {
    moxel::set_prompter(nullptr);
    fs::remove_all(dir_);
  }
  void write(const std::string& text) { std::ofstream(env_.file) << text; }
  std::string read() {
    std::ifstream in(env_.file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  vorkey::VorkeySettings stored() { return vorkey::read_settings(env_.file); }
  std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (const auto& b : boxes_.shown()) out.push_back(b.text);
    return out;
  }
  fs::path definition(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name) << text;
    return dir_ / name;
  }

  fs::path dir_;
  Environment env_;
  std::string refusal_;
  int signals_ = 0;
  std::optional<std::string> chosen_;
  std::vector<std::string> initials_;
  moxel::ScriptedPrompter boxes_;
};

TEST_F(VorkeySheet, ShowsEveryControlWithItsTextAndTheDefaults) {
  CVorkeySheet sheet(env_);
  EXPECT_EQ(sheet.windowTitle(), "MDI Keyboard");
  ASSERT_EQ(sheet.tabs()->count(), 2);
  EXPECT_EQ(sheet.tabs()->tabText(0), "General");
  EXPECT_EQ(sheet.tabs()->tabText(1), "Speed");
  EXPECT_EQ(sheet.tabs()->currentIndex(), 0);
  EXPECT_FALSE(sheet.read_only());
  EXPECT_FALSE(sheet.read_only_note()->isVisibleTo(&sheet));

  CGeneralPage* g = sheet.general();
  ASSERT_EQ(g->type_list()->count(), 3);
  EXPECT_EQ(g->type_list()->itemText(0), "Corvane A M");
  EXPECT_EQ(g->type_list()->itemText(1), "Corvane A T");
  EXPECT_EQ(g->type_list()->itemText(2), "Corvane B M/T");
  EXPECT_EQ(g->type_list()->currentIndex(), 0);
  EXPECT_EQ(g->path_edit()->text(), "");
  EXPECT_EQ(g->browse_button()->text(), "&Browse...");
  EXPECT_EQ(g->sticky_check()->text(), "&Use StickyKeys");
  EXPECT_TRUE(g->sticky_check()->isChecked());
  QStringList labels;
  for (auto* label : sheet.findChildren<QLabel*>()) labels << label->text();
  for (const char* text :
       {"MDI keyboard &type:", "Key definition &file:",
        "Use StickyKeys if you want to use Shift, Ctrl or Alt key by pressing one key at a time.",
        "Repeat &delay:", "Long", "Short", "&Repeat rate:", "Slow", "Fast",
        "Click here and hold down an MDI key to &test repeat rate:"})
    EXPECT_TRUE(labels.contains(text)) << text;
  auto* group = g->findChild<QGroupBox*>();
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->title(), "StickyKeys");

  CSpeedPage* s = sheet.speed();
  EXPECT_EQ(s->delay_bar()->minimum(), 1);
  EXPECT_EQ(s->delay_bar()->maximum(), 4);
  EXPECT_EQ(s->delay_bar()->value(), 4);  // 250 ms
  EXPECT_EQ(s->rate_bar()->minimum(), 1);
  EXPECT_EQ(s->rate_bar()->maximum(), 30);
  EXPECT_EQ(s->rate_bar()->value(), 30);
  EXPECT_EQ(s->test_box()->text(), "");
  // Opening writes nothing.
  EXPECT_FALSE(fs::exists(env_.file));
  EXPECT_EQ(signals_, 0);
}

TEST_F(VorkeySheet, TrackbarFormulas) {
  struct {
    int32_t delay;
    int position;
  } cases[] = {{250, 4}, {300, 4}, {499, 4}, {500, 3}, {750, 2}, {1000, 1}, {1250, 1},
               {0, 4},   {100, 4}, {5000, 1}, {-1, 1}};
  for (const auto& c : cases) EXPECT_EQ(delay_position(c.delay), c.position) << c.delay;
  for (int p = 1; p <= 4; ++p) EXPECT_EQ(delay_from_position(p), 1250 - 250 * p);
}

// What is stored, shown, and written back by OK without a change: stored values out of the
// controls' ranges are kept unless their control is moved.
TEST_F(VorkeySheet, OkWithoutChangesWritesBackWhatWasShown) {
  fs::path keys = definition("lathe.def", "[VOR-KEY]\nKEY_14 = 0, 3B00, 5400\n");
  struct Case {
    std::string file;  // vorkey.conf, empty: none
    int delay_position, rate_position, type_index;
    std::string path;
    bool sticky;
    // stored after OK
    int32_t delay, rate;
    uint32_t table, one_touch;
  } cases[] = {
      {"", 4, 30, 0, "", true, 250, 30, 0, 1},
      {"[VORKEY]\nDelayTime=1000\nRepeatRate=5\nDefaultTable=2\nDefinitionFile=" + keys.string() +
           "\nOneTouchShift=0\n",
       1, 5, 2, keys.string(), false, 1000, 5, 2, 0},
      {"[VORKEY]\nDelayTime=300\nRepeatRate=0\nDefaultTable=1\n", 4, 1, 1, "", true, 300, 0, 1, 1},
      {"[VORKEY]\nDelayTime=100\nRepeatRate=99\nOneTouchShift=7\n", 4, 30, 0, "", true, 100, 99, 0,
       1},
      // A keyboard type not on the list shows none and is saved as -1, which the service reads
      // as table 0.
      {"[VORKEY]\nDefaultTable=5\n", 4, 30, -1, "", true, 250, 30, 0xFFFFFFFFu, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    fs::remove(env_.file);
    if (!c.file.empty()) write(c.file + "Layout=de\n");
    CVorkeySheet sheet(env_);
    EXPECT_EQ(sheet.speed()->delay_bar()->value(), c.delay_position);
    EXPECT_EQ(sheet.speed()->rate_bar()->value(), c.rate_position);
    EXPECT_EQ(sheet.general()->type_list()->currentIndex(), c.type_index);
    EXPECT_EQ(sheet.general()->path_edit()->text().toStdString(), c.path);
    EXPECT_EQ(sheet.general()->sticky_check()->isChecked(), c.sticky);
    int signals_before = signals_;
    sheet.ok_button()->click();
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
    vorkey::VorkeySettings back = stored();
    EXPECT_EQ(back.delay_time, c.delay);
    EXPECT_EQ(back.repeat_rate, c.rate);
    EXPECT_EQ(back.default_table, c.table);
    EXPECT_EQ(back.definition_file, c.path);
    EXPECT_EQ(back.one_touch_shift, c.one_touch);
    EXPECT_EQ(back.layout, c.file.empty() ? "us" : "de") << "Layout is not the applet's";
    EXPECT_EQ(signals_, signals_before + 1);
  }
  EXPECT_TRUE(boxes_.shown().empty()) << texts()[0];
}

TEST_F(VorkeySheet, ChangedControlsAreStoredAtOk) {
  write("[VORKEY]\nDelayTime=300\n");
  fs::path keys = definition("mill.def", "[vor-key]\nkey_14 = 0, 3b00, 5400\n");
  for (int position = 1; position <= 4; ++position) {
    CVorkeySheet sheet(env_);
    sheet.speed()->delay_bar()->setValue(position == 4 ? 3 : 4);  // a move, then the position
    sheet.speed()->delay_bar()->setValue(position);
    sheet.speed()->rate_bar()->setValue(position * 7);
    sheet.general()->type_list()->setCurrentIndex(position % 3);
    sheet.general()->path_edit()->setText(QString::fromStdString("  " + keys.string() + "\t "));
    sheet.general()->sticky_check()->setChecked(position % 2 == 0);
    sheet.ok_button()->click();
    vorkey::VorkeySettings back = stored();
    EXPECT_EQ(back.delay_time, 1250 - 250 * position);
    EXPECT_EQ(back.repeat_rate, position * 7);
    EXPECT_EQ(back.default_table, uint32_t(position % 3));
    EXPECT_EQ(back.definition_file, keys.string()) << "blanks around the path removed";
    EXPECT_EQ(back.one_touch_shift, position % 2 == 0 ? 1u : 0u);
  }
  EXPECT_TRUE(boxes_.shown().empty());
}

TEST_F(VorkeySheet, CancelStoresTheValuesReadAtTheStart) {
  write("; the lathe\n[VORKEY]\nDelayTime=300\nRepeatRate=12\nDefaultTable=1\n");
  CVorkeySheet sheet(env_);
  sheet.speed()->delay_bar()->setValue(1);
  sheet.speed()->rate_bar()->setValue(5);
  sheet.general()->type_list()->setCurrentIndex(2);
  sheet.reject();
  vorkey::VorkeySettings back = stored();
  EXPECT_EQ(back.delay_time, 300);
  EXPECT_EQ(back.repeat_rate, 12);
  EXPECT_EQ(back.default_table, 1u);
  EXPECT_EQ(back.one_touch_shift, 1u);
  EXPECT_EQ(signals_, 1);
  EXPECT_EQ(read().rfind("; the lathe\n", 0), 0u) << "comments kept";
}

// A file the store cannot parse is never replaced: the close says that nothing was saved, and the
// service is still told (it re-reads what is there).
TEST_F(VorkeySheet, AFailedSaveIsShown) {
  write("[VORKEY\nDelayTime=750\n");
  const std::string before = read();
  CVorkeySheet sheet(env_);
  sheet.speed()->rate_bar()->setValue(5);
  sheet.ok_button()->click();
  EXPECT_EQ(read(), before);
  ASSERT_EQ(boxes_.shown().size(), 1u);
  EXPECT_EQ(boxes_.shown()[0].text.rfind("The MDI keyboard settings could not be saved.\n\n", 0),
            0u)
      << boxes_.shown()[0].text;
  EXPECT_NE(boxes_.shown()[0].text.find("vorkey.conf"), std::string::npos);
  EXPECT_EQ(signals_, 1);
}

TEST_F(VorkeySheet, DefinitionFileAtOk) {
  fs::path broken = definition("broken.def", "; mill\n[VOR-KEY]\nKEY_14 = 0, 3B00, 5400\n"
                                             "KEY_15 = 0, 3C0O, 5500\n");
  struct Case {
    std::string path;
    bool closes;
    std::string stored;
    std::vector<std::string> messages;
  } cases[] = {
      // Blanks only: the empty path, no message.
      {"   ", true, "", {}},
      // Cannot be opened: said, and stored all the same.
      {(dir_ / "gone.def").string(), true, (dir_ / "gone.def").string(),
       {"Key definition file \"" + (dir_ / "gone.def").string() + "\" not found."}},
      {dir_.string(), true, dir_.string(),
       {"Key definition file \"" + dir_.string() + "\" not found."}},
      // Read as the service would misread it: refused with the line, the sheet stays open.
      {broken.string(), false, "/old.def",
       {"Key definition file \"" + broken.string() +
        "\" cannot be used.\n\nLine 4: KEY_15 = 0, 3C0O, 5500\nThe unshifted code runs into "
        "\"O\"."}},
      {"/tmp/a ;b.def", false, "/old.def",
       {"Key definition file \"/tmp/a ;b.def\" not found.",
        "Key definition file \"/tmp/a ;b.def\" cannot be stored: the path holds a blank followed "
        "by \";\"."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    write("[VORKEY]\nDefinitionFile=/old.def\nDelayTime=500\n");
    boxes_.clear();
    CVorkeySheet sheet(env_);
    sheet.show();
    sheet.tabs()->setCurrentIndex(1);
    sheet.speed()->delay_bar()->setValue(1);
    sheet.general()->path_edit()->setText(QString::fromStdString(c.path));
    sheet.ok_button()->click();
    EXPECT_EQ(sheet.isVisible(), !c.closes);
    EXPECT_EQ(texts(), c.messages);
    for (const auto& shown : boxes_.shown()) {
      EXPECT_EQ(shown.caption, "MDI Keyboard");
      EXPECT_EQ(shown.icon, moxel::Icon::stop);
    }
    EXPECT_EQ(stored().definition_file, c.stored);
    EXPECT_EQ(stored().delay_time, c.closes ? 1000 : 500) << "a refused OK stores nothing";
    if (!c.closes) {
      EXPECT_EQ(sheet.tabs()->currentWidget(), sheet.general());
    }
    sheet.reject();
  }
}

TEST_F(VorkeySheet, BrowseTakesOnlyAFileTheServiceReadsAsWritten) {
  fs::path good = definition("good.def", "[VOR-KEY]\nKEY_14 = 0, 3B00, 5400\n");
  fs::path empty = definition("empty.def", "; nothing here\n");
  write("[VORKEY]\nDefinitionFile=/keys/old.def\n");
  CVorkeySheet sheet(env_);
  CGeneralPage* g = sheet.general();

  chosen_ = std::nullopt;  // the dialog cancelled
  g->browse_button()->click();
  EXPECT_EQ(g->path_edit()->text(), "/keys/old.def");
  ASSERT_EQ(initials_.size(), 1u);
  EXPECT_EQ(initials_[0], "/keys/old.def") << "the current path is the initial file name";

  chosen_ = empty.string();
  g->browse_button()->click();
  EXPECT_EQ(g->path_edit()->text(), "/keys/old.def");
  EXPECT_EQ(texts(), std::vector<std::string>{"Key definition file \"" + empty.string() +
                                              "\" cannot be used: there is no [VOR-KEY] line, so "
                                              "the file changes no key."});

  chosen_ = good.string();
  g->browse_button()->click();
  EXPECT_EQ(g->path_edit()->text().toStdString(), good.string());
  EXPECT_EQ(boxes_.shown().size(), 1u);
  sheet.ok_button()->click();
  EXPECT_EQ(stored().definition_file, good.string());
}

TEST_F(VorkeySheet, ReadOnlyConfigurationShowsWhyAndWritesNothing) {
  write("[VORKEY]\nDelayTime=750\nRepeatRate=10\n");
  const std::string before = read();
  refusal_ = "only root may change the settings in /etc/moxel";
  CVorkeySheet sheet(env_);
  EXPECT_TRUE(sheet.read_only());
  EXPECT_TRUE(sheet.read_only_note()->isVisibleTo(&sheet));
  EXPECT_EQ(sheet.read_only_note()->text(),
            "You can view these settings but not change them: only root may change the settings "
            "in /etc/moxel.");
  EXPECT_FALSE(sheet.general()->type_list()->isEnabled());
  EXPECT_FALSE(sheet.general()->path_edit()->isEnabled());
  EXPECT_FALSE(sheet.general()->browse_button()->isEnabled());
  EXPECT_FALSE(sheet.general()->sticky_check()->isEnabled());
  EXPECT_FALSE(sheet.speed()->delay_bar()->isEnabled());
  EXPECT_FALSE(sheet.speed()->rate_bar()->isEnabled());
  EXPECT_TRUE(sheet.speed()->test_box()->isEnabled()) << "the stored settings can still be tried";
  EXPECT_EQ(sheet.speed()->delay_bar()->value(), 2);

  sheet.show();
  QApplication::setActiveWindow(&sheet);
  sheet.tabs()->setCurrentIndex(1);
  sheet.speed()->test_box()->setFocus();
  QApplication::processEvents();
  sheet.ok_button()->click();
  EXPECT_EQ(read(), before);
  EXPECT_EQ(signals_, 2) << "the test box and the close still tell the service";
  EXPECT_TRUE(boxes_.shown().empty());
}

// The reason a user sees, worked out for a user who may not write: run in a child process that
// has become "nobody" (only possible when the tests run as root).
TEST_F(VorkeySheet, RefusalSaysWhoMayChangeTheSettings) {
  EXPECT_EQ(moxel::config_write_refusal(env_.file), "");
  EXPECT_EQ(moxel::config_write_refusal(dir_ / "missing" / "vorkey.conf"),
            (dir_ / "missing").string() + " cannot be used (No such file or directory)");
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  fs::path open_dir = dir_ / "open";
  fs::create_directory(open_dir);
  ::chmod(dir_.c_str(), 0755);
  ::chmod(open_dir.c_str(), 0777);
  std::ofstream(open_dir / "vorkey.conf") << "[VORKEY]\n";
  ::chmod((open_dir / "vorkey.conf").c_str(), 0444);
  auto as_nobody = [](const fs::path& file) {
    int fds[2];
    if (pipe(fds) != 0) return std::string("pipe");
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
      std::string why = moxel::config_write_refusal(file);
      ssize_t n = ::write(fds[1], why.data(), why.size());
      _exit(n == ssize_t(why.size()) ? 0 : 3);
    }
    close(fds[1]);
    std::string out;
    char buffer[256];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : "child failed";
  };
  EXPECT_EQ(as_nobody(env_.file), "only root may change the settings in " + dir_.string());
  ::chmod(dir_.c_str(), 0775);
  EXPECT_EQ(as_nobody(env_.file), "only root and the members of group \"root\" may change the "
                                  "settings in " + dir_.string());
  EXPECT_EQ(as_nobody(open_dir / "vorkey.conf"),
            (open_dir / "vorkey.conf").string() + " is write-protected");
}

// ---- the test box with a running keyboard service ----

struct TickRecorder : vorkey::WordSink {
  void Send(uint32_t word) override { sent.push_back({tick, word}); }
  int tick = 0;
  std::vector<std::pair<int, uint32_t>> sent;
};

struct HeldKeys : vorkey::KeySource {
  bool ReadKeys(std::array<uint8_t, 32>& bitmap, int& length) override {
    bitmap = keys;
    length = 12;
    return true;
  }
  void SetDoubleRequest(bool) override {}
  std::array<uint8_t, 32> keys{};
};

class VorkeySheetWithService : public VorkeySheet {
 protected:
  void SetUp() override {
    VorkeySheet::SetUp();
    // The applet's own signal, through the run folder, to the event the service created there.
    setenv("MOXEL_RUNDIR", dir_.c_str(), 1);
    env_.signal = [this] {
      ++signals_;
      vorkey::signal_change_event();
    };
    event_ = vorkey::create_change_event();
    ASSERT_TRUE(event_);
    service_ = std::make_unique<vorkey::CKeyService>(
        keys_, out_, event_.get(), vorkey::CKeyService::Options{16, false, env_.file});
    service_->ReloadSettings();
  }
  void TearDown() override {
    service_.reset();
    event_.reset();
    unsetenv("MOXEL_RUNDIR");
    VorkeySheet::TearDown();
  }
  void tick() {
    service_->OnTimerTick();
    ++out_.tick;
  }
  // Holds key 0 ("0") for `ticks` ticks and returns the ticks, counted from the press, at which
  // its make word was sent.
  std::vector<int> hold_key(int ticks) {
    out_.sent.clear();
    int start = out_.tick;
    keys_.keys[0] = 1;
    for (int i = 0; i < ticks; ++i) tick();
    keys_.keys[0] = 0;
    tick();
    std::vector<int> makes;
    for (auto [at, word] : out_.sent)
      if (word == 0x0B) makes.push_back(at - start);
    return makes;
  }
  static std::vector<int> gaps(const std::vector<int>& makes) {
    std::vector<int> out;
    for (size_t i = 1; i < makes.size(); ++i) out.push_back(makes[i] - makes[i - 1]);
    return out;
  }

  HeldKeys keys_;
  TickRecorder out_;
  std::unique_ptr<moxel::NamedEvent> event_;
  std::unique_ptr<vorkey::CKeyService> service_;
};

TEST_F(VorkeySheetWithService, TestBoxTriesTheRepeatSettingsAndCancelUndoesThem) {
  // The service starts with the defaults: 250 ms, then 30 per second (every 2 or 3 ticks).
  std::vector<int> before = gaps(hold_key(40));
  ASSERT_GE(before.size(), 5u);
  // The repeater counts its interval down a whole tick at a time, so a gap is up to two ticks
  // longer than interval / period.
  for (int gap : std::vector<int>(before.begin() + 1, before.end())) {
    EXPECT_GE(gap, 2);
    EXPECT_LE(gap, 4);
  }

  CVorkeySheet sheet(env_);
  sheet.show();
  QApplication::setActiveWindow(&sheet);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&sheet));
  sheet.tabs()->setCurrentIndex(1);
  sheet.speed()->delay_bar()->setValue(1);  // 1000 ms
  sheet.speed()->rate_bar()->setValue(5);   // 5 per second
  sheet.speed()->test_box()->setText("typed before");
  sheet.speed()->test_box()->setFocus();
  QApplication::processEvents();
  EXPECT_EQ(sheet.speed()->test_box()->text(), "") << "the box is emptied for the test";
  EXPECT_EQ(signals_, 1);
  EXPECT_EQ(stored().delay_time, 1000);
  EXPECT_EQ(stored().repeat_rate, 5);
  EXPECT_EQ(stored().definition_file, "") << "only delay and rate are stored for the test";

  // One tick takes the change in: the next press repeats after 1000 ms, then every 200 ms.
  EXPECT_TRUE(event_->is_set());
  tick();
  EXPECT_FALSE(event_->is_set());
  std::vector<int> makes = hold_key(120);
  ASSERT_GE(makes.size(), 3u);
  EXPECT_GE(makes[1] - makes[0], 1000 / 16);
  EXPECT_LE(makes[1] - makes[0], 1000 / 16 + 3);
  for (int gap : gaps(std::vector<int>(makes.begin() + 1, makes.end()))) {
    EXPECT_GE(gap, 12);
    EXPECT_LE(gap, 14);
  }

  // Cancel stores the values read at the start again, and the service goes back to them.
  sheet.reject();
  tick();
  std::vector<int> after = gaps(hold_key(40));
  EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace vorkey_applet
