// CBootConsole against the simulated boot software in a lorandd of the test's own, with a scripted
// prompter and a view that records the progress; the removable rule over a fake sysfs tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cncsim/cnc/module_header.h"
#include "cnbusclient/cnbus_client.h"
#include "kestrel/cncitf/boot_func.h"
#include "kestrel/console/boot_console.h"
#include "testsupport/temp_folder.h"
#include "testsupport/test_daemon.h"

namespace {

namespace fs = std::filesystem;
using kestrel::CBootConsole;
using kestrel::CItfErr;
using kestrel::ConsoleTab;
using moxel::Answer;
using moxel::Buttons;
using moxel::Icon;

constexpr const char* kParameters = "[Host]\nBoard0=sim\nSocketMode=0600\n[Parameters]\nIoPortAddress0=0x300\nNodeName0=Mill\n";
// The PC flags word of node 0 (communication area at 0xD0000 of shared memory) as a Cnbus address.
constexpr const char* kPcFlags = "0x20cd0004";

class RecordingView : public kestrel::IConsoleView {
 public:
  void SetStatus(const std::string& text) override { statuses.push_back(text); }
  void Pump() override { ++pumps; }
  std::vector<std::string> statuses;
  int pumps = 0;
};

std::vector<std::string> texts(const moxel::ScriptedPrompter& prompter) {
  std::vector<std::string> all;
  for (const auto& shown : prompter.shown()) all.push_back(shown.text);
  return all;
}

void write_text(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

// A fake sysfs in which /sys/dev/block/MAJ:MIN of `folder`'s device links to a disk, or to a
// partition of one, whose removable attribute is `removable`; no link at all when `link` is false.
struct FakeSysfs {
  moxel::test::TempFolder root{"fake-sysfs"};
  FakeSysfs(const fs::path& folder, bool link, bool partition, int removable) {
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0) return;
    const fs::path disk = root.path / "devices" / "pci0000:00" / "block" / "sdb";
    write_text(disk / "removable", std::to_string(removable) + "\n");
    write_text(disk / "sdb1" / "partition", "1\n");
    fs::create_directories(root.path / "dev" / "block");
    if (!link) return;
    const std::string target = partition ? "../../devices/pci0000:00/block/sdb/sdb1"
                                         : "../../devices/pci0000:00/block/sdb";
    fs::create_directory_symlink(target, root.path / "dev" / "block" /
                                             (std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev))));
  }
};

class BootConsole : public ::testing::Test {
 protected:
  moxel::test::Daemon daemon{"boot-console-test"};
  std::optional<cnbus::CCnbusClient> client;
  std::unique_ptr<kestrel::CCncItf> itf;
  moxel::ScriptedPrompter prompter;
  RecordingView view;
  bool service = false;
  bool auto_list = true;
  std::unique_ptr<kestrel::ConsoleContext> ctx;
  std::unique_ptr<CBootConsole> console;
  moxel::test::TempFolder files{"boot-console-files"};
  fs::path sysfs = "/nonexistent-sysfs";

  // A lorandd with one simulated node (`simulator` goes into its [Simulator] section), and a
  // console on it, not started yet.
  void Open(const std::string& simulator = "", int cnc_type = 1) {
    daemon.configure(std::string(kParameters) + "CncType0=" + std::to_string(cnc_type) +
                     "\n[Simulator]\n" + simulator);
    ASSERT_TRUE(daemon.start()) << daemon.error() << daemon.log();
    console.reset();  // a console of an earlier daemon goes before what it refers to
    ctx.reset();
    itf.reset();
    client.emplace();
    ASSERT_EQ(client->SelectNode(0), 1);
    itf = std::make_unique<kestrel::CCncItf>(*client);
    ctx.reset(new kestrel::ConsoleContext{*itf, prompter, view, {}, 1, {}, [this] { return service; }});
    console = MakeConsole();
  }
  std::unique_ptr<CBootConsole> MakeConsole() {
    kestrel::ConsoleOptions options;
    options.node = 0;
    options.profile = kestrel::CKestrelProfile(daemon.root() / "Kestrel32.conf");
    options.auto_list = [this] { return auto_list; };
    options.sysfs_root = sysfs;
    return std::make_unique<CBootConsole>(*ctx, std::move(options));
  }
  void Sim(const std::string& command) {
    const auto r = daemon.cncsim(command);
    ASSERT_EQ(r.status, 0) << command << ": " << r.out << r.err;
  }
  std::string SimStatus() { return daemon.cncsim("status 0").out; }

