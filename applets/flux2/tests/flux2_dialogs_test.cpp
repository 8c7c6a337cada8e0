#include "applets/flux2/flux2_dialogs.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <sstream>

#include "platform/prompter.h"

namespace flux2 {
namespace {

using moxel::Answer;

class Flux2Dialogs : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/flux2-dlg-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    env_.file = dir_ / "lorand.conf";
    env_.runner = [this](const std::vector<std::string>& argv) {
      commands_.push_back(argv);
      return true;
    };
    moxel::set_prompter(&boxes_);
  }
  void TearDown() override {
    moxel::set_prompter(nullptr);
    std::filesystem::remove_all(dir_);
  }
  void write(const std::string& text) { std::ofstream(env_.file) << text; }
  std::string read() {
    std::ifstream in(env_.file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  NodeSettings stored(int node) { return read_node(moxel::load_config(env_.file), node); }
  std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (const auto& b : boxes_.shown()) out.push_back(b.text);
    return out;
  }

  // Runs `act` on the node dialog once the main dialog has opened it modally.
  static void when_node_dialog_opens(std::function<void(CNodeDlg&)> act) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
      if (auto* dlg = qobject_cast<CNodeDlg*>(QApplication::activeModalWidget())) {
        timer->stop();
        timer->deleteLater();
        act(*dlg);
      }
    });
    timer->start();
  }

  std::filesystem::path dir_;
  Environment env_;
  moxel::ScriptedPrompter boxes_;
  std::vector<std::vector<std::string>> commands_;
};

TEST_F(Flux2Dialogs, NodeDialogShowsStoredValues) {
  write("[Parameters]\nIoPortAddress3=0x2A8\nCncType3=2\nNodeName3=Lathe\n"
        "IoPortAddress4=0x300\nCncType4=7\nNodeName4=Mill 4\n");
  CNodeDlg three(3, env_);
  EXPECT_EQ(three.windowTitle(), "FLUX : Node 3");
  EXPECT_EQ(three.port_list()->currentText(), "Disable");
  EXPECT_EQ(three.type_list()->currentText(), "Corvane B");
  EXPECT_EQ(three.name_edit()->text(), "Lathe");
  EXPECT_FALSE(three.read_only());
  ASSERT_EQ(three.port_list()->count(), 41);
  EXPECT_EQ(three.port_list()->itemText(1), "0180 - 018F");
  EXPECT_EQ(three.port_list()->itemText(40), "03F0 - 03FF");
  ASSERT_EQ(three.type_list()->count(), 4);
  EXPECT_EQ(three.type_list()->itemText(3), "Tessel i");

  CNodeDlg four(4, env_);
  EXPECT_EQ(four.port_list()->currentText(), "0300 - 030F");
  EXPECT_EQ(four.type_list()->currentIndex(), -1);
  EXPECT_EQ(four.name_edit()->text(), "Mill 4");

  CNodeDlg empty(0, env_);  // no file at all
  EXPECT_EQ(empty.port_list()->currentText(), "Disable");
  EXPECT_EQ(empty.type_list()->currentIndex(), -1);
  EXPECT_EQ(empty.name_edit()->text(), "");

  // Each control has its label with its access key.
  QStringList labels;
  for (auto* label : three.findChildren<QLabel*>()) labels << label->text();
  for (const char* text : {"&Node Name:", "&CNC Type:", "&I/O Port Address:"})
    EXPECT_TRUE(labels.contains(text)) << text;
}

