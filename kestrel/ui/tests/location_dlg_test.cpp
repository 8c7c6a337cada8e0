// The file location dialog: start folder of the browser, folder text, enabling by the choice.
#include <gtest/gtest.h>

#include <QDir>
#include <QTest>

#include "kestrel/ui/location_dlg.h"

namespace {

using kestrel::CLocationDlg;

TEST(LocationDlg, StartFolderAndFolderText) {
  struct Case {
    const char* folder;
    QString start;
  } cases[] = {
      {"/home/op/data/", "/home/op/data"},
      {"/home/op/data", "/home/op/data"},
      {"/", "/"},
      {"", QDir::homePath()},
      {"c:\\", QDir::homePath()},  // the old form: shown as it is, never browsed from
      {"d:\\data\\", QDir::homePath()},
  };
  for (const Case& c : cases) EXPECT_EQ(CLocationDlg::StartFolder(c.folder), c.start) << c.folder;
  EXPECT_TRUE(CLocationDlg::OldForm("c:\\"));
  EXPECT_FALSE(CLocationDlg::OldForm("/c:\\"));
  EXPECT_EQ(CLocationDlg::FolderText("/srv/cnc"), "/srv/cnc/");
  EXPECT_EQ(CLocationDlg::FolderText("/"), "/");
}

TEST(LocationDlg, FolderChoiceEnablesPathAndBrowse) {
  CLocationDlg dlg;
  EXPECT_EQ(dlg.Choice(), -1);
  EXPECT_FALSE(dlg.Browse()->isEnabled());
  dlg.SetData(1, "c:\\");
  EXPECT_EQ(dlg.Choice(), 1);
  EXPECT_EQ(dlg.Path()->text(), "c:\\");  // shown as stored
  EXPECT_TRUE(dlg.Path()->isEnabled());
  EXPECT_TRUE(dlg.Browse()->isEnabled());
  QTest::mouseClick(dlg.CardButton(), Qt::LeftButton, {}, QPoint(2, dlg.CardButton()->height() / 2));
  EXPECT_EQ(dlg.Choice(), 0);
  EXPECT_FALSE(dlg.Path()->isEnabled());
  EXPECT_FALSE(dlg.Browse()->isEnabled());
  QTest::mouseClick(dlg.FolderButton(), Qt::LeftButton, {}, QPoint(2, dlg.FolderButton()->height() / 2));
  EXPECT_EQ(dlg.Choice(), 1);
  EXPECT_TRUE(dlg.Browse()->isEnabled());
  EXPECT_EQ(dlg.Folder(), "c:\\");
  dlg.SetData(0, "/srv/");
  EXPECT_EQ(dlg.Choice(), 0);
  EXPECT_FALSE(dlg.Browse()->isEnabled());
}

}  // namespace