  // A module written the way the console loads one, on the board the CNC has selected.
  void LoadModule(const std::string& name, uint32_t size, uint8_t flags = 0) {
    kestrel::CBootFunc boot(*itf, &prompter);
    std::vector<uint8_t> header(kestrel::kLoadHeaderSize, 0);
    const auto head = cncsim::cnc::make_module_header({name, size, false, flags, "T1"});
    std::copy(head.begin(), head.end(), header.begin());
    int first = 0, count = 0, interleaved = 0;
    std::string shown;
    ASSERT_EQ(boot.AnnounceLoadFile(header.data(), &first, &count, &interleaved, &shown), 1);
    std::vector<uint8_t> block(kestrel::kFromBlockSize, 0x42);
    for (int b = 0; b < count; ++b) ASSERT_EQ(boot.WriteBlock(first + b, block.data()), 1);
  }
  std::vector<std::string> FileNames() const {
    std::vector<std::string> names;
    for (const auto& row : console->Files()) names.push_back(row.name);
    return names;
  }
};

TEST_F(BootConsole, StartReadsTheBoardsAndSetsUpTheFirst) {
  Open("NamingValue0=2\n");
  ASSERT_EQ(console->Start(), kestrel::kConsoleResultOk);
  EXPECT_EQ(ctx->naming_value, 2);
  EXPECT_EQ(console->BoardLines(),
            (std::vector<std::string>{" 0 MAIN      F-ROM 3.0 MB  SRAM 256 KB",
                                      " 1 SUB       F-ROM 1.0 MB  SRAM 128 KB",
                                      " 2 OPTION    F-ROM 0 KB  SRAM 128 KB"}));
  EXPECT_EQ(console->CurrentBoard(), 0);
  EXPECT_EQ(ctx->board.name, "MAIN    ");  // 8 characters, as the CNC lists them
  EXPECT_EQ(console->Tab(), ConsoleTab::system_data);
  const auto b = console->Buttons();
  EXPECT_EQ(b[0].text, "&Load...");
  EXPECT_TRUE(b[0].enabled);
  for (int i : {1, 2, 3}) EXPECT_FALSE(b[size_t(i)].enabled) << b[size_t(i)].text;  // no module selected
  EXPECT_FALSE(b[4].visible);  // "&Initialize" outside service mode
}

TEST_F(BootConsole, StartRefusedByTheCnc) {
  struct Case {
    int cnc_type;
    bool throws;  // type 3 tolerates a refused 0x002; the others raise the interface error
  };
  for (const Case c : {Case{1, true}, Case{3, false}}) {
    SCOPED_TRACE(c.cnc_type);
    if (daemon.running()) daemon.stop();
    Open("", c.cnc_type);
    Sim("fault 0 function-fails on 2");
    if (c.throws) {
      try {
        console->Start();
        ADD_FAILURE() << "Start did not raise the refusal";
      } catch (const CItfErr& e) {
        EXPECT_EQ(e.code(), 0);
        EXPECT_NE(e.text().find("Function: 2\n"), std::string::npos) << e.text();
      }
    } else {
      EXPECT_EQ(console->Start(), kestrel::kConsoleResultFatal);
    }
    EXPECT_TRUE(console->Boards().empty());
  }
}

