// The boot console's transfers against the simulated boot software in a lorandd of the test's own:
// the questions answered and the texts recorded by a scripted prompter, the log and progress by a
// recording view, the files in a folder (or on the simulated memory card) and the CNC's SRAM and
// F-ROM read back through CBootFunc.
#include "kestrel/console/transfers.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>

#include "cnbusclient/cnbus_client.h"
#include "cncsim/cnc/module_header.h"
#include "kestrel/cncitf/boot_func.h"
#include "kestrel/cncitf/itf_err.h"
#include "kestrel/console/tables.h"
#include "testsupport/test_daemon.h"

namespace {

namespace fs = std::filesystem;
using kestrel::CBootFunc;
using kestrel::ConsoleContext;
using kestrel::TransferOutcome;
using moxel::Answer;

constexpr uint32_t kMiB = 0x100000;
constexpr uint32_t kPart = 0x80000;

// Board 0: 8 MB F-ROM, 1 MB SRAM; board 1: 256 KB SRAM; both with the extension "xyz".
constexpr const char* kConfig =
    "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Mill\n"
    "[Host]\nBoard0=sim\nSocketMode=0600\n"
    "[Simulator]\nBoards0=0,MAIN,xyz,0x800000,0x100000,0x5;1,SMALL,xyz,0x100000,0x40000,0x100\n";

std::vector<uint8_t> file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const fs::path& path, const std::vector<uint8_t>& data) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

// Bytes that differ from block to block and from seed to seed.
std::vector<uint8_t> pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> data(size);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t& b : data) {
    x = x * 1103515245u + 12345u;
    b = uint8_t(x >> 16);
  }
  return data;
}

