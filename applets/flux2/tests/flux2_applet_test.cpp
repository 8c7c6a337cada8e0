// The applet library as the control panel sees it: loaded with dlopen and driven by CPlApplet.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QComboBox>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <fstream>
#include <functional>
#include <cstring>
#include <filesystem>

#include "applets/common/tests/applet_library_test.h"

namespace {

struct Flux2 {
  static constexpr const char* path = FLUX2_LIBRARY;
};
using Flux2Applet = moxel::test::AppletLibraryTest<Flux2>;

TEST_F(Flux2Applet, AnswersEachMessage) { moxel::test::expect_one_applet_answers(proc_); }

TEST_F(Flux2Applet, NewInquireFillsTheWholeRecord) {
  moxel::test::expect_description(proc_, 130, "FLUX", "MOXEL FLUX Type-2");
}

TEST_F(Flux2Applet, DoubleClickRunsTheMainDialogModally) {
  char pattern[] = "/tmp/flux2-applet-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  qputenv("MOXEL_SYSCONFDIR", pattern);
  QString seen_title;
  int seen_rows = -1;
  QTimer::singleShot(0, [&] {
    auto* dlg = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!dlg) return;
    seen_title = dlg->windowTitle();
    if (auto* list = dlg->findChild<QListWidget*>("nodeList")) seen_rows = list->count();
    dlg->reject();
  });
  QTimer guard;  // ends the dialog even if the check above did not find it
  QObject::connect(&guard, &QTimer::timeout, [] {
    if (auto* w = QApplication::activeModalWidget()) w->close();
  });
  guard.start(3000);
  EXPECT_EQ(proc_(nullptr, CPL_DBLCLK, 0, 0), 0);
  EXPECT_EQ(seen_title, "FLUX");
  EXPECT_EQ(seen_rows, 8);
  // Nothing was changed, so nothing was written.
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(pattern) / "lorand.conf"));
  qunsetenv("MOXEL_SYSCONFDIR");
  std::filesystem::remove_all(pattern);
}

// Waits, inside whatever modal loop runs, for a modal window that `match` accepts, then acts on
// it. Each wait has its own timer, so a wait may start the next one before it blocks in a dialog.
void when_modal(std::function<bool(QWidget*)> match, std::function<void(QWidget*)> act) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, match, act] {
    QWidget* w = QApplication::activeModalWidget();
    if (!w || !match(w)) return;
    timer->stop();
    timer->deleteLater();
    act(w);
  });
  timer->start();
}

bool titled(QWidget* w, const char* title) { return w->windowTitle() == title; }

QPushButton* button(QWidget* w, const QString& text) {
  for (auto* b : w->findChildren<QPushButton*>())
    if (b->text() == text) return b;
  return nullptr;
}

TEST_F(Flux2Applet, AChangeEndsWithTheRestartQuestionInARealMessageBox) {
  char pattern[] = "/tmp/flux2-applet-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::filesystem::path conf = std::filesystem::path(pattern) / "lorand.conf";
  std::ofstream(conf) << "[Parameters]\nIoPortAddress3=0x300\nCncType3=1\nNodeName3=Three\n";
  qputenv("MOXEL_SYSCONFDIR", pattern);

  QString question, caption, close_text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  bool default_is_no = false;
  auto is_main = [](QWidget* w) { return titled(w, "FLUX") && !qobject_cast<QMessageBox*>(w); };
  // Main dialog: node 3, "&Setting...".
  when_modal(is_main, [&](QWidget* main) {
    // Node dialog: "Disable", OK.
    when_modal([](QWidget* w) { return titled(w, "FLUX : Node 3"); }, [&](QWidget* node) {
      // Back in the main dialog, whose "Cancel" now reads "Close": close it.
      when_modal([&](QWidget* w) { return is_main(w) && button(w, "Close"); }, [&](QWidget* w) {
        close_text = "Close";
        // The question: No.
        when_modal([](QWidget* w) { return qobject_cast<QMessageBox*>(w) != nullptr; },
                   [&](QWidget* w) {
                     auto* box = qobject_cast<QMessageBox*>(w);
                     question = box->text();
                     caption = box->windowTitle();
                     icon = box->icon();
                     default_is_no = box->defaultButton() == box->button(QMessageBox::No);
                     box->button(QMessageBox::No)->click();
                   });
        button(w, "Close")->click();
      });
      node->findChild<QComboBox*>("ioPortAddress")->setCurrentIndex(0);
      button(node, "OK")->click();
    });
    main->findChild<QListWidget*>("nodeList")->setCurrentRow(3);
    button(main, "&Setting...")->click();
  });
  QTimer guard;  // a step that finds nothing must not hang the run
  QObject::connect(&guard, &QTimer::timeout, [] {
    if (auto* w = QApplication::activeModalWidget()) w->close();
  });
  guard.start(10000);
  EXPECT_EQ(proc_(nullptr, CPL_DBLCLK, 0, 0), 0);

  EXPECT_EQ(close_text, "Close");
  EXPECT_EQ(caption, "FLUX");
  EXPECT_EQ(icon, QMessageBox::Warning);
  EXPECT_TRUE(default_is_no);
  EXPECT_EQ(question.toStdString(),
            "Your FLUX settings have changed.\r\n\r\nYou will need to exit and restart Windows NT "
            "so that the new setting can take effect.\r\n\r\nDo you want to restert your computer "
            "now?");
  std::ifstream in(conf);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("IoPortAddress3=0x0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("NodeName3=\n"), std::string::npos) << text;
  qunsetenv("MOXEL_SYSCONFDIR");
  std::filesystem::remove_all(pattern);
}

}  // namespace