TEST_F(BootConsole, ButtonsFollowTheBoardTabSelectionAndServiceMode) {
  Open();
  service = true;
  ASSERT_EQ(console->Start(), kestrel::kConsoleResultOk);
  LoadModule("ALPHA", 0x20000);
  console->ListModules();
  ASSERT_EQ(console->ModuleLines(), std::vector<std::string>{"ALPHA   \t(1)"});
  console->SelectModule(0);
  auto b = console->Buttons();
  for (const auto& button : b) EXPECT_TRUE(button.visible && button.enabled) << button.text;
  EXPECT_EQ(b[4].text, "&Initialize");

  // A board without F-ROM: "&Load..." and "&Initialize" disabled, an empty module list.
  console->SelectBoard(2);
  EXPECT_NE(SimStatus().find("board 2 OPTION"), std::string::npos) << SimStatus();
  EXPECT_TRUE(console->Modules().empty());
  EXPECT_EQ(console->SelectedModule(), -1);
  b = console->Buttons();
  EXPECT_FALSE(b[0].enabled);
  EXPECT_TRUE(b[4].visible);
  EXPECT_FALSE(b[4].enabled);

  console->SetTab(ConsoleTab::sram);
  b = console->Buttons();
  EXPECT_EQ(b[0].text, "&Backup");
  EXPECT_TRUE(b[0].enabled && b[1].enabled);
  EXPECT_FALSE(b[2].visible || b[3].visible || b[4].visible);

  // "&Format" only for the memory card.
  ctx->store.folder = files.path.string();
  for (int mcard : {1, 0}) {
    ctx->store.mcard = mcard;
    auto_list = false;
    console->SetTab(ConsoleTab::file);
    b = console->Buttons();
    EXPECT_EQ(b[1].text, "&Format");
    EXPECT_EQ(b[1].enabled, mcard == 1);
    EXPECT_TRUE(b[0].enabled && b[2].enabled);
  }

  // Service mode switched off shows "&Initialize" no more from the next set-up of the tab on.
  service = false;
  console->SetTab(ConsoleTab::system_data);
  EXPECT_FALSE(console->Buttons()[4].visible);
}

TEST_F(BootConsole, SwitchingBoardsSelectsOnTheCncAndSetsTheTabUpAgain) {
  Open();
  ASSERT_EQ(console->Start(), kestrel::kConsoleResultOk);
  LoadModule("ALPHA", 0x20000);
  console->SelectBoard(0);
  ASSERT_EQ(console->Modules().size(), 1u);
  console->SelectModule(0);

  console->SelectBoard(1);
  EXPECT_NE(SimStatus().find("board 1 SUB"), std::string::npos) << SimStatus();
  EXPECT_EQ(ctx->board.number, 1);
  EXPECT_TRUE(console->Modules().empty());
  EXPECT_EQ(console->SelectedModule(), -1);
  console->SelectBoard(0);
  EXPECT_NE(SimStatus().find("board 0 MAIN"), std::string::npos) << SimStatus();
  EXPECT_EQ(console->Modules().size(), 1u);

  // The File tab is listed again on a board change when listing is automatic.
  ctx->store = {0, 0, files.path.string()};
  console->SetTab(ConsoleTab::file);
  EXPECT_TRUE(console->Files().empty());
  write_text(files.path / "NEW.MAN", "x");
  console->SelectBoard(1);
  EXPECT_EQ(FileNames(), std::vector<std::string>{"NEW.MAN"});
  write_text(files.path / "OTHER.MAN", "x");
  auto_list = false;
  console->SelectBoard(0);
  EXPECT_EQ(FileNames(), std::vector<std::string>{"NEW.MAN"});
}