std::vector<std::string> folder_files(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class RecordingView : public kestrel::IConsoleView {
 public:
  std::vector<std::string> logs, statuses;
  int range = -1, top = 0;
  std::function<void()> on_pump;
  void SetLog(const std::string& text) override { logs.push_back(text); }
  void SetStatus(const std::string& text) override { statuses.push_back(text); }
  void SetProgressRange(int r) override { range = r; }
  void SetProgress(int p) override { top = std::max(top, p); }
  void Pump() override {
    if (on_pump) on_pump();
  }
};

// A scripted prompter that can also act when a text is asked (to change the medium, say).
class HookedPrompter : public moxel::ScriptedPrompter {
 public:
  std::function<void(const std::string&)> on_ask;
  Answer ask(const std::string& caption, const std::string& text, moxel::Buttons buttons,
             moxel::Icon icon, Answer preset) override {
    if (on_ask) on_ask(text);
    return ScriptedPrompter::ask(caption, text, buttons, icon, preset);
  }
};

class Transfers : public ::testing::Test {
 protected:
  moxel::test::Daemon daemon{"transfers-test"};
  std::unique_ptr<cnbus::CCnbusClient> client;
  std::unique_ptr<kestrel::CCncItf> itf;
  HookedPrompter prompter;
  RecordingView view;
  std::unique_ptr<ConsoleContext> ctx;
  fs::path folder;

  void SetUp() override {
    daemon.configure(kConfig);
    ASSERT_TRUE(daemon.start()) << daemon.error() << daemon.log();
    client = std::make_unique<cnbus::CCnbusClient>();
    ASSERT_EQ(client->SelectNode(0), 1);
    itf = std::make_unique<kestrel::CCncItf>(*client);
    folder = daemon.root() / "files";
    fs::create_directories(folder);
    ctx = std::make_unique<ConsoleContext>(ConsoleContext{*itf, prompter, view, {}, 1, {}});
    ctx->store = {0, 0, folder.string()};
    use_board(0);
  }

  void use_board(int number) {
    const auto boards = kestrel::ReadBoards(*itf);
    ASSERT_GT(boards.size(), size_t(number));
    ctx->board = boards[number];
    itf->Call(0x005, uint16_t(number), 0, 0, 0, 1);
    ASSERT_EQ(itf->Status(), 0);
  }

  std::vector<uint8_t> sram() {
    std::vector<uint8_t> all(ctx->board.sram_size);
    CBootFunc boot(*itf);
    for (uint32_t at = 0; at < all.size(); at += kestrel::kSramBlockSize)
      boot.ReadSramBlock(ctx->board.sram_code, all.data() + at, int(at / kestrel::kSramBlockSize));
    return all;
  }

  std::vector<uint8_t> fill_sram(uint32_t seed) {
    std::vector<uint8_t> all = pattern(ctx->board.sram_size, seed);
    CBootFunc boot(*itf);
    for (uint32_t at = 0; at < all.size(); at += kestrel::kSramBlockSize)
      boot.WriteSramBlock(ctx->board.sram_code, all.data() + at, int(at / kestrel::kSramBlockSize));
    return all;
  }

  std::vector<uint8_t> from_block(int block) {
    std::vector<uint8_t> data(kestrel::kFromBlockSize);
    CBootFunc(*itf).ReadBlock(block, data.data());
    return data;
  }

  // A load file: the module header, then `size` bytes of data.
  std::vector<uint8_t> load_file(const std::string& name, uint32_t size, bool interleaved, uint32_t seed,
                                 uint8_t flags = 0) {
    const auto head = cncsim::cnc::make_module_header({name, size, interleaved, flags, "V1"});
    std::vector<uint8_t> file(head.begin(), head.end());
    const std::vector<uint8_t> data = pattern(size, seed);
    file.insert(file.end(), data.begin(), data.end());
    return file;
  }

  std::vector<std::string> texts() const {
    std::vector<std::string> out;
    for (const auto& s : prompter.shown()) out.push_back(s.text);
    return out;
  }
  bool shown(const std::string& text) const {
    const auto all = texts();
    return std::find(all.begin(), all.end(), text) != all.end();
  }
  std::string sim(const std::string& args) {
    const auto r = daemon.cncsim(args);
    EXPECT_EQ(r.status, 0) << "cncsim " << args << ": " << r.err;
    return r.out;
  }
  kestrel::ModuleRecord module_named(const std::string& name) {
    for (const auto& m : kestrel::ReadModules(*itf))
      if (m.name.substr(0, m.name.find_last_not_of(' ') + 1) == name) return m;
    ADD_FAILURE() << "no module " << name;
    return {};
  }
};

TEST(BackupFileName, NamesFollowTheNamingValueAndSize) {
  struct Case {
    uint16_t naming;
    uint32_t sram;
    const char* ext;
    int part;
    const char* name;
  } cases[] = {
      {1, 0x40000, "xyz", 0, "SRAM256A.xyz"},   {1, kMiB, "xyz", 0, "SRAM1_0A.xyz"},
      {1, kMiB, "xyz", 1, "SRAM1_0B.xyz"},      {0, kMiB, "xyz", 0, "FILE1.xyz"},
      {0, kMiB, "xyz", 1, "FILE2.xyz"},         {7, 0x8000, "", 0, "SRAM32A."},
      {1, 0x180000, "MAN", 2, "SRAM1_5C.MAN"},  {1, 0x78000, "x", 0, "SRAM480A.x"},
      {1, 16 * kMiB, "xyz", 0, "SRAM1_.0A.xyz"},  // from 10 MB the sixth character is a digit
  };
  for (const Case& c : cases)
    EXPECT_EQ(kestrel::BackupFileName(c.naming, c.sram, c.ext, c.part), c.name) << c.name;
  EXPECT_EQ(kestrel::BackupPartSize(0x40000), 0x40000u);
  EXPECT_EQ(kestrel::BackupPartSize(4 * kMiB), kPart);
}

TEST_F(Transfers, BackupThenRestoreGivesTheSramBack) {
  const std::vector<uint8_t> saved = fill_sram(1);
  prompter.push_answer(Answer::yes);
  ASSERT_EQ(kestrel::BackupSram(*ctx), TransferOutcome::done) << ::testing::PrintToString(texts());
  EXPECT_EQ(texts(), std::vector<std::string>{"Backup SRAM data OK?"});
  EXPECT_EQ(folder_files(folder), (std::vector<std::string>{"SRAM1_0A.xyz", "SRAM1_0B.xyz"}));
  const auto a = file_bytes(folder / "SRAM1_0A.xyz"), b = file_bytes(folder / "SRAM1_0B.xyz");
  EXPECT_TRUE(std::equal(a.begin(), a.end(), saved.begin()) && a.size() == kPart);
  EXPECT_TRUE(std::equal(b.begin(), b.end(), saved.begin() + kPart) && b.size() == kPart);
  ASSERT_FALSE(view.logs.empty());
  EXPECT_EQ(view.logs.front(), "SRAM1_0A.xyz -> WRITING ");
  EXPECT_NE(std::find(view.logs.begin(), view.logs.end(), "SRAM1_0A.xyz -> COMPLETE\nSRAM1_0B.xyz -> WRITING "),
            view.logs.end());
  EXPECT_EQ(view.logs.back(), "SRAM1_0A.xyz -> COMPLETE\nSRAM1_0B.xyz -> COMPLETE\n");
  std::string why;
  EXPECT_TRUE(kestrel::VerifySramBackup(*ctx, &why)) << why;

  // The SRAM changes; the backup no longer matches, and the restore brings it back.
  fill_sram(2);
  EXPECT_FALSE(kestrel::VerifySramBackup(*ctx, &why));
  EXPECT_NE(why.find("SRAM1_0A.xyz: byte 0"), std::string::npos) << why;
  prompter.clear();
  view.logs.clear();
  prompter.push_answer(Answer::yes);
  ASSERT_EQ(kestrel::RestoreSram(*ctx), TransferOutcome::done) << ::testing::PrintToString(texts());
  EXPECT_EQ(texts(), std::vector<std::string>{"Restore SRAM data OK?"});
  EXPECT_TRUE(sram() == saved);
  EXPECT_NE(std::find(view.logs.begin(), view.logs.end(), "SRAM1_0A.xyz -> COMPLETE\nSRAM1_0B.xyz -> READING"),
            view.logs.end());
  EXPECT_EQ(view.logs.back(), "SRAM1_0A.xyz -> COMPLETE\nSRAM1_0B.xyz -> COMPLETE\n");

  // Answered No, neither does anything.
  fill_sram(3);
  prompter.push_answer(Answer::no);
  EXPECT_EQ(kestrel::RestoreSram(*ctx), TransferOutcome::declined);
  prompter.push_answer(Answer::no);
  EXPECT_EQ(kestrel::BackupSram(*ctx), TransferOutcome::declined);
  EXPECT_TRUE(file_bytes(folder / "SRAM1_0A.xyz") == a);
  EXPECT_TRUE(sram() == pattern(kMiB, 3));
}

// The check of a backup against the SRAM names the first byte that differs, a file that ends
// early and one that goes on past its part.
TEST_F(Transfers, VerifyNamesTheFirstDifferenceAndAWrongLength) {
  const std::vector<uint8_t> saved = fill_sram(6);
  prompter.push_answer(Answer::yes);
  ASSERT_EQ(kestrel::BackupSram(*ctx), TransferOutcome::done);
  const fs::path a = folder / "SRAM1_0A.xyz", b = folder / "SRAM1_0B.xyz";
  const std::vector<uint8_t> good_b = file_bytes(b);
  auto write = [](const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  };
  std::vector<uint8_t> changed = good_b;
  changed[0x8005] ^= 0xFF;
  write(b, changed);
  char expected[80];
  std::snprintf(expected, sizeof expected, "SRAM1_0B.xyz: byte 32773 holds %02x, the SRAM %02x",
                unsigned(changed[0x8005]), unsigned(saved[kPart + 0x8005]));
  std::string why;
  EXPECT_FALSE(kestrel::VerifySramBackup(*ctx, &why));
  EXPECT_EQ(why, expected);

  changed = good_b;
  changed.push_back(0);
  write(b, changed);
  EXPECT_FALSE(kestrel::VerifySramBackup(*ctx, &why));
  EXPECT_EQ(why, "SRAM1_0B.xyz: longer than its 524288 bytes");

  fs::resize_file(a, kPart - 100);
  EXPECT_FALSE(kestrel::VerifySramBackup(*ctx, &why));
  EXPECT_EQ(why, "SRAM1_0A.xyz: ends at byte 524188 of 524288");
}

TEST_F(Transfers, BackupNamesItsFilesByBoardAndNamingValue) {
  struct Case {
    int board;
    uint16_t naming;
    std::vector<std::string> files;
  } cases[] = {
      {1, 1, {"SRAM256A.xyz"}},
      {0, 0, {"FILE1.xyz", "FILE2.xyz"}},
  };
  for (const Case& c : cases) {
    fs::remove_all(folder);
    fs::create_directories(folder);
    use_board(c.board);
    ctx->naming_value = c.naming;
    const auto saved = fill_sram(10 + c.board);
    prompter.push_answer(Answer::yes);
    EXPECT_EQ(kestrel::BackupSram(*ctx), TransferOutcome::done);
    EXPECT_EQ(folder_files(folder), c.files);
    std::vector<uint8_t> joined;
    for (const auto& f : c.files) {
      const auto bytes = file_bytes(folder / f);
      joined.insert(joined.end(), bytes.begin(), bytes.end());
    }
    EXPECT_TRUE(joined == saved) << c.files[0];
  }
}

TEST_F(Transfers, OverwriteIsAskedForTheFirstPartOnly) {
  fill_sram(1);
  prompter.push_answer(Answer::yes);
  ASSERT_EQ(kestrel::BackupSram(*ctx), TransferOutcome::done);
  const auto old_a = file_bytes(folder / "SRAM1_0A.xyz");

  // No keeps the old files and ends the backup (the folder is not removable).
  const auto changed = fill_sram(2);
  prompter.clear();
  prompter.push_answer(Answer::yes);
  prompter.push_answer(Answer::no);
  EXPECT_EQ(kestrel::BackupSram(*ctx), TransferOutcome::failed);
  EXPECT_EQ(texts(), (std::vector<std::string>{"Backup SRAM data OK?", "Backup file overwrite OK?"}));
  EXPECT_EQ(view.logs.back(), "SRAM1_0A.xyz -> FAIL");
  EXPECT_TRUE(file_bytes(folder / "SRAM1_0A.xyz") == old_a);

  // Yes replaces both parts, asking once.
  prompter.clear();
  prompter.push_answer(Answer::yes);
  prompter.push_answer(Answer::yes);
  EXPECT_EQ(kestrel::BackupSram(*ctx), TransferOutcome::done);
  EXPECT_EQ(texts(), (std::vector<std::string>{"Backup SRAM data OK?", "Backup file overwrite OK?"}));
  std::string why;
  EXPECT_TRUE(kestrel::VerifySramBackup(*ctx, &why)) << why;
  EXPECT_EQ(folder_files(folder), (std::vector<std::string>{"SRAM1_0A.xyz", "SRAM1_0B.xyz"}));
}

TEST_F(Transfers, LinkLostInTheMiddleOfABackupKeepsThePreviousBackup) {
  const auto first = fill_sram(1);
  prompter.push_answer(Answer::yes);
  ASSERT_EQ(kestrel::BackupSram(*ctx), TransferOutcome::done);
  const auto new_sram = fill_sram(2);

  // The link goes down after four blocks of the second part were written to its new file.
  int pumps = 0;
  view.on_pump = [&] {
    if (++pumps == 16 + 4) sim("link 0 down");
  };
  prompter.push_answer(Answer::yes);
  prompter.push_answer(Answer::yes);
  try {
    kestrel::BackupSram(*ctx);
    FAIL() << "the lost link was not reported";
  } catch (const kestrel::CItfErr& e) {
    EXPECT_EQ(e.code(), 1);
  }
  // The first part was replaced whole; the second is still the previous backup; nothing else.
  EXPECT_EQ(folder_files(folder), (std::vector<std::string>{"SRAM1_0A.xyz", "SRAM1_0B.xyz"}));
  const auto a = file_bytes(folder / "SRAM1_0A.xyz"), b = file_bytes(folder / "SRAM1_0B.xyz");
  EXPECT_TRUE(a.size() == kPart && std::equal(a.begin(), a.end(), new_sram.begin()));
  EXPECT_TRUE(b.size() == kPart && std::equal(b.begin(), b.end(), first.begin() + kPart));
}

// Writes beyond `bytes` fail in this process (as on a full disk) while it lives.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    old_handler_ = ::signal(SIGXFSZ, SIG_IGN);
    set(bytes);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    ::signal(SIGXFSZ, old_handler_);
  }
  void set(rlim_t bytes) {
    rlimit limit = old_;
    limit.rlim_cur = std::min(bytes, old_.rlim_max);
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  void lift() { ::setrlimit(RLIMIT_FSIZE, &old_); }

 private:
  rlimit old_{};
  sighandler_t old_handler_;
};

