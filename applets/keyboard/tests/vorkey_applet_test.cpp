// The applet library as the control panel sees it: loaded with dlopen and driven by CPlApplet.
#include <stdlib.h>

#include <QApplication>
#include <QDialog>
#include <QTabWidget>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "applets/common/tests/applet_library_test.h"

namespace {

namespace fs = std::filesystem;

struct Vorkey {
  static constexpr const char* path = VORKEY_LIBRARY;
};
using VorkeyApplet = moxel::test::AppletLibraryTest<Vorkey>;

TEST_F(VorkeyApplet, AnswersEachMessage) { moxel::test::expect_one_applet_answers(proc_); }

TEST_F(VorkeyApplet, NewInquireFillsTheWholeRecord) {
  moxel::test::expect_description(proc_, 132, "MDI", "MOXEL MDI Keyboard");
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