TEST_F(BootConsole, CheckShowsTheTextOfEveryBlockOfTheModule) {
  Open();
  ASSERT_EQ(console->Start(), kestrel::kConsoleResultOk);
  LoadModule("FIRST", 0x20000);
  LoadModule("SECOND", 0x40000);  // blocks 1 and 2
  console->ListModules();
  ASSERT_EQ(console->FindModule("SECOND"), 1);
  EXPECT_EQ(console->CheckText(), "");  // nothing selected
  console->SelectModule(1);
  // Every block that LoadModule writes holds 0x42 only: 0x20000 of them sum to 0 in 16 bits.
  const std::vector<uint8_t> block(kestrel::kFromBlockSize, 0x42);
  char line[40];
  std::snprintf(line, sizeof line, "CRC32 %08X SUM 0000\r\n", cncsim::cnc::crc32_of(block));
  EXPECT_EQ(console->CheckText(), std::string("0 ") + line + "1 " + line);
  // A block that differs shows in its own line.
  Sim("poke 0 0xE0040000 00");  // the first byte of block 2 of board 0
  const std::string text = console->CheckText();
  EXPECT_EQ(text.substr(0, text.find('\n') + 1), std::string("0 ") + line);
  EXPECT_EQ(text.find(std::string("1 ") + line), std::string::npos) << text;
}