TEST_F(Transfers, FullRemovableFolderKeepsTheOldFileAndYesWritesThePartAgain) {
  const auto first = fill_sram(1);
  prompter.push_answer(Answer::yes);
  ASSERT_EQ(kestrel::BackupSram(*ctx), TransferOutcome::done);
  fill_sram(2);
  ctx->store.removable = 1;
  prompter.clear();

  FileSizeLimit limit(kPart / 2);
  std::vector<uint8_t> a_when_asked;
  prompter.on_ask = [&](const std::string& text) {
    if (text != "Change disk then continue?") return;
    a_when_asked = file_bytes(folder / "SRAM1_0A.xyz");
    limit.lift();  // the operator puts in a disk with room
  };
  for (int i = 0; i < 4; ++i) prompter.push_answer(Answer::yes);
  EXPECT_EQ(kestrel::BackupSram(*ctx), TransferOutcome::done);
  // The first part written again is still the first part: its overwrite question comes again.
  EXPECT_EQ(texts(), (std::vector<std::string>{"Backup SRAM data OK?", "Backup file overwrite OK?",
                                               "Disk is full.", "Change disk then continue?",
                                               "Backup file overwrite OK?"}));
  EXPECT_TRUE(a_when_asked.size() == kPart && std::equal(a_when_asked.begin(), a_when_asked.end(), first.begin()))
      << "the old first part did not survive the full disk";
  EXPECT_NE(std::find(view.logs.begin(), view.logs.end(), "SRAM1_0A.xyz -> FAIL"), view.logs.end());
  EXPECT_EQ(view.logs.back(), "SRAM1_0A.xyz -> COMPLETE\nSRAM1_0B.xyz -> COMPLETE\n");
  std::string why;
  EXPECT_TRUE(kestrel::VerifySramBackup(*ctx, &why)) << why;
  EXPECT_EQ(folder_files(folder), (std::vector<std::string>{"SRAM1_0A.xyz", "SRAM1_0B.xyz"}));
}

