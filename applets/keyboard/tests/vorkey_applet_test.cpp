// The applet library as the control panel sees it: loaded with dlopen and driven by CPlApplet.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QDialog>
#include <QTabWidget>
#include <QTimer>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "applets/common/cpl.h"

namespace {

namespace fs = std::filesystem;

class VorkeyApplet : public testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(VORKEY_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    proc_ = reinterpret_cast<APPLET_PROC>(dlsym(handle_, "CPlApplet"));
    ASSERT_NE(proc_, nullptr);
  }
  void TearDown() override {
    if (handle_) dlclose(handle_);
  }
  void* handle_ = nullptr;
  APPLET_PROC proc_ = nullptr;
};

TEST_F(VorkeyApplet, AnswersEachMessage) {
  struct Case {
    uint32_t message;
    int32_t answer;
  };
  const Case cases[] = {{CPL_INIT, 1}, {CPL_GETCOUNT, 1}, {CPL_INQUIRE, 0}, {CPL_SELECT, 1},
                        {CPL_STOP, 1}, {CPL_EXIT, 0},     {0, 1},           {9, 1},
                        {0x7FFF, 1}};
  for (const auto& c : cases) EXPECT_EQ(proc_(nullptr, c.message, 0, 0), c.answer) << c.message;
}

TEST_F(VorkeyApplet, NewInquireFillsTheWholeRecord) {
  NEWCPLINFO info;
  std::memset(&info, 0xAB, sizeof info);
  EXPECT_EQ(proc_(nullptr, CPL_NEWINQUIRE, 0, reinterpret_cast<intptr_t>(&info)), 0);
  EXPECT_EQ(info.dwSize, 244u);
  EXPECT_EQ(info.dwFlags, 0u);
  EXPECT_EQ(info.dwHelpContext, 0u);
  EXPECT_EQ(info.lData, 0u);
  EXPECT_EQ(info.hIcon, 132u);
  EXPECT_STREQ(info.szName, "MDI");
  EXPECT_STREQ(info.szInfo, "MOXEL MDI Keyboard");
  EXPECT_STREQ(info.szHelpFile, "");
  EXPECT_EQ(info.szName[31], 0);
  EXPECT_EQ(info.szInfo[63], 0);
  EXPECT_EQ(info.szHelpFile[127], 0);
  EXPECT_EQ(proc_(nullptr, CPL_NEWINQUIRE, 0, 0), 0);
}

// A double click runs the sheet modally; closing it stores the values read at the start, and with
// no service running (no event in the run folder) that is all.
TEST_F(VorkeyApplet, DoubleClickRunsTheSheetModallyWithoutAService) {
  char pattern[] = "/tmp/vorkey-applet-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  fs::path dir = pattern;
  fs::create_directory(dir / "etc");
  fs::create_directory(dir / "run");
  std::ofstream(dir / "etc" / "vorkey.conf") << "[VORKEY]\nRepeatRate=12\nLayout=fr\n";
  setenv("MOXEL_SYSCONFDIR", (dir / "etc").c_str(), 1);
  setenv("MOXEL_RUNDIR", (dir / "run").c_str(), 1);
  QString title;
  QStringList tabs;
  QTimer::singleShot(0, [&] {
    auto* sheet = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!sheet) return;
    title = sheet->windowTitle();
    if (auto* t = sheet->findChild<QTabWidget*>())
      for (int i = 0; i < t->count(); ++i) tabs << t->tabText(i);
    sheet->reject();
  });
  QTimer guard;  // ends the sheet even if the step above did not find it
  QObject::connect(&guard, &QTimer::timeout, [] {
    if (auto* w = QApplication::activeModalWidget()) w->close();
  });
  guard.start(5000);
  EXPECT_EQ(proc_(nullptr, CPL_DBLCLK, 0, 0), 0);
  EXPECT_EQ(title, "MDI Keyboard");
  EXPECT_EQ(tabs, (QStringList{"General", "Speed"}));
  std::ifstream in(dir / "etc" / "vorkey.conf");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(),
            "[VORKEY]\nRepeatRate=12\nLayout=fr\nDelayTime=250\nDefaultTable=0\nDefinitionFile=\n"
            "OneTouchShift=1\n");
  EXPECT_TRUE(fs::is_empty(dir / "run")) << "no event is made when no service runs";
  unsetenv("MOXEL_SYSCONFDIR");
  unsetenv("MOXEL_RUNDIR");
  fs::remove_all(dir);
}

}  // namespace