TEST_F(BootConsole, DeleteKeepsProtectedModulesOutsideServiceMode) {
  Open();
  ASSERT_EQ(console->Start(), kestrel::kConsoleResultOk);
  struct Case {
    const char* what;
    uint8_t flags;
    bool service;
    std::vector<Answer> answers;
    std::vector<std::string> shown;
    bool deleted;
  };
  const Case cases[] = {
      {"protected", cncsim::cnc::kModuleProtected, false, {}, {"PROTECT FILE."}, false},
      {"protected, service mode", cncsim::cnc::kModuleProtected, true, {Answer::yes}, {"Delete OK?"}, true},
      {"answered No", 0, false, {Answer::no}, {"Delete OK?"}, false},
      {"unasked answer is Yes", 0, false, {}, {"Delete OK?"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LoadModule("ALPHA", 0x40000, c.flags);
    console->ListModules();
    ASSERT_EQ(console->Modules().size(), 1u);
    console->SelectModule(0);
    service = c.service;
    prompter.clear();
    for (Answer a : c.answers) prompter.push_answer(a);
    EXPECT_EQ(console->DeleteModule(), c.deleted);
    EXPECT_EQ(texts(prompter), c.shown);
    EXPECT_EQ(console->Modules().size(), c.deleted ? 0u : 1u);
  }

  // The first refused erase stops with "Delete error."; the list is rebuilt all the same (the
  // erase of the first block already ended the module).
  LoadModule("ALPHA", 0x40000);
  console->ListModules();
  console->SelectModule(0);
  Sim("fault 0 from-erase-refused on 1");
  prompter.clear();
  EXPECT_FALSE(console->DeleteModule());
  EXPECT_EQ(texts(prompter), (std::vector<std::string>{"Delete OK?", "Delete error."}));
  EXPECT_TRUE(console->Modules().empty());
}

TEST_F(BootConsole, InitializeErasesBlockByBlockAndStopsAtTheFirstFailure) {
  Open("Boards0=0,MAIN,MAN,0x100000,0x40000,0;1,OPTION,OPT,0,0x8000,0\nInitAnswer0=1\n");
  ASSERT_EQ(console->Start(), kestrel::kConsoleResultOk);
  LoadModule("ALPHA", 0x20000);

  // Outside service mode nothing is asked; declined questions (No is the default) end it.
  EXPECT_FALSE(console->Initialize());
  EXPECT_TRUE(prompter.shown().empty());
  service = true;
  struct Declined {
    std::vector<Answer> answers;
    size_t questions;
  };
  for (const Declined& d : {Declined{{}, 1}, Declined{{Answer::no}, 1}, Declined{{Answer::yes}, 2}}) {
    prompter.clear();
    for (Answer a : d.answers) prompter.push_answer(a);
    EXPECT_FALSE(console->Initialize());
    ASSERT_EQ(prompter.shown().size(), d.questions);
    EXPECT_EQ(prompter.shown()[0].text, "Flash ROM initialize OK?");
    if (d.questions == 2) {
      EXPECT_EQ(prompter.shown()[1].text, "ARE YOU SURE?");
    }
    for (const auto& s : prompter.shown()) EXPECT_EQ(s.buttons, Buttons::yes_no);
    EXPECT_TRUE(view.statuses.empty());
  }
  console->ListModules();
  EXPECT_EQ(console->Modules().size(), 1u);  // nothing was asked of the CNC

  Sim("fault 0 from-erase-refused on 2");
  prompter.clear();
  prompter.push_answer(Answer::yes);
  prompter.push_answer(Answer::yes);
  EXPECT_FALSE(console->Initialize());
  EXPECT_EQ(view.statuses, (std::vector<std::string>{"1/8", "2/8", "3/8", ""}));
  EXPECT_EQ(view.pumps, 2);
  EXPECT_EQ(texts(prompter), (std::vector<std::string>{"Flash ROM initialize OK?", "ARE YOU SURE?",
                                                       "Flash ROM erase error."}));
  EXPECT_TRUE(console->Modules().empty());

  // A board without F-ROM is not initialised, as its button is disabled.
  prompter.clear();
  console->SelectBoard(1);
  ASSERT_EQ(ctx->board.from_size, 0u);
  EXPECT_FALSE(console->Initialize());
  EXPECT_TRUE(prompter.shown().empty());
  console->SelectBoard(0);

  Sim("fault 0 from-erase-refused off");
  view.statuses.clear();
  prompter.clear();
  prompter.push_answer(Answer::yes);
  prompter.push_answer(Answer::yes);
  EXPECT_TRUE(console->Initialize());
  ASSERT_EQ(view.statuses.size(), 9u);
  EXPECT_EQ(view.statuses[7], "8/8");
  EXPECT_EQ(view.statuses[8], "");
  EXPECT_EQ(texts(prompter).back(), "Flash ROM initialize complete.");
}

TEST_F(BootConsole, InitializeLeftToTheCncOrRefusedByIt) {
  Open();
  service = true;
  ASSERT_EQ(console->Start(), kestrel::kConsoleResultOk);
  struct Case {
    bool refused;
    const char* message;
    bool done;
  };
  for (const Case& c : {Case{false, "Flash ROM initialize complete.", true},
                        Case{true, "Flash ROM erase error.", false}}) {
    SCOPED_TRACE(c.message);
    LoadModule("ALPHA", 0x20000);
    // The CNC's own erase failing at block 0 answers status 2: neither done nor left to the PC.
    Sim(c.refused ? "fault 0 from-erase-refused on 0" : "fault 0 from-erase-refused off");
    prompter.clear();
    prompter.push_answer(Answer::yes);
    prompter.push_answer(Answer::yes);
    EXPECT_EQ(console->Initialize(), c.done);
    EXPECT_EQ(texts(prompter).back(), c.message);
    EXPECT_TRUE(console->Modules().empty());
  }
}

TEST_F(BootConsole, LostLinkRaisesCodeOneAndCloseStillEnds) {
  Open();
  ASSERT_EQ(console->Start(), kestrel::kConsoleResultOk);
  EXPECT_NO_THROW(console->CheckLink());
  Sim("link 0 down");
  int lost = 0;
  try {
    console->CheckLink();
    ADD_FAILURE() << "the lost link went unnoticed";
  } catch (const CItfErr& e) {
    EXPECT_EQ(e.code(), 1);
    kestrel::HandleItfError(e, prompter, [&] { ++lost; });
  }
  EXPECT_EQ(lost, 1);
  EXPECT_TRUE(prompter.shown().empty());
  EXPECT_EQ(console->Close(), 0xFFFF);
}

TEST(BootConsoleErrors, EachCodeIsShownAsTheConsoleShowsIt) {
  struct Case {
    int code;
    std::string text;
    Icon icon;
  };
  const Case cases[] = {
      {0, "the CNC refused", Icon::exclamation},
      {2, "CNC boot software is not running.\nBoot process will be aborted.", Icon::stop},
      {3, "SRAM PARITY OCCURRED.\nPLEASE POWER OFF CNC.", Icon::stop},
      {5, "SRAM UNCORRECTABLE ERROR.\nREPLACE SRAM.", Icon::stop},
      {8, "SRAM DATA RESTORE ERROR.", Icon::stop},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    moxel::ScriptedPrompter prompter;
    int lost = 0;
    kestrel::HandleItfError(CItfErr(c.code, c.code == 0 ? c.text : ""), prompter, [&] { ++lost; });
    ASSERT_EQ(prompter.shown().size(), 1u);
    EXPECT_EQ(prompter.shown()[0].caption, "Kestrel32");
    EXPECT_EQ(prompter.shown()[0].text, c.text);
    EXPECT_EQ(prompter.shown()[0].icon, c.icon);
    EXPECT_EQ(lost, 0);
  }
  moxel::ScriptedPrompter prompter;
  kestrel::HandleItfError(CItfErr(1), prompter);  // no callback: nothing at all
  EXPECT_TRUE(prompter.shown().empty());
}

TEST_F(BootConsole, CloseSelectsBoardZeroLeavesTheConsoleAndClearsThePcFlag) {
  Open();
  ASSERT_EQ(console->Start(), kestrel::kConsoleResultOk);
  console->SelectBoard(1);
  Sim(std::string("poke 0 ") + kPcFlags + " 0500");

  // A CNC that will not leave its console: board 0 selected, 0x001's status returned, flag kept.
  Sim("fault 0 function-fails on 1");
  EXPECT_EQ(console->Close(), 1);
  EXPECT_NE(SimStatus().find("board 0 MAIN"), std::string::npos) << SimStatus();
  EXPECT_EQ(daemon.cncsim(std::string("peek 0 ") + kPcFlags + " 2").out, "0500\n");

  Sim("fault 0 function-fails off");
  EXPECT_EQ(console->Close(), 0);
  EXPECT_EQ(daemon.cncsim(std::string("peek 0 ") + kPcFlags + " 2").out, "0400\n");
}

TEST(BootConsoleRemovable, FolderOnARemovableBlockDevice) {
  moxel::test::TempFolder folder{"removable-rule"};
  struct Case {
    const char* what;
    bool link, partition;
    int removable;
    int expected;
  };
  const Case cases[] = {
      {"removable disk", true, false, 1, 1},
      {"partition of a removable disk", true, true, 1, 1},
      {"fixed disk", true, false, 0, 0},
      {"partition of a fixed disk", true, true, 0, 0},
      {"no block device", false, false, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeSysfs sysfs(folder.path, c.link, c.partition, c.removable);
    EXPECT_EQ(kestrel::FolderOnRemovableDevice(folder.path.string(), sysfs.root.path), c.expected);
    EXPECT_EQ(kestrel::FolderOnRemovableDevice((folder.path / "missing").string(), sysfs.root.path), 0);
    EXPECT_EQ(kestrel::FolderOnRemovableDevice("c:\\", sysfs.root.path), 0);
  }
}

TEST_F(BootConsole, LocationIsStoredInTheNodeSection) {
  FakeSysfs removable(files.path, true, true, 1);
  sysfs = removable.root.path;
  Open();
  ASSERT_EQ(console->Start(), kestrel::kConsoleResultOk);
  EXPECT_EQ(ctx->store.mcard, 1);  // the defaults of a node without settings
  EXPECT_EQ(ctx->store.removable, 1);
  EXPECT_EQ(ctx->store.folder, "c:\\");

  const kestrel::CKestrelProfile profile(daemon.root() / "Kestrel32.conf");
  struct Case {
    bool card;
    std::string folder;
    int removable;
  };
  for (const Case& c : {Case{false, files.path.string(), 1}, Case{false, "/proc", 0},
                        Case{true, files.path.string(), 1}}) {
    SCOPED_TRACE(c.folder + (c.card ? " card" : ""));
    ASSERT_TRUE(console->ApplyLocation(c.card, c.folder));
    EXPECT_EQ(profile.GetInt("Node0", "Mcard", -1), c.card ? 1 : 0);
    EXPECT_EQ(profile.GetInt("Node0", "Removable", -1), c.removable);
    EXPECT_EQ(profile.GetString("Node0", "Folder"), c.folder);
    // A console opened later reads them back.
    auto again = MakeConsole();
    EXPECT_EQ(ctx->store.mcard, c.card ? 1 : 0);
    EXPECT_EQ(ctx->store.removable, c.removable);
  }

  // With the File tab current, the new location is listed at once.
  ASSERT_TRUE(console->ApplyLocation(false, files.path.string()));
  console->SetTab(ConsoleTab::file);
  EXPECT_TRUE(console->Files().empty());
  moxel::test::TempFolder other{"boot-console-other"};
  write_text(other.path / "A.MAN", "a");
  ASSERT_TRUE(console->ApplyLocation(false, other.path.string()));
  EXPECT_EQ(FileNames(), std::vector<std::string>{"A.MAN"});
}

TEST_F(BootConsole, FileTabListsDeletesAndFormats) {
  Open();
  ASSERT_EQ(console->Start(), kestrel::kConsoleResultOk);
  ctx->store = {0, 0, files.path.string()};
  write_text(files.path / "SRAM1.MAN", std::string(1025, 's'));
  write_text(files.path / "EMPTY.MAN", "");
  fs::create_directory(files.path / "folder");
  console->SetTab(ConsoleTab::file);
  ASSERT_EQ(console->Files().size(), 2u);
  EXPECT_EQ(console->Files()[0].name, "EMPTY.MAN");
  EXPECT_EQ(console->Files()[0].size, "0KB");
  EXPECT_EQ(console->Files()[1].name, "SRAM1.MAN");
  EXPECT_EQ(console->Files()[1].size, "2KB");
  EXPECT_FALSE(console->Files()[1].date.empty());

  EXPECT_TRUE(console->DeleteFiles({"SRAM1.MAN"}));
  EXPECT_FALSE(fs::exists(files.path / "SRAM1.MAN"));
  EXPECT_EQ(FileNames(), std::vector<std::string>{"EMPTY.MAN"});
  // A store that cannot be opened empties the list.
  ctx->store.folder = (files.path / "missing").string();
  EXPECT_FALSE(console->DeleteFiles({"EMPTY.MAN"}));
  EXPECT_TRUE(console->Files().empty());
  EXPECT_TRUE(fs::exists(files.path / "EMPTY.MAN"));

  // The memory card: Load's check, write protection, "Format OK?" with No as the default.
  EXPECT_TRUE(console->CheckCardForLoad());  // a folder needs no card
  ctx->store.mcard = 1;
  Sim("card 0 remove");
  prompter.clear();
  prompter.push_answer(Answer::cancel);
  EXPECT_FALSE(console->CheckCardForLoad());
  EXPECT_EQ(texts(prompter), std::vector<std::string>{"Memory card is not attached to CNC."});
  Sim("card 0 insert");
  prompter.clear();
  EXPECT_TRUE(console->CheckCardForLoad());
  EXPECT_TRUE(prompter.shown().empty());

  Sim("card 0 protect on");
  EXPECT_FALSE(console->FormatCard());
  EXPECT_EQ(texts(prompter), std::vector<std::string>{"Memory card is protected.\nTurn off the protect switch."});
  Sim("card 0 protect off");
  Sim("card 0 unformatted");
  prompter.clear();
  EXPECT_FALSE(console->FormatCard());  // the unasked answer is No
  EXPECT_EQ(texts(prompter), std::vector<std::string>{"Format OK?"});
  prompter.clear();
  prompter.push_answer(Answer::yes);
  EXPECT_TRUE(console->FormatCard());
  EXPECT_EQ(texts(prompter), std::vector<std::string>{"Format OK?"});
  EXPECT_TRUE(console->Files().empty());
  console->ListFiles();  // a formatted card opens without a word
  EXPECT_EQ(texts(prompter), std::vector<std::string>{"Format OK?"});
}

}  // namespace