TEST_F(Transfers, MissingFolderEndsTheBackupWithoutTheChangeQuestion) {
  fill_sram(1);
  ctx->store.removable = 1;
  fs::remove_all(folder);
  prompter.push_answer(Answer::yes);
  EXPECT_EQ(kestrel::BackupSram(*ctx), TransferOutcome::failed);
  const std::vector<std::string> shown = texts();
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.front(), "Backup SRAM data OK?");
  EXPECT_EQ(std::count(shown.begin(), shown.end(), std::string("Change disk then continue?")), 0);
  EXPECT_EQ(view.logs.back(), "SRAM1_0A.xyz -> FAIL");
  EXPECT_FALSE(fs::exists(folder));
}

TEST_F(Transfers, FullCardAsksToChangeItAndYesWritesThePartAgain) {
  ctx->store = {1, 1, ""};
  const auto saved = fill_sram(4);
  sim("card 0 capacity 800000");  // room for the first part only
  prompter.on_ask = [&](const std::string& text) {
    if (text == "Change memory card then continue?") sim("card 0 capacity 4000000");
  };
  for (Answer a : {Answer::yes, Answer::yes, Answer::yes}) prompter.push_answer(a);
  EXPECT_EQ(kestrel::BackupSram(*ctx), TransferOutcome::done);
  const auto t = texts();
  EXPECT_EQ(t.front(), "Backup SRAM data OK?");
  EXPECT_TRUE(shown("Memory card is full.")) << ::testing::PrintToString(t);
  EXPECT_EQ(t.back(), "Change memory card then continue?");
  EXPECT_NE(std::find(view.logs.begin(), view.logs.end(), "SRAM1_0A.xyz -> COMPLETE\nSRAM1_0B.xyz -> FAIL"),
            view.logs.end());
  // The card keeps its names in capitals.
  const auto a = file_bytes(daemon.state_dir() / "node0" / "card" / "SRAM1_0A.XYZ");
  const auto b = file_bytes(daemon.state_dir() / "node0" / "card" / "SRAM1_0B.XYZ");
  EXPECT_TRUE(a.size() == kPart && std::equal(a.begin(), a.end(), saved.begin()));
  EXPECT_TRUE(b.size() == kPart && std::equal(b.begin(), b.end(), saved.begin() + kPart));
}