TEST_F(Flux2Dialogs, UnknownCncTypeAsksForOneAndMovesTheFocus) {
  write("[Parameters]\nIoPortAddress0=0x300\nCncType0=7\nNodeName0=Mill\n");
  std::string before = read();
  CNodeDlg dlg(0, env_);
  dlg.show();
  dlg.name_edit()->setFocus();
  dlg.ok_button()->click();
  ASSERT_EQ(boxes_.shown().size(), 1u);
  EXPECT_EQ(boxes_.shown()[0].caption, "Error");
  EXPECT_EQ(boxes_.shown()[0].text, "Select CNC Type.");
  EXPECT_EQ(boxes_.shown()[0].icon, moxel::Icon::exclamation);
  EXPECT_EQ(boxes_.shown()[0].buttons, moxel::Buttons::ok);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_EQ(dlg.result(), QDialog::Rejected);
  EXPECT_EQ(dlg.focusWidget(), dlg.type_list());
  EXPECT_EQ(read(), before);

  dlg.type_list()->setCurrentIndex(2);
  dlg.ok_button()->click();
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_EQ(stored(0), (NodeSettings{0x300, 3, "Mill"}));
}

TEST_F(Flux2Dialogs, EachInputMessageFocusesItsControl) {
  struct Case {
    int port;
    QString name;
    int type;
    const char* text;
    int control;  // 0 name, 1 type, 2 port
  };
  const Case cases[] = {
      {-1, "Mill", 0, "Select I/O Port Address.", 2},
      {5, "   ", 0, "Input Node Name.", 0},
      {5, "ABCDEFGHIJKLMNOPQRST", 0, "Node Name is too long. (Maximum length is 19.)", 0},
      // 19 characters, 21 bytes in UTF-8: the driver would answer it cut short.
      {5, QString::fromUtf8("Fr\xC3\xA4smaschine S\xC3\xBC" "d 12"), 0,
       "Node Name is too long. (Maximum length is 19.)", 0},
      {5, "Mill", -1, "Select CNC Type.", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    boxes_.clear();
    CNodeDlg dlg(2, env_);
    dlg.show();
    dlg.ok_button()->setFocus();
    dlg.port_list()->setCurrentIndex(c.port);
    dlg.name_edit()->setText(c.name);
    dlg.type_list()->setCurrentIndex(c.type);
    dlg.ok_button()->click();
    ASSERT_EQ(texts(), std::vector<std::string>{c.text});
    QWidget* expected[] = {dlg.name_edit(), dlg.type_list(), dlg.port_list()};
    EXPECT_EQ(dlg.focusWidget(), expected[c.control]);
    EXPECT_TRUE(dlg.isVisible());
  }
  EXPECT_FALSE(std::filesystem::exists(env_.file));
}

TEST_F(Flux2Dialogs, NameIsStoredTrimmedAndTwentyCharactersAreRefused) {
  CNodeDlg dlg(5, env_);
  dlg.show();
  dlg.port_list()->setCurrentIndex(3);
  dlg.type_list()->setCurrentIndex(0);
  dlg.name_edit()->setText("  ABCDEFGHIJKLMNOPQRST  ");
  dlg.ok_button()->click();
  EXPECT_EQ(texts(), std::vector<std::string>{"Node Name is too long. (Maximum length is 19.)"});
  EXPECT_FALSE(std::filesystem::exists(env_.file));

  dlg.name_edit()->setText("  ABCDEFGHIJKLMNOPQRS  ");
  dlg.ok_button()->click();
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_EQ(stored(5), (NodeSettings{0x1A0, 1, "ABCDEFGHIJKLMNOPQRS"}));
}

TEST_F(Flux2Dialogs, DisableStoresAnEmptyNodeWhateverTheFieldsHold) {
  write("[Host]\nBoard6=sim\n[Parameters]\nIoPortAddress6=0x320\nCncType6=4\nNodeName6=Old\n");
  CNodeDlg dlg(6, env_);
  dlg.show();
  dlg.port_list()->setCurrentIndex(0);
  dlg.name_edit()->setText("still some text");
  dlg.ok_button()->click();
  EXPECT_TRUE(boxes_.shown().empty());
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_EQ(stored(6), NodeSettings{});
  auto data = moxel::load_config(env_.file);
  ASSERT_NE(data.find("Parameters", "NodeName6"), nullptr);  // written as empty, not left out
  EXPECT_EQ(data.string("Host", "Board6"), "sim");
}

TEST_F(Flux2Dialogs, ReadOnlyWhenTheConfigurationCannotBeWritten) {
  write("[Parameters]\nIoPortAddress1=0x300\nCncType1=1\nNodeName1=One\n");
  std::string before = read();
  env_.writable = [](const std::filesystem::path&) { return false; };
  CNodeDlg dlg(1, env_);
  EXPECT_TRUE(dlg.read_only());
  EXPECT_FALSE(dlg.name_edit()->isEnabled());
  EXPECT_FALSE(dlg.type_list()->isEnabled());
  EXPECT_FALSE(dlg.port_list()->isEnabled());
  EXPECT_EQ(dlg.name_edit()->text(), "One");  // still shows what is stored
  EXPECT_FALSE(dlg.read_only_reason()->isHidden());
  EXPECT_EQ(dlg.read_only_reason()->text().toStdString(),
            "Read only: You may not change " + env_.file.string() + ".");
  dlg.show();
  dlg.ok_button()->click();
  EXPECT_EQ(dlg.result(), QDialog::Rejected);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_TRUE(boxes_.shown().empty());
  EXPECT_EQ(read(), before);
}

TEST_F(Flux2Dialogs, ReadOnlyByTheRealCheckWhenTheFolderIsMissing) {
  Environment env = env_;
  env.writable = moxel::config_writable;
  env.file = dir_ / "absent" / "lorand.conf";
  CNodeDlg dlg(0, env);
  EXPECT_TRUE(dlg.read_only());
  EXPECT_EQ(dlg.read_only_reason()->text().toStdString(),
            "Read only: The folder " + (dir_ / "absent").string() + " does not exist.");
  CNodeDlg writable(0, env_);
  EXPECT_FALSE(writable.read_only());
  EXPECT_TRUE(writable.read_only_reason()->isHidden());
}

// A file that cannot be read shows every node empty; a save would replace what it holds. The
// applet says so when it opens, and the node dialogs are read-only and say why.
TEST_F(Flux2Dialogs, AnUnreadableFileIsToldAtOpenAndNothingIsOverwritten) {
  write("[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Mill\n[broken\n");
  const std::string before = read();
  bool closed = false;
  QTimer::singleShot(0, [&] {
    if (auto* dlg = qobject_cast<CFlux2Dlg*>(QApplication::activeModalWidget())) {
      CNodeDlg node(0, env_);
      EXPECT_TRUE(node.read_only());
      EXPECT_EQ(node.name_edit()->text(), "");
      EXPECT_EQ(node.read_only_reason()->text().toStdString(),
                "Read only: " + env_.file.string() +
                    " cannot be read (line 5 is not understood); nothing will be overwritten.");
      node.show();
      node.ok_button()->click();
      EXPECT_EQ(node.result(), QDialog::Rejected);
      dlg->reject();
      closed = true;
    }
  });
  run_applet(nullptr, env_);
  EXPECT_TRUE(closed);
  ASSERT_EQ(boxes_.shown().size(), 1u);
  EXPECT_EQ(boxes_.shown()[0].caption, "FLUX");
  EXPECT_EQ(boxes_.shown()[0].icon, moxel::Icon::exclamation);
  EXPECT_EQ(boxes_.shown()[0].text,
            "The FLUX settings cannot be read from " + env_.file.string() +
                ": line 5 is not understood.\n\nEvery node shows as empty and cannot be changed, "
                "so nothing will be overwritten. Mend or remove the file, then open FLUX again.");
  EXPECT_EQ(read(), before);

  // A sound file opens without a word.
  write("[Parameters]\nIoPortAddress0=0x300\n");
  boxes_.clear();
  QTimer::singleShot(0, [] {
    if (auto* dlg = qobject_cast<CFlux2Dlg*>(QApplication::activeModalWidget())) dlg->reject();
  });
  run_applet(nullptr, env_);
  EXPECT_TRUE(boxes_.shown().empty());
}

// The driver skips a node whose ports overlap another's; the dialog refuses such a range.
TEST_F(Flux2Dialogs, APortRangeOfAnotherNodeIsRefused) {
  write("[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Mill\n"
        "IoPortAddress4=0x2A8\nCncType4=2\nNodeName4=Odd\n");
  const std::string before = read();
  CNodeDlg dlg(2, env_);
  dlg.show();
  dlg.type_list()->setCurrentIndex(0);
  dlg.name_edit()->setText("Lathe");
  for (int entry : {25, 19, 20}) {  // 0300, 02A0 and 02B0 - 02BF
    SCOPED_TRACE(entry);
    boxes_.clear();
    dlg.name_edit()->setFocus();
    dlg.port_list()->setCurrentIndex(entry);
    dlg.ok_button()->click();
    ASSERT_EQ(boxes_.shown().size(), 1u);
    EXPECT_EQ(boxes_.shown()[0].caption, "Error");
    EXPECT_EQ(boxes_.shown()[0].text,
              entry == 25 ? "I/O Port Address is already used by Node 0."
                          : "I/O Port Address is already used by Node 4.");
    EXPECT_EQ(dlg.focusWidget(), dlg.port_list());
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(read(), before);
  }
  // A node keeps its own range, and a free one is taken.
  CNodeDlg zero(0, env_);
  zero.show();
  zero.ok_button()->click();
  EXPECT_EQ(zero.result(), QDialog::Accepted);
  dlg.port_list()->setCurrentIndex(26);
  dlg.ok_button()->click();
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_EQ(stored(2), (NodeSettings{0x310, 1, "Lathe"}));
}

TEST_F(Flux2Dialogs, AFailedWriteIsReportedAndTheDialogStaysOpen) {
  // Said to be writable, but the folder is missing: the write fails.
  Environment env = env_;
  env.file = dir_ / "absent" / "lorand.conf";
  env.writable = [](const std::filesystem::path&) { return true; };
  CNodeDlg dlg(0, env);
  ASSERT_FALSE(dlg.read_only());
  dlg.show();
  dlg.port_list()->setCurrentIndex(1);
  dlg.type_list()->setCurrentIndex(0);
  dlg.name_edit()->setText("Mill");
  dlg.ok_button()->click();
  ASSERT_EQ(boxes_.shown().size(), 1u);
  EXPECT_EQ(boxes_.shown()[0].caption, "Error");
  EXPECT_EQ(boxes_.shown()[0].text.rfind("The FLUX settings could not be saved.", 0), 0u);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_NE(dlg.result(), QDialog::Accepted);
  EXPECT_FALSE(std::filesystem::exists(env.file));
}

TEST_F(Flux2Dialogs, MainDialogLayout) {
  CFlux2Dlg dlg(env_);
  EXPECT_EQ(dlg.windowTitle(), "FLUX");
  ASSERT_EQ(dlg.node_list()->count(), 8);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(dlg.node_list()->item(i)->text(), QString::number(i));
  EXPECT_EQ(dlg.node_list()->currentRow(), 0);
  EXPECT_EQ(dlg.setting_button()->text(), "&Setting...");
  EXPECT_EQ(dlg.cancel_button()->text(), "Cancel");
  bool labelled = false;
  for (auto* label : dlg.findChildren<QLabel*>())
    labelled |= label->text() == "&Node:" && label->buddy() == dlg.node_list();
  EXPECT_TRUE(labelled);
}

TEST_F(Flux2Dialogs, ClosingAfterOnlyCancelledNodeDialogsAsksNothing) {
  CFlux2Dlg dlg(env_);
  dlg.show();
  dlg.node_list()->setCurrentRow(4);
  int seen_node = -1;
  when_node_dialog_opens([&](CNodeDlg& node) {
    seen_node = node.node();
    node.port_list()->setCurrentIndex(2);
    node.reject();
  });
  dlg.setting_button()->click();
  EXPECT_EQ(seen_node, 4);
  EXPECT_EQ(dlg.cancel_button()->text(), "Cancel");
  EXPECT_FALSE(dlg.changed());
  dlg.cancel_button()->click();
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_TRUE(boxes_.shown().empty());
  EXPECT_TRUE(commands_.empty());
  EXPECT_FALSE(std::filesystem::exists(env_.file));
}

TEST_F(Flux2Dialogs, DoubleClickOpensTheNodeAndAnOkAsksForTheRestart) {
  write("[Applet]\nRestart=service\n");
  CFlux2Dlg dlg(env_);
  dlg.show();
  QListWidget* list = dlg.node_list();
  QRect cell = list->visualItemRect(list->item(2));
  int seen_node = -1;
  when_node_dialog_opens([&](CNodeDlg& node) {
    seen_node = node.node();
    node.port_list()->setCurrentIndex(25);
    node.type_list()->setCurrentIndex(1);
    node.name_edit()->setText(" Lathe 2 ");
    node.ok_button()->click();
  });
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, cell.center());
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, cell.center());
  EXPECT_EQ(seen_node, 2);
  EXPECT_TRUE(dlg.changed());
  EXPECT_EQ(dlg.cancel_button()->text(), "Close");
  EXPECT_EQ(stored(2), (NodeSettings{0x300, 2, "Lathe 2"}));
  EXPECT_TRUE(boxes_.shown().empty());

  boxes_.push_answer(Answer::yes);
  dlg.cancel_button()->click();
  ASSERT_EQ(boxes_.shown().size(), 1u);
  EXPECT_EQ(boxes_.shown()[0].caption, "FLUX");
  EXPECT_EQ(boxes_.shown()[0].text,
            "Your FLUX settings have changed.\r\n\r\nYou will need to exit and restart Windows NT "
            "so that the new setting can take effect.\r\n\r\nDo you want to restert your computer "
            "now?");
  EXPECT_EQ(boxes_.shown()[0].buttons, moxel::Buttons::yes_no);
  EXPECT_EQ(boxes_.shown()[0].icon, moxel::Icon::exclamation);
  EXPECT_EQ(commands_, (std::vector<std::vector<std::string>>{
                           {"systemctl", "restart", "lorandd.service"}}));
}

