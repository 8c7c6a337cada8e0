// The boot dialog under the offscreen platform against simulated nodes in a real lorandd: the
// node's CNC work runs on a thread of the test that stands for the node's boot thread, the dialog
// on the test's main thread, and every question is answered by a scripted prompter.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPointer>
#include <QTest>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>

#include "cncsim/cnc/module_header.h"
#include "kestrel/boot/boot_thread.h"
#include "kestrel/ui/boot_dlg.h"
#include "kestrel/ui/boot_subdlgs.h"
#include "kestrel/ui/kestrel_app.h"
#include "kestrel/ui/location_dlg.h"
#include "testsupport/test_daemon.h"

namespace {

using namespace std::chrono_literals;
using kestrel::CBootDlg;

// Runs the GUI's events until `ok` holds, at most `ms` milliseconds.
template <typename F>
bool Until(F ok, int ms = 60000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!ok()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// A node thread of the test: it only supplies the node, its client and a stop request.
class TestThread final : public kestrel::CBootThread {
 public:
  using CBootThread::CBootThread;
  kestrel::CStopRequest& Stop() override { return stop; }
  kestrel::CStopRequest stop;
};

// A scripted prompter that can hold the thread asking one question until the test releases it.
class HoldingPrompter : public moxel::ScriptedPrompter {
 public:
  moxel::Answer ask(const std::string& caption, const std::string& text, moxel::Buttons buttons, moxel::Icon icon,
                    moxel::Answer preset) override {
    {
      std::unique_lock lock(mutex_);
      if (text == hold_) {
        holding_ = true;
        cv_.wait_for(lock, 60s, [this] { return released_; });
        holding_ = false;
      }
    }
    return ScriptedPrompter::ask(caption, text, buttons, icon, preset);
  }
  void Hold(const std::string& text) {
    std::lock_guard lock(mutex_);
    hold_ = text;
  }
  bool Holding() {
    std::lock_guard lock(mutex_);
    return holding_;
  }
  void Release() {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::string hold_;
  bool holding_ = false, released_ = false;
};

std::vector<std::string> Texts(const moxel::ScriptedPrompter& p) {
  std::vector<std::string> texts;
  for (const auto& s : p.shown()) texts.push_back(s.text);
  return texts;
}

class BootDlgTest : public ::testing::Test {
 protected:
  // One run of the boot dialog for a node, on its own thread.
  struct Run {
    std::unique_ptr<TestThread> thread;
    std::future<uint16_t> status;
    QPointer<CBootDlg> dlg;
    int result = -1;  // the dialog's result once it has ended
  };

  moxel::test::Daemon daemon{"bootdlg-test"};
  std::filesystem::path folder;
  HoldingPrompter prompter;
  kestrel::Switches switches;
  QObject gui;
  kestrel::BootServices services;
  std::mutex lost_mutex;
  std::vector<int> lost;  // nodes whose link loss reached the program (command 106)
  std::vector<std::unique_ptr<Run>> runs;

  // `simulator`: extra [Simulator] lines. The nodes keep their files in `folder` (Mcard 0).
  void Start(int nodes, const std::string& simulator = {}) {
    std::string config = "[Parameters]\n";
    std::string host = "[Host]\nSocketMode=0600\n";
    for (int n = 0; n < nodes; ++n) {
      const std::string i = std::to_string(n);
      config += "IoPortAddress" + i + "=0x" + std::to_string(300 + n * 10) + "\nCncType" + i + "=1\nNodeName" +
                i + "=Cnc" + i + "\n";
      host += "Board" + i + "=sim\n";
    }
    daemon.configure(config + host + "[Simulator]\n" + simulator);
    ASSERT_TRUE(daemon.start()) << daemon.error() << daemon.log();
    folder = daemon.root() / "files";
    std::filesystem::create_directories(folder);
    services.profile = kestrel::CKestrelProfile(daemon.root() / "Kestrel32.conf");
    services.prompter = &prompter;
    services.link_lost = [this](int node) {
      std::lock_guard lock(lost_mutex);
      lost.push_back(node);
    };
    for (int n = 0; n < nodes; ++n) UseFolder(n);
  }
  void UseFolder(int node) {
    const std::string section = kestrel::CKestrelProfile::NodeSection(node);
    services.profile.SetInt(section, "Mcard", 0);
    services.profile.SetInt(section, "Removable", 0);
    services.profile.SetString(section, "Folder", folder.string() + "/");
  }

  ~BootDlgTest() override {
    prompter.Release();
    for (auto& r : runs) r->thread->stop.Request();
    for (auto& r : runs)
      if (r->status.valid())
        Until([&] { return r->status.wait_for(0s) == std::future_status::ready; }, 60000);
    Until([&] {
      for (auto& r : runs)
        if (r->dlg) return false;
      return true;
    }, 10000);
  }

  // Opens the dialog for `node` and waits until its start has been shown.
  Run& Open(int node) {
    auto run = std::make_unique<Run>();
    Run* r = run.get();
    runs.push_back(std::move(run));
    r->thread = std::make_unique<TestThread>(services);
    r->thread->SetNode(node, "Node" + std::to_string(node) + " : Cnc" + std::to_string(node));
    kestrel::BootDialogHost host;
    host.gui = &gui;
    host.switches = &switches;
    host.opened = [r](CBootDlg* dlg) {
      r->dlg = dlg;
      QObject::connect(dlg, &QDialog::finished, [r](int result) { r->result = result; });
    };
    r->status = std::async(std::launch::async, [r, host] { return kestrel::RunBootConsole(*r->thread, host); });
    EXPECT_TRUE(Until([r] { return r->dlg && r->dlg->Busy() == 0 && r->dlg->Boards()->count() > 0; }));
    return *r;
  }
  static bool Idle(Run& r) { return r.dlg && r.dlg->Busy() == 0; }
  // Waits for the dialog's end; Close's status, or -1 when the node thread did not end.
  static int Ended(Run& r) {
    if (!Until([&] { return r.status.wait_for(0s) == std::future_status::ready && !r.dlg; })) return -1;
    return r.status.get();
  }
  // Clicks `button` and waits until the job it posted has ended.
  static bool Press(Run& r, QPushButton* button) {
    if (!button->isEnabled() || !button->isVisible()) return false;
    button->click();
    return Until([&] { return Idle(r) && (!r.dlg->Child() || r.dlg->Child()->isEnabled()); });
  }
  // Shows the SRAM tab and waits for its buttons.
  static bool ToSram(Run& r) {
    r.dlg->Tabs()->setCurrentIndex(1);
    return Until([&] { return Idle(r) && r.dlg->Action(0)->text() == "&Backup"; });
  }
  static std::vector<std::string> Buttons(CBootDlg& dlg) {
    std::vector<std::string> shown;
    for (int i = 0; i < 5; ++i) {
      QPushButton* b = dlg.Action(i);
      shown.push_back(b->isVisible() ? b->text().toStdString() + (b->isEnabled() ? "" : " (off)") : "-");
    }
    return shown;
  }
  // A load file of `size` data bytes for module `name`.
  void WriteLoadFile(const std::string& file, const std::string& name, uint32_t size) {
    cncsim::cnc::ModuleInfo info;
    info.name = name;
    info.size = size;
    info.version = "V01";
    const auto header = cncsim::cnc::make_module_header(info);
    std::vector<char> data(header.begin(), header.end());
    for (uint32_t i = 0; i < size; ++i) data.push_back(char(i * 7));
    std::ofstream(folder / file, std::ios::binary).write(data.data(), std::streamsize(data.size()));
  }
  int TabOf(const std::string& name) {
    return name == "System Data" ? 0 : name == "SRAM" ? 1 : 2;
  }
  // Loads `file` through the load dialog; true once the dialog has ended again.
  bool LoadThroughDialog(Run& r, const QString& file) {
    if (!Press(r, r.dlg->Action(0))) return false;
    auto* load = qobject_cast<kestrel::CLoadDlg*>(r.dlg->Child());
    if (!load) return false;
    if (!Until([&] { return load->isEnabled() && load->List()->topLevelItemCount() > 0; })) return false;
    for (int i = 0; i < load->List()->topLevelItemCount(); ++i)
      load->List()->topLevelItem(i)->setSelected(load->List()->topLevelItem(i)->text(0) == file);
    load->LoadButton()->click();
    if (!Until([&] { return load->isEnabled(); })) return false;
    EXPECT_TRUE(kestrel::SelectedNames(load->List()).isEmpty());
    load->CloseButton()->click();
    return Until([&] { return !r.dlg->Child(); });
  }
};

TEST_F(BootDlgTest, ButtonsFollowTabBoardModuleSelectionStoreAndServiceMode) {
  Start(1);
  WriteLoadFile("small.rom", "SMALL", 0x30000);
  Run& r = Open(0);
  CBootDlg& dlg = *r.dlg;
  EXPECT_EQ(dlg.windowTitle(), "Kestrel32 - Node0 : Cnc0");
  ASSERT_EQ(dlg.Boards()->count(), 3);
  EXPECT_EQ(dlg.Boards()->itemText(2).toStdString(), " 2 OPTION    F-ROM 0 KB  SRAM 128 KB");
  EXPECT_EQ(dlg.Tabs()->tabText(0), "System Data");
  EXPECT_EQ(dlg.Tabs()->tabText(1), "SRAM");
  EXPECT_EQ(dlg.Tabs()->tabText(2), "File");
  EXPECT_TRUE(dlg.Modules()->isVisible());

  // No module: only Load; Initialize is not shown outside service mode.
  using V = std::vector<std::string>;
  EXPECT_EQ(Buttons(dlg), (V{"&Load...", "&Save (off)", "C&heck (off)", "&Delete (off)", "-"}));
  ASSERT_TRUE(LoadThroughDialog(r, "small.rom"));
  ASSERT_EQ(dlg.Modules()->count(), 1);
  EXPECT_EQ(dlg.Modules()->item(0)->text().toStdString(), "SMALL   \t(2)");
  dlg.Modules()->setCurrentRow(0);
  ASSERT_TRUE(Until([&] { return Idle(r) && dlg.Action(1)->isEnabled(); }));
  EXPECT_EQ(Buttons(dlg), (V{"&Load...", "&Save", "C&heck", "&Delete", "-"}));

  struct Case {
    const char* tab;
    bool service, on_card;
    V buttons;
  } cases[] = {
      {"SRAM", false, false, {"&Backup", "&Restore", "-", "-", "-"}},
      {"File", false, false, {"&Delete", "&Format (off)", "&Refresh", "-", "-"}},
      {"System Data", true, false, {"&Load...", "&Save (off)", "C&heck (off)", "&Delete (off)", "&Initialize"}},
      {"File", true, true, {"&Delete", "&Format", "&Refresh", "-", "-"}},
      {"System Data", false, true, {"&Load...", "&Save (off)", "C&heck (off)", "&Delete (off)", "-"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.tab) + (c.service ? " service" : "") + (c.on_card ? " card" : ""));
    switches.service_mode = c.service;
    // The location is read when the console starts; the settings dialog changes it meanwhile.
    dlg.SettingsButton()->click();
    auto* location = qobject_cast<kestrel::CLocationDlg*>(dlg.Child());
    ASSERT_NE(location, nullptr);
    location->SetData(c.on_card ? 0 : 1, QString::fromStdString(folder.string() + "/"));
    location->accept();
    ASSERT_TRUE(Until([&] { return Idle(r) && !dlg.Child(); }));
    dlg.Tabs()->setCurrentIndex(TabOf(c.tab) == 0 ? 1 : 0);  // away and back: the tab is set up again
    ASSERT_TRUE(Until([&] { return Idle(r); }));
    dlg.Tabs()->setCurrentIndex(TabOf(c.tab));
    ASSERT_TRUE(Until([&] { return Idle(r); }));
    EXPECT_EQ(Buttons(dlg), c.buttons);
    EXPECT_EQ(dlg.Modules()->isVisible(), TabOf(c.tab) == 0);
    EXPECT_EQ(dlg.Log()->isVisible(), TabOf(c.tab) == 1);
    EXPECT_EQ(dlg.Files()->isVisible(), TabOf(c.tab) == 2);
  }
  EXPECT_EQ(services.profile.GetInt("Node0", "Mcard", -1), 1);

  // The board without F-ROM: no Load, no Initialize, no modules; the CNC has that board selected.
  switches.service_mode = true;
  dlg.Boards()->setCurrentIndex(2);
  ASSERT_TRUE(Until([&] { return Idle(r); }));
  EXPECT_EQ(Buttons(dlg), (V{"&Load... (off)", "&Save (off)", "C&heck (off)", "&Delete (off)", "&Initialize (off)"}));
  EXPECT_EQ(dlg.Modules()->count(), 0);
  EXPECT_NE(daemon.cncsim("status 0").out.find("board 2 OPTION"), std::string::npos);
  // Back to the main board: its module list again.
  dlg.Boards()->setCurrentIndex(0);
  ASSERT_TRUE(Until([&] { return Idle(r) && dlg.Modules()->count() == 1; }));
  EXPECT_NE(daemon.cncsim("status 0").out.find("board 0 MAIN"), std::string::npos);
  EXPECT_TRUE(prompter.shown().empty()) << Texts(prompter).front();
}

TEST_F(BootDlgTest, LoadCheckAndSaveGoThroughTheirDialogs) {
  Start(1);
  WriteLoadFile("big.rom", "BIGMOD", 0x50000);  // 3 blocks
  WriteLoadFile("other.rom", "OTHER", 0x1000);
  std::ofstream(folder / "short.rom") << std::string(500, 'x');
  Run& r = Open(0);
  CBootDlg& dlg = *r.dlg;
  ASSERT_EQ(dlg.Modules()->count(), 0);

  // A file too short for its header: while the error is shown the load dialog's status names the
  // file; afterwards it is emptied, and nothing was loaded.
  prompter.Hold("File read error.");
  ASSERT_TRUE(Press(r, dlg.Action(0)));
  auto* load = qobject_cast<kestrel::CLoadDlg*>(dlg.Child());
  ASSERT_NE(load, nullptr);
  ASSERT_TRUE(Until([&] { return load->isEnabled() && load->List()->topLevelItemCount() == 3; }));
  for (int i = 0; i < 3; ++i) load->List()->topLevelItem(i)->setSelected(load->List()->topLevelItem(i)->text(0) == "short.rom");
  load->LoadButton()->click();
  ASSERT_TRUE(Until([&] { return prompter.Holding(); }));
  EXPECT_TRUE(Until([&] { return load->Status()->text() == "Loading: short.rom"; })) << load->Status()->text().toStdString();
  EXPECT_FALSE(load->isEnabled());
  prompter.Release();
  ASSERT_TRUE(Until([&] { return load->isEnabled(); }));
  EXPECT_EQ(load->Status()->text(), "");
  EXPECT_EQ(Texts(prompter), std::vector<std::string>{"File read error."});
  EXPECT_EQ(dlg.Modules()->count(), 0);
  load->CloseButton()->click();
  ASSERT_TRUE(Until([&] { return !dlg.Child(); }));
  prompter.clear();

  ASSERT_TRUE(LoadThroughDialog(r, "big.rom"));
  ASSERT_EQ(dlg.Modules()->count(), 1);
  EXPECT_TRUE(dlg.Modules()->item(0)->text().startsWith("BIGMOD  \t(3)"));
  EXPECT_NE(daemon.cncsim("status 0").out.find("modules 1"), std::string::npos);

  dlg.Modules()->setCurrentRow(0);
  ASSERT_TRUE(Until([&] { return Idle(r) && dlg.Action(2)->isEnabled(); }));
  ASSERT_TRUE(Press(r, dlg.Action(2)));  // C&heck
  auto* text = qobject_cast<kestrel::CTextDlg*>(dlg.Child());
  ASSERT_NE(text, nullptr);
  const QStringList lines = text->Edit()->toPlainText().split('\n', Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 3) << text->Edit()->toPlainText().toStdString();
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(lines[i].startsWith(QString("%1 CRC32 ").arg(i))) << lines[i].toStdString();
  EXPECT_TRUE(text->Edit()->isReadOnly());
  text->accept();
  ASSERT_TRUE(Until([&] { return !dlg.Child(); }));

  // Save: the copy dialog shows the module and the first free name, OK writes it.
  ASSERT_TRUE(Press(r, dlg.Action(1)));
  auto* copy = qobject_cast<kestrel::CCopyDlg*>(dlg.Child());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->From()->text(), "BIGMOD");
  EXPECT_EQ(copy->To()->text(), "BIGMOD.000");
  copy->OkButton()->click();
  ASSERT_TRUE(Until([&] { return Idle(r) && !dlg.Child(); }));
  ASSERT_TRUE(std::filesystem::exists(folder / "BIGMOD.000"));
  EXPECT_EQ(std::filesystem::file_size(folder / "BIGMOD.000"), 128u + 3 * 0x20000);
  EXPECT_TRUE(prompter.shown().empty()) << Texts(prompter).front();
}

TEST_F(BootDlgTest, InitializeShowsItsBlockProgressUntilTheFailedErase) {
  // The CNC leaves the erasing to the PC; the third block refuses. While the error is shown the
  // progress text still says where it stopped; afterwards it is emptied.
  Start(1, "InitAnswer0=1\n");
  ASSERT_EQ(daemon.cncsim("fault 0 from-erase-refused on 2").status, 0);
  switches.service_mode = true;
  Run& r = Open(0);
  CBootDlg& dlg = *r.dlg;
  ASSERT_EQ(dlg.Action(4)->text(), "&Initialize");
  prompter.push_answer(moxel::Answer::yes);
  prompter.push_answer(moxel::Answer::yes);
  prompter.Hold("Flash ROM erase error.");
  dlg.Action(4)->click();
  ASSERT_TRUE(Until([&] { return prompter.Holding(); }));
  EXPECT_TRUE(Until([&] { return dlg.ProgressText()->text() == "3/24"; })) << dlg.ProgressText()->text().toStdString();
  EXPECT_FALSE(dlg.isEnabled());
  prompter.Release();
  ASSERT_TRUE(Until([&] { return Idle(r); }));
  EXPECT_EQ(dlg.ProgressText()->text(), "");
  EXPECT_EQ(Texts(prompter),
            (std::vector<std::string>{"Flash ROM initialize OK?", "ARE YOU SURE?", "Flash ROM erase error."}));
}

TEST_F(BootDlgTest, BackupShowsItsLogAndCloseLeavesTheConsole) {
  Start(1);
  Run& r = Open(0);
  CBootDlg& dlg = *r.dlg;
  ASSERT_TRUE(ToSram(r));
  prompter.push_answer(moxel::Answer::yes);  // "Backup SRAM data OK?"
  ASSERT_TRUE(Press(r, dlg.Action(0)));
  EXPECT_EQ(Texts(prompter), std::vector<std::string>{"Backup SRAM data OK?"});
  EXPECT_TRUE(dlg.Log()->text().contains("SRAM256A.MAN -> COMPLETE")) << dlg.Log()->text().toStdString();
  ASSERT_TRUE(std::filesystem::exists(folder / "SRAM256A.MAN"));
  EXPECT_EQ(std::filesystem::file_size(folder / "SRAM256A.MAN"), 256u * 1024);

  // The File tab lists it.
  dlg.Tabs()->setCurrentIndex(2);
  ASSERT_TRUE(Until([&] { return Idle(r); }));
  ASSERT_EQ(dlg.Files()->topLevelItemCount(), 1);
  EXPECT_EQ(dlg.Files()->topLevelItem(0)->text(0), "SRAM256A.MAN");
  EXPECT_EQ(dlg.Files()->topLevelItem(0)->text(1), "256KB");
  // "&Delete" removes the selected files and lists again.
  dlg.Files()->topLevelItem(0)->setSelected(true);
  ASSERT_TRUE(Press(r, dlg.Action(0)));
  EXPECT_EQ(dlg.Files()->topLevelItemCount(), 0);
  EXPECT_FALSE(std::filesystem::exists(folder / "SRAM256A.MAN"));

  // Close: leave console (0x001) answers 0, the CNC goes on loading and the PC flag bit 0 is cleared.
  cnbus::CCnbusClient cnc;
  ASSERT_EQ(cnc.SelectNode(0), 1);
  cnc.ShmWriteWord(0xD0000 + 4, 0x0005);
  dlg.CloseButton()->click();
  EXPECT_EQ(Ended(r), 0);
  EXPECT_EQ(r.result, kestrel::kConsoleResultOk);
  EXPECT_EQ(daemon.cncsim("status 0").out.find("phase console"), std::string::npos);
  EXPECT_EQ(cnc.ShmReadWord(0xD0000 + 4), 0x0004);
}

TEST_F(BootDlgTest, LinkLostWhileIdleEndsTheDialogWithResult3AndTellsTheProgram) {
  Start(1);
  Run& r = Open(0);
  ASSERT_EQ(daemon.cncsim("link 0 down").status, 0);
  EXPECT_EQ(Ended(r), 0xFFFF);
  EXPECT_EQ(r.result, kestrel::kConsoleResultFatal);
  std::lock_guard lock(lost_mutex);
  EXPECT_EQ(lost, std::vector<int>{0});
  EXPECT_TRUE(prompter.shown().empty()) << Texts(prompter).front();
}

TEST_F(BootDlgTest, AnInterfaceErrorInAJobIsShownOnceAndEndsTheDialog) {
  Start(1);
  Run& r = Open(0);
  CBootDlg& dlg = *r.dlg;
  ASSERT_TRUE(ToSram(r));
  ASSERT_EQ(daemon.cncsim("fault 0 sram-read-error on 1").status, 0);
  prompter.push_answer(moxel::Answer::yes);
  dlg.Action(0)->click();
  EXPECT_EQ(Ended(r), 0xFFFF);
  EXPECT_EQ(r.result, kestrel::kConsoleResultFatal);
  EXPECT_EQ(Texts(prompter),
            (std::vector<std::string>{"Backup SRAM data OK?", "SRAM PARITY OCCURRED.\nPLEASE POWER OFF CNC."}));
  std::lock_guard lock(lost_mutex);
  EXPECT_TRUE(lost.empty());
}

TEST_F(BootDlgTest, AFatalErrorAlsoEndsTheOpenSubDialog) {
  Start(1);
  WriteLoadFile("a.rom", "AMOD", 0x1000);
  Run& r = Open(0);
  ASSERT_TRUE(Press(r, r.dlg->Action(0)));
  QPointer<QDialog> load = r.dlg->Child();
  ASSERT_TRUE(load);
  int child_result = -1;
  QObject::connect(load, &QDialog::finished, [&](int result) { child_result = result; });
  ASSERT_EQ(daemon.cncsim("link 0 down").status, 0);
  EXPECT_EQ(Ended(r), 0xFFFF);
  EXPECT_EQ(child_result, kestrel::kConsoleResultFatal);
  EXPECT_EQ(r.result, kestrel::kConsoleResultFatal);
}

TEST_F(BootDlgTest, TwoNodesDialogsWorkAtOnce) {
  // Node 0's backup is held at its first question (its node thread waits there) and then runs
  // slowly; node 1's dialog works meanwhile.
  Start(2, "SramTime0=300\n");
  prompter.Hold("Backup SRAM data OK?");
  Run& a = Open(0);
  Run& b = Open(1);
  EXPECT_EQ(b.dlg->windowTitle(), "Kestrel32 - Node1 : Cnc1");
  ASSERT_TRUE(ToSram(a));
  prompter.push_answer(moxel::Answer::yes);
  a.dlg->Action(0)->click();
  ASSERT_TRUE(Until([&] { return prompter.Holding(); }));
  EXPECT_FALSE(a.dlg->isEnabled());

  b.dlg->Boards()->setCurrentIndex(1);
  ASSERT_TRUE(Until([&] { return Idle(b); }));
  EXPECT_NE(daemon.cncsim("status 1").out.find("board 1 SUB"), std::string::npos);
  EXPECT_TRUE(b.dlg->isEnabled());
  EXPECT_GT(a.dlg->Busy(), 0);

  prompter.Release();
  ASSERT_TRUE(Until([&] { return a.dlg->Log()->text().contains("SRAM256A.MAN -> WRITING"); }));
  EXPECT_GT(a.dlg->Busy(), 0);
  ASSERT_TRUE(Until([&] { return Idle(a); }));
  EXPECT_TRUE(a.dlg->isEnabled());
  EXPECT_TRUE(a.dlg->Log()->text().contains("SRAM256A.MAN -> COMPLETE")) << a.dlg->Log()->text().toStdString();
  b.dlg->CloseButton()->click();
  a.dlg->CloseButton()->click();
  EXPECT_EQ(Ended(b), 0);
  EXPECT_EQ(Ended(a), 0);
}

TEST_F(BootDlgTest, StopRequestClosesTheDialogWithoutLeavingTheConsole) {
  Start(1);
  Run& r = Open(0);
  r.thread->stop.Request();
  EXPECT_EQ(Ended(r), 0xFFFF);
  EXPECT_NE(daemon.cncsim("status 0").out.find("phase console"), std::string::npos);
}

}  // namespace

namespace {

// The program's own path: its node threads open the boot dialog, the open dialog greys "&End",
// and a link lost under the dialog reaches the main frame, which pops the status window up.
TEST(Kestrel32Frame, AConsoleNodeGetsTheBootDialogAndALostLinkPopsTheStatusWindowUp) {
  moxel::test::Daemon daemon{"bootdlg-frame-test"};
  daemon.configure(
      "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Mill\n"
      "[Host]\nBoard0=sim\nSocketMode=0600\n[Simulator]\nBootMode0=console\n");
  ASSERT_TRUE(daemon.start()) << daemon.error() << daemon.log();
  kestrel::CKestrelApp app;
  kestrel::CMainFrame frame(app, kestrel::CKestrelProfile(daemon.root() / "Kestrel32.conf"));
  frame.StartMonitors();
  auto boot_dialog = [] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* dlg = qobject_cast<CBootDlg*>(w); dlg && dlg->isVisible() && dlg->Busy() == 0) return dlg;
    return static_cast<CBootDlg*>(nullptr);
  };
  ASSERT_TRUE(Until(boot_dialog));
  EXPECT_EQ(boot_dialog()->windowTitle(), "Kestrel32 - Node0 : Mill");
  EXPECT_EQ(app.open_windows.load(), 1);
  QAction* end = frame.Tray().Menu().actions().back();
  ASSERT_EQ(end->text(), "&End");
  EXPECT_FALSE(end->isEnabled());
  EXPECT_EQ(frame.StatusWindow(), nullptr);

  ASSERT_EQ(daemon.cncsim("link 0 down").status, 0);
  EXPECT_TRUE(Until([&] { return frame.StatusWindow() != nullptr && !boot_dialog(); }));
  // The boot dialog is gone; the status window now counts as the open window.
  EXPECT_TRUE(Until([&] { return app.open_windows.load() == 1; }));
  frame.Shutdown();
}

}  // namespace