TEST_F(Transfers, TruncatedPartFailsTheRestoreLoudly) {
  const auto saved = fill_sram(1);
  prompter.push_answer(Answer::yes);
  ASSERT_EQ(kestrel::BackupSram(*ctx), TransferOutcome::done);
  fs::resize_file(folder / "SRAM1_0B.xyz", kPart - 40000);
  const auto other = fill_sram(2);
  prompter.clear();
  prompter.push_answer(Answer::yes);
  EXPECT_EQ(kestrel::RestoreSram(*ctx), TransferOutcome::failed);
  EXPECT_EQ(view.logs.back(), "SRAM1_0A.xyz -> COMPLETE\nSRAM1_0B.xyz -> FAIL");
  const auto t = texts();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_NE(t[1].find("SRAM1_0B.xyz"), std::string::npos) << t[1];
  EXPECT_NE(t[1].find("40000 bytes"), std::string::npos) << t[1];
  // What the file held in whole blocks is written; the block it ends in is not.
  const uint32_t whole = (kPart - 40000) / kestrel::kSramBlockSize * kestrel::kSramBlockSize;
  const auto now = sram();
  EXPECT_TRUE(std::equal(now.begin(), now.begin() + kPart + whole, saved.begin()));
  EXPECT_TRUE(std::equal(now.begin() + kPart + whole, now.end(), other.begin() + kPart + whole));
}

