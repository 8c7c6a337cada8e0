// The application programs sheet over Kestrel32.conf.
#include <gtest/gtest.h>

#include <QTest>
#include <fstream>
#include <sstream>

#include "kestrel/ui/settings_sheet.h"
#include "testsupport/test_daemon.h"

namespace {

using kestrel::CKestrelProfile;
using kestrel::CMyPropertySheet;

std::string Text(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

QStringList Lines(QListWidget* list) {
  QStringList out;
  for (int i = 0; i < list->count(); ++i) out << list->item(i)->text();
  return out;
}

class Sheet : public ::testing::Test {
 protected:
  moxel::test::TempRoot root{"sheet-test"};
  CKestrelProfile profile{root.root() / "Kestrel32.conf"};
  // Slots 0 and 2 present, 1 and 3 absent.
  std::vector<CMyPropertySheet::Slot> node_slots{{true, "Mill"}, {}, {true, "Lathe"}, {}};
  void SetUp() override {
    ASSERT_TRUE(profile.SaveProgramLines(0, {"a0", "b0", "c0"}));
    ASSERT_TRUE(profile.SaveProgramLines(3, {"x3"}));
  }
};

TEST_F(Sheet, ComboListsEverySlotAndNodeChangesKeepTheLists) {
  CMyPropertySheet sheet(profile, node_slots);
  ASSERT_EQ(sheet.Node()->count(), 4);
  EXPECT_EQ(sheet.Node()->itemText(0), "0 : Mill");
  EXPECT_EQ(sheet.Node()->itemText(1), "1");
  EXPECT_EQ(sheet.Node()->itemText(2), "2 : Lathe");
  EXPECT_EQ(Lines(sheet.Programs()), (QStringList{"a0", "b0", "c0"}));
  EXPECT_FALSE(sheet.Remove()->isEnabled());
  EXPECT_FALSE(sheet.Edit()->isEnabled());

  sheet.Programs()->setCurrentRow(1);
  EXPECT_TRUE(sheet.Remove()->isEnabled());
  EXPECT_TRUE(sheet.Edit()->isEnabled());
  QTest::mouseClick(sheet.Remove(), Qt::LeftButton);
  sheet.Programs()->setCurrentRow(1);
  QTest::mouseClick(sheet.Remove(), Qt::LeftButton);
  EXPECT_EQ(Lines(sheet.Programs()), (QStringList{"a0"}));

  sheet.Node()->setCurrentIndex(3);  // an absent node keeps its list
  EXPECT_EQ(Lines(sheet.Programs()), (QStringList{"x3"}));
  sheet.AddProgram("/opt/cnc tools/run");
  sheet.AddProgram("/usr/bin/plain");
  sheet.Node()->setCurrentIndex(0);
  EXPECT_EQ(Lines(sheet.Programs()), (QStringList{"a0"}));

  sheet.Save();
  EXPECT_EQ(profile.ProgramLines(0), std::vector<std::string>{"a0"});
  const std::string text = Text(profile.File());
  EXPECT_EQ(text.find("c0"), std::string::npos) << text;  // Program1 and Program2 gone
  EXPECT_EQ(profile.ProgramLines(3), (std::vector<std::string>{"x3", "\"/opt/cnc tools/run\"", "/usr/bin/plain"}));
}

TEST_F(Sheet, CancelLeavesTheFileAsItWas) {
  const std::string before = Text(profile.File());
  {
    CMyPropertySheet sheet(profile, node_slots);
    sheet.Programs()->setCurrentRow(0);
    QTest::mouseClick(sheet.Remove(), Qt::LeftButton);
    sheet.AddProgram("/bin/new");
    sheet.reject();
  }
  EXPECT_EQ(Text(profile.File()), before);
}

}  // namespace
