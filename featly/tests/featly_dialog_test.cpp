#include "featly/featly_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QSignalSpy>
#include <QTest>

#include "featly/tests/fake_vantor.h"

namespace featly {
namespace {

using testing::FakeCnc;

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cnc.nodes = {{.number = 0, .paths = {1, 2, 5}}, {.number = 4}};
    session = std::make_unique<Session>(cnc.calls(), prompter);
    ASSERT_TRUE(session->start());
    dialog = std::make_unique<FeatlyDialog>(*session);
    dialog->show();
    dialog->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
  }
  static QStringList items(QComboBox* box) {
    QStringList out;
    for (int i = 0; i < box->count(); ++i) out << box->itemText(i);
    return out;
  }
  void choose(QComboBox* box, int index) {
    box->setCurrentIndex(index);
    emit box->activated(index);
  }
  void type(const char* text) {
    dialog->input()->setFocus();
    QApplication::processEvents();  // the selection that follows the focus
    QTest::keyClicks(dialog->input(), text);
  }

  FakeCnc cnc;
  moxel::ScriptedPrompter prompter;
  std::unique_ptr<Session> session;
  std::unique_ptr<FeatlyDialog> dialog;
};

TEST_F(DialogTest, ListsAndTheCurrentValue) {
  EXPECT_EQ(dialog->windowTitle(), "Featly");
  EXPECT_EQ(items(dialog->node_list()), (QStringList{"Node0", "Node4"}));
  EXPECT_EQ(items(dialog->path_list()), (QStringList{"Path1", "Path2", "Loader"}));
  EXPECT_EQ(items(dialog->number_list()), (QStringList{"9900", "9950"}));
  EXPECT_EQ(dialog->current_value()->text(), "00010010 ");
  EXPECT_EQ(dialog->input()->maxLength(), 8);

  choose(dialog->path_list(), 2);  // "Loader" selects path 5
  EXPECT_EQ(cnc.nodes[0].current_path, 5);
  choose(dialog->node_list(), 1);
  EXPECT_EQ(items(dialog->path_list()), (QStringList{"Path1"}));
}

TEST_F(DialogTest, TheInputTakesOnlyTheCharactersOfTheParameterKind) {
  type("1a2-0 1");
  EXPECT_EQ(dialog->input()->text(), "101");
  dialog->input()->clear();
  choose(dialog->number_list(), 1);
  EXPECT_EQ(dialog->current_value()->text(), "-7 ");
  type("-5x.9");
  EXPECT_EQ(dialog->input()->text(), "-59");
}

TEST_F(DialogTest, EscPutsTheRememberedTextBackAndKeepsTheWindow) {
  type("11");
  dialog->setting_button()->setFocus();  // the edit loses the focus: "11" is remembered
  QApplication::processEvents();
  type("0");
  EXPECT_EQ(dialog->input()->text(), "0");  // the whole text was selected on focus, then replaced
  QTest::keyClick(dialog->input(), Qt::Key_Escape);
  EXPECT_EQ(dialog->input()->text(), "11");
  EXPECT_EQ(dialog->input()->selectedText(), "11");
  EXPECT_TRUE(dialog->isVisible());
}

TEST_F(DialogTest, SettingWritesShowsAndClears) {
  type("101");
  QTest::mouseClick(dialog->setting_button(), Qt::LeftButton);
  ASSERT_FALSE(cnc.writes.empty());
  EXPECT_EQ(cnc.writes.back()[4], 5);
  EXPECT_EQ(dialog->current_value()->text(), "00000101 ");
  EXPECT_TRUE(dialog->input()->text().isEmpty());

  choose(dialog->number_list(), 1);
  type("40000");
  QTest::mouseClick(dialog->setting_button(), Qt::LeftButton);
  EXPECT_EQ(prompter.shown().back().text, kInvalidDataText);
  EXPECT_TRUE(dialog->input()->text().isEmpty());
  EXPECT_EQ(cnc.writes.size(), 1u);

  QTest::mouseClick(dialog->close_button(), Qt::LeftButton);
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(prompter.shown().back().text, kChangedText);
  EXPECT_TRUE(cnc.handles.empty());
}

TEST_F(DialogTest, AFailedSelectionReverts) {
  cnc.fail["cnc_rdparam:9950"] = 4;
  choose(dialog->number_list(), 1);
  EXPECT_EQ(dialog->number_list()->currentIndex(), 0);
  EXPECT_EQ(dialog->current_value()->text(), "00010010 ");
}

TEST_F(DialogTest, NothingLeftToBringUpClosesTheWindow) {
  cnc.fail["cnc_rdparainfo"] = 5;
  choose(dialog->path_list(), 1);
  EXPECT_FALSE(dialog->isVisible());
}

}  // namespace
}  // namespace featly