TEST_F(Transfers, RestoreWithTheSecondPartMissingEndsAfterTheFirst) {
  const auto saved = fill_sram(1);
  prompter.push_answer(Answer::yes);
  ASSERT_EQ(kestrel::BackupSram(*ctx), TransferOutcome::done);
  fs::remove(folder / "SRAM1_0B.xyz");
  const auto other = fill_sram(2);

  prompter.clear();
  prompter.push_answer(Answer::yes);
  EXPECT_EQ(kestrel::RestoreSram(*ctx), TransferOutcome::failed);
  EXPECT_EQ(texts(), (std::vector<std::string>{"Restore SRAM data OK?", "File SRAM1_0B.xyz not found."}));
  EXPECT_EQ(view.logs.back(), "SRAM1_0A.xyz -> COMPLETE\nSRAM1_0B.xyz -> FAIL");
  const auto now = sram();
  EXPECT_TRUE(std::equal(now.begin(), now.begin() + kPart, saved.begin()));
  EXPECT_TRUE(std::equal(now.begin() + kPart, now.end(), other.begin() + kPart));

  // On a removable medium the question comes; No ends there too.
  ctx->store.removable = 1;
  prompter.clear();
  prompter.push_answer(Answer::yes);
  prompter.push_answer(Answer::no);
  EXPECT_EQ(kestrel::RestoreSram(*ctx), TransferOutcome::failed);
  EXPECT_EQ(texts(), (std::vector<std::string>{"Restore SRAM data OK?",
                                               "File SRAM1_0B.xyz not found.\nChange disk then continue?"}));
}

