// The about box: version text and the service switch.
#include <gtest/gtest.h>

#include <QTest>

#include "kestrel/ui/about_dlg.h"
#include "kestrel/ui/kestrel_app.h"

namespace {

TEST(AboutDlg, VersionTextHasTwoMinorDigits) {
  EXPECT_EQ(kestrel::CAboutDlg::VersionText(1, 5).toStdString(), "Version 1.05");
  EXPECT_EQ(kestrel::CAboutDlg::VersionText(2, 10).toStdString(), "Version 2.10");
  EXPECT_EQ(kestrel::CAboutDlg::VersionText(0, 1).toStdString(), "Version 0.01");  // this build's 0.1
}

TEST(AboutDlg, ServiceSwitchesOverAndBackWithItsLabel) {
  for (const bool start : {false, true}) {
    kestrel::Switches switches;
    switches.service_mode = start;
    kestrel::CAboutDlg dlg(switches);
    EXPECT_EQ(dlg.windowTitle(), "About Kestrel32");
    EXPECT_EQ(dlg.Version()->text(), kestrel::CAboutDlg::VersionText());
    EXPECT_EQ(dlg.ServiceLabel()->isVisibleTo(&dlg), start);
    QTest::mouseClick(dlg.ServiceButton(), Qt::LeftButton);
    EXPECT_EQ(switches.service_mode, !start);
    EXPECT_EQ(dlg.ServiceLabel()->isVisibleTo(&dlg), !start);
    QTest::mouseClick(dlg.ServiceButton(), Qt::LeftButton);
    EXPECT_EQ(switches.service_mode, start);
    EXPECT_EQ(dlg.ServiceLabel()->isVisibleTo(&dlg), start);
  }
}

}  // namespace
