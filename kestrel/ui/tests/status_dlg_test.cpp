// The status window over a lorandd with simulated nodes in slots 0 and 2.
#include <gtest/gtest.h>

#include <QTest>

#include "kestrel/ui/kestrel_app.h"
#include "kestrel/ui/status_dlg.h"
#include "testsupport/test_daemon.h"

namespace {

TEST(StatusDlg, RowsPerSlotBusAndStatusForPresentNodesAndPopUpWrittenBack) {
  moxel::test::Daemon daemon("status-dlg-test");
  daemon.configure(
      "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Mill\n"
      "IoPortAddress2=0x320\nCncType2=3\nNodeName2=Lathe\n"
      "[Host]\nBoard0=sim\nBoard2=sim\nSocketMode=0600\n[Simulator]\nBootMode0=running\nBootMode2=console\n");
  ASSERT_TRUE(daemon.start()) << daemon.error() << daemon.log();
  const kestrel::CKestrelProfile profile(daemon.root() / "Kestrel32.conf");
  std::atomic<int> open_windows{0};

  auto dlg = std::make_unique<kestrel::CStatusDlg>(profile, &open_windows);
  EXPECT_EQ(open_windows.load(), 1);
  EXPECT_EQ(dlg->windowTitle(), "Kestrel32");
  EXPECT_TRUE(dlg->PopUp()->isChecked());  // default 1
  QTreeWidget* list = dlg->List();
  ASSERT_EQ(list->topLevelItemCount(), cnbus::CCnbusClient().GetNodeCount());
  ASSERT_GE(list->topLevelItemCount(), 3);
  auto cell = [&](int row, int column) { return list->topLevelItem(row)->text(column).toStdString(); };
  auto expect_row = [&](int row, const char* name, const char* bus, const char* status) {
    SCOPED_TRACE(row);
    dlg->Refresh();
    EXPECT_EQ(cell(row, 0), std::to_string(row));
    EXPECT_EQ(cell(row, 1), name);
    EXPECT_EQ(cell(row, 2), bus);
    EXPECT_EQ(cell(row, 3), status);
  };
  expect_row(0, "Mill", "1", "0008");   // the system runs
  expect_row(1, "", "", "");            // no node: number only, never polled
  expect_row(2, "Lathe", "1", "0000");  // console, type 3 area at 0
  for (int row = 3; row < list->topLevelItemCount(); ++row) expect_row(row, "", "", "");

  ASSERT_EQ(daemon.cncsim("link 2 down").status, 0);
  expect_row(2, "Lathe", "0", "----");
  ASSERT_EQ(daemon.cncsim("link 2 up").status, 0);
  ASSERT_EQ(daemon.cncsim("ready 2 off").status, 0);
  expect_row(2, "Lathe", "1", "----");

  QTest::mouseClick(dlg->PopUp(), Qt::LeftButton, {}, QPoint(2, dlg->PopUp()->height() / 2));
  EXPECT_FALSE(dlg->PopUp()->isChecked());
  dlg.reset();
  EXPECT_EQ(open_windows.load(), 0);
  EXPECT_EQ(profile.GetInt("Kestrel32", "PopUpStatus", 1), 0);
  // The next window shows the stored choice.
  kestrel::CStatusDlg again(profile, nullptr);
  EXPECT_FALSE(again.PopUp()->isChecked());
}

}  // namespace

namespace {

QAction* MenuItem(kestrel::CMainFrame& frame, const QString& text) {
  for (QAction* a : frame.Tray().Menu().actions())
    if (a->text() == text) return a;
  return nullptr;
}

TEST(MainFrame, LinkLostOpensStatusUnlessSwitchedOffAndEndIsGreyedWhileItIsOpen) {
  moxel::test::TempRoot root("frame-test");
  const kestrel::CKestrelProfile profile(root.root() / "Kestrel32.conf");
  kestrel::CKestrelApp app;
  kestrel::CMainFrame frame(app, profile);
  QAction* end = MenuItem(frame, "&End");
  ASSERT_NE(end, nullptr);
  ASSERT_NE(MenuItem(frame, "&Open"), nullptr);
  EXPECT_TRUE(MenuItem(frame, "&Open")->font().bold());
  EXPECT_TRUE(end->isEnabled());

  frame.OnLinkLost(0);  // "PopUpStatus" absent: 1
  ASSERT_NE(frame.StatusWindow(), nullptr);
  QWidget* first = frame.StatusWindow();
  frame.OpenStatus();  // only brings it forward
  EXPECT_EQ(frame.StatusWindow(), first);
  EXPECT_EQ(app.open_windows.load(), 1);
  EXPECT_FALSE(end->isEnabled());
  frame.End();
  EXPECT_FALSE(frame.Ending());

  frame.StatusWindow()->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(frame.StatusWindow(), nullptr);
  EXPECT_EQ(app.open_windows.load(), 0);
  EXPECT_TRUE(end->isEnabled());

  ASSERT_TRUE(profile.SetInt("Kestrel32", "PopUpStatus", 0));
  frame.OnLinkLost(0);
  EXPECT_EQ(frame.StatusWindow(), nullptr);

  // "&About" from the tray: one shared box, brought forward by a second request.
  MenuItem(frame, "&About")->trigger();
  QWidget* about = frame.AboutBox();
  ASSERT_NE(about, nullptr);
  MenuItem(frame, "&About")->trigger();
  EXPECT_EQ(frame.AboutBox(), about);
}

}  // namespace