TEST_F(Transfers, SaveThenLoadOfAnInterleavedModuleGivesTheSameBlocks) {
  const auto file = load_file("PMC", 4 * kestrel::kFromBlockSize, true, 7);
  write_bytes(folder / "pmc.bin", file);
  ASSERT_EQ(kestrel::LoadModuleFiles(*ctx, {"pmc.bin"}), 1) << ::testing::PrintToString(texts());
  EXPECT_EQ(view.statuses, (std::vector<std::string>{"Loading: pmc.bin", ""}));
  EXPECT_EQ(view.range, 4 * 5);
  EXPECT_EQ(view.top, 4 * 5);  // sixteen pieces and four blocks
  const auto m = module_named("PMC");
  ASSERT_TRUE(m.interleaved);
  ASSERT_EQ(m.block_count, 4);
  std::vector<std::vector<uint8_t>> blocks;
  for (int b = 0; b < 4; ++b) blocks.push_back(from_block(m.first_block + b));
  // Block n holds the even bytes of its pair, block n + 1 the odd ones.
  for (uint32_t i : {0u, 1u, 0x1FFFFu}) {
    EXPECT_EQ(blocks[0][i], file[128 + 2 * i]);
    EXPECT_EQ(blocks[1][i], file[128 + 2 * i + 1]);
    EXPECT_EQ(blocks[3][i], file[128 + 2 * kestrel::kFromBlockSize + 2 * i + 1]);
  }

  auto plan = kestrel::PrepareSave(*ctx, &m);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->source, "PMC");
  EXPECT_EQ(plan->target, "PMC.000");
  ASSERT_TRUE(kestrel::SaveModule(*ctx, *plan)) << ::testing::PrintToString(texts());
  EXPECT_TRUE(file_bytes(folder / "PMC.000") == file) << "the saved module differs from what was loaded";

  CBootFunc boot(*itf);
  for (int b = 0; b < 4; ++b) ASSERT_EQ(boot.EraseBlock(m.first_block + b), 1);
  ASSERT_EQ(kestrel::LoadModuleFiles(*ctx, {"PMC.000"}), 1);
  for (int b = 0; b < 4; ++b) EXPECT_TRUE(from_block(m.first_block + b) == blocks[b]) << "block " << b;
  EXPECT_TRUE(texts().empty()) << ::testing::PrintToString(texts());
}

TEST_F(Transfers, SaveSynthesisesTheHeaderTheCncDoesNotGive) {
  write_bytes(folder / "plain.bin", load_file("PLAIN", 0x30000, false, 3));
  ASSERT_EQ(kestrel::LoadModuleFiles(*ctx, {"plain.bin"}), 1);
  const auto m = module_named("PLAIN");
  ASSERT_EQ(m.block_count, 2);
  sim("fault 0 function-fails on 0x108");
  auto plan = kestrel::PrepareSave(*ctx, &m);
  ASSERT_TRUE(plan);
  ASSERT_TRUE(kestrel::SaveModule(*ctx, *plan));
  const auto saved = file_bytes(folder / "PLAIN.000");
  ASSERT_EQ(saved.size(), 128 + 2 * kestrel::kFromBlockSize);
  std::vector<uint8_t> header(128, 0);
  std::copy_n("MOXELROM", 8, header.begin());
  std::copy_n("00", 2, header.begin() + 58);
  EXPECT_TRUE(std::equal(header.begin(), header.end(), saved.begin()));
  const auto b1 = from_block(m.first_block + 1);
  EXPECT_TRUE(std::equal(b1.begin(), b1.end(), saved.begin() + 128 + kestrel::kFromBlockSize));
  // Past the file's data the blocks were padded with 0xFF.
  EXPECT_EQ(b1[0x10000], 0xFF);
  EXPECT_EQ(b1.back(), 0xFF);
}