TEST_F(Flux2Dialogs, RestartAnswersAndModes) {
  struct Case {
    const char* conf;
    Answer answer;
    std::vector<std::vector<std::string>> commands;
  };
  const Case cases[] = {
      {"", Answer::no, {}},
      {"", Answer::yes, {{"systemctl", "restart", "lorandd.service"}}},
      {"[Applet]\nRestart=computer\n", Answer::yes, {{"systemctl", "reboot"}}},
      {"[Applet]\nRestart=computer\n", Answer::no, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.conf);
    write(c.conf);
    boxes_.clear();
    commands_.clear();
    CFlux2Dlg dlg(env_);
    dlg.show();
    when_node_dialog_opens([](CNodeDlg& node) {
      node.port_list()->setCurrentIndex(0);
      node.ok_button()->click();
    });
    dlg.open_node_dialog(7);
    boxes_.push_answer(c.answer);
    dlg.reject();  // Esc or the window's close button end the dialog the same way
    EXPECT_EQ(texts().size(), 1u);
    EXPECT_EQ(commands_, c.commands);
    dlg.reject();  // a second end asks nothing more
    EXPECT_EQ(texts().size(), 1u);
  }
}

TEST_F(Flux2Dialogs, NoIsTheDefaultOfTheRestartQuestion) {
  // A prompter that answers every box with its default button stands for a user pressing Enter.
  CFlux2Dlg dlg(env_);
  dlg.show();
  when_node_dialog_opens([](CNodeDlg& node) {
    node.port_list()->setCurrentIndex(0);
    node.ok_button()->click();
  });
  dlg.open_node_dialog(0);
  dlg.reject();
  EXPECT_EQ(texts().size(), 1u);
  EXPECT_TRUE(commands_.empty());
}

}  // namespace
}  // namespace flux2