TEST_F(Transfers, SaveTargetNamesProtectionAndTheLimitOf32) {
  write_bytes(folder / "a.bin", load_file("MY MOD.X", 0x20000, false, 1));
  write_bytes(folder / "b.bin", load_file("LOCKED", 0x20000, false, 2, cncsim::cnc::kModuleProtected));
  ASSERT_EQ(kestrel::LoadModuleFiles(*ctx, {"a.bin", "b.bin"}), 2) << ::testing::PrintToString(texts());

  const auto spaced = module_named("MY MOD.X");
  auto plan = kestrel::PrepareSave(*ctx, &spaced);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->source, "MY MOD.X");
  EXPECT_EQ(plan->target, "MY_MOD.000");
  write_bytes(folder / "MY_MOD.000", {1});
  EXPECT_EQ(kestrel::PrepareSave(*ctx, &spaced)->target, "MY_MOD.001");

  // Every number taken: the message, and nothing written.
  for (int n = 1; n < 32; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "MY_MOD.%03d", n);
    write_bytes(folder / name, {1});
  }
  const auto before = folder_files(folder);
  EXPECT_FALSE(kestrel::PrepareSave(*ctx, &spaced));
  EXPECT_EQ(texts().back(), "Max file extention over.\nDelete backup files.");
  EXPECT_EQ(folder_files(folder), before);

  const auto locked = module_named("LOCKED");
  EXPECT_FALSE(kestrel::PrepareSave(*ctx, &locked));
  EXPECT_EQ(texts().back(), "PROTECT FILE.");
  ctx->service_mode = [] { return true; };
  ASSERT_TRUE(kestrel::PrepareSave(*ctx, &locked));
  EXPECT_FALSE(kestrel::PrepareSave(*ctx, nullptr));
}

TEST_F(Transfers, LoadErasesAnOldModuleOnlyWhenItMoves) {
  write_bytes(folder / "old.bin", load_file("OLD", 0x40000, false, 1));
  write_bytes(folder / "next.bin", load_file("NEXT", 0x40000, false, 2));
  ASSERT_EQ(kestrel::LoadModuleFiles(*ctx, {"old.bin", "next.bin"}), 2);
  const auto old = module_named("OLD");

  // The same module again lands on its first block: no erase (an erase of that block would fail).
  sim("fault 0 from-erase-refused on " + std::to_string(old.first_block));
  EXPECT_EQ(kestrel::LoadModuleFiles(*ctx, {"old.bin"}), 1) << ::testing::PrintToString(texts());
  EXPECT_FALSE(shown("Delete error."));

  // A bigger OLD does not fit there: the old blocks are erased first, and a refused erase stops.
  write_bytes(folder / "bigger.bin", load_file("OLD", 0x80000, false, 3));
  EXPECT_EQ(kestrel::LoadModuleFiles(*ctx, {"bigger.bin"}), 0);
  EXPECT_EQ(texts().back(), "Delete error.");
  sim("fault 0 from-erase-refused off " + std::to_string(old.first_block));
  EXPECT_EQ(kestrel::LoadModuleFiles(*ctx, {"bigger.bin"}), 1) << ::testing::PrintToString(texts());
  const auto moved = module_named("OLD");
  EXPECT_NE(moved.first_block, old.first_block);
  EXPECT_EQ(moved.block_count, 4);
  EXPECT_TRUE(from_block(old.first_block) == std::vector<uint8_t>(kestrel::kFromBlockSize, 0xFF));
}

TEST_F(Transfers, LoadRefusesShortFilesAndReportsFailedWrites) {
  write_bytes(folder / "short.bin", std::vector<uint8_t>(1023, 0));
  EXPECT_EQ(kestrel::LoadModuleFiles(*ctx, {"short.bin"}), 0);
  EXPECT_EQ(texts(), std::vector<std::string>{"File read error."});

  write_bytes(folder / "junk.bin", std::vector<uint8_t>(4096, 0x11));
  EXPECT_EQ(kestrel::LoadModuleFiles(*ctx, {"junk.bin"}), 0);
  EXPECT_EQ(texts().back(), "Illegal format file.");

  write_bytes(folder / "ok.bin", load_file("GOOD", 0x40000, false, 5));
  sim("fault 0 from-write-refused on 1");
  EXPECT_EQ(kestrel::LoadModuleFiles(*ctx, {"ok.bin"}), 0);
  EXPECT_EQ(texts().back(), "Flash ROM write error.");
}

}  // namespace
