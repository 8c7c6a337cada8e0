// kestrel-cli's backup, restore, save and load as a shell runs them, against simulated CNCs in a
// lorandd of the test's own: node 0 with the default boards, node 1 with a 1 MB SRAM named by
// naming value 0, node 2 running its system (not in its boot console).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "cnbusclient/cnbus_client.h"
#include "cncsim/cnc/module_header.h"
#include "kestrel/cli/backup.h"
#include "kestrel/cncitf/boot_func.h"
#include "testsupport/test_daemon.h"

namespace {

namespace fs = std::filesystem;
using moxel::test::ProgramResult;

constexpr const char* kConfig =
    "[Parameters]\nIoPortAddress0=0x300\nIoPortAddress1=0x310\nIoPortAddress2=0x320\n"
    "CncType0=1\nCncType1=1\nCncType2=1\n"
    "[Host]\nBoard0=sim\nBoard1=sim\nBoard2=sim\nSocketMode=0600\n"
    "[Simulator]\nBoards1=0,CELL,cel,0x100000,0x100000,0\nNamingValue1=0\nBootMode2=running\n";

std::vector<uint8_t> file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> data(size);
  uint32_t x = seed * 2654435761u + 7;
  for (uint8_t& b : data) b = uint8_t((x = x * 1103515245u + 12345u) >> 16);
  return data;
}

class BackupCommands : public ::testing::Test {
 protected:
  moxel::test::Daemon daemon{"kestrel-backup-test"};
  fs::path dir;
  void SetUp() override {
    daemon.configure(kConfig);
    ASSERT_TRUE(daemon.start()) << daemon.error() << daemon.log();
    dir = daemon.root() / "backups";
  }
  ProgramResult cli(std::vector<std::string> args) {
    args.insert(args.begin(), KESTREL_CLI);
    return moxel::test::run_program(args, moxel::test::Stderr::separate, daemon.environment());
  }
  // The SRAM of a node's first board, `size` bytes, written or read block by block.
  template <class Each>
  void sram_blocks(int node, uint32_t size, Each each) {
    cnbus::CCnbusClient client;
    EXPECT_EQ(client.SelectNode(node), 1);
    kestrel::CCncItf itf(client);
    kestrel::CBootFunc boot(itf);
    for (uint32_t at = 0; at < size; at += kestrel::kSramBlockSize)
      each(boot, at, int(at / kestrel::kSramBlockSize));
  }
  std::vector<uint8_t> fill_sram(int node, uint32_t size, uint32_t seed) {
    const auto data = pattern(size, seed);
    sram_blocks(node, size, [&](kestrel::CBootFunc& boot, uint32_t at, int block) {
      boot.WriteSramBlock(0, data.data() + at, block);
    });
    return data;
  }
  std::vector<uint8_t> sram(int node, uint32_t size) {
    std::vector<uint8_t> data(size);
    sram_blocks(node, size, [&](kestrel::CBootFunc& boot, uint32_t at, int block) {
      boot.ReadSramBlock(0, data.data() + at, block);
    });
    return data;
  }
};

constexpr uint32_t kMainSram = 0x40000;  // node 0's first board
constexpr uint32_t kCellSram = 0x100000;  // node 1's

TEST_F(BackupCommands, BackupVerifyAndRestoreOfOneNode) {
  const auto saved = fill_sram(0, kMainSram, 1);
  ProgramResult r = cli({"--yes", "--folder", dir.string(), "backup", "--verify"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "node 0: backup of board 0 (MAIN) into " + dir.string() + ": SRAM256A.MAN (verified)\n");
  EXPECT_TRUE(file_bytes(dir / "SRAM256A.MAN") == saved);

  fill_sram(0, kMainSram, 2);
  r = cli({"--yes", "--folder", dir.string(), "restore"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "node 0: restore of board 0 (MAIN) from " + dir.string() + ": SRAM256A.MAN\n");
  EXPECT_TRUE(sram(0, kMainSram) == saved);

  // A truncated backup fails the restore loudly.
  fs::resize_file(dir / "SRAM256A.MAN", kMainSram - 100);
  r = cli({"--yes", "--folder", dir.string(), "restore"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "node 0: restore FAILED: SRAM256A.MAN -> FAIL\n");
  EXPECT_NE(r.err.find("100 bytes"), std::string::npos) << r.err;

  // Without --yes, a No ends it with nothing done; a missing folder fails the restore.
  r = moxel::test::run_program({"/bin/sh", "-c", "echo n | \"$0\" --folder \"$1\" backup", KESTREL_CLI, dir.string()},
                               moxel::test::Stderr::separate, daemon.environment());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "node 0: backup not done: declined\n");
  EXPECT_EQ(cli({"--yes", "--folder", (dir / "none").string(), "restore"}).status, 1);
}

TEST_F(BackupCommands, YesRetriesACardThatIsNotThereUntilItIsPutIn) {
  const auto saved = fill_sram(0, kMainSram, 8);
  ASSERT_EQ(daemon.cncsim("card 0 remove").status, 0);
  ASSERT_EQ(daemon.cncsim("card 0 log clear").status, 0);
  // --yes answers the card check Retry (a second apart, a bounded number of times); the card is
  // put in once the CNC has reported it missing.
  auto run = std::async(std::launch::async, [&] { return cli({"--yes", "--card", "backup"}); });
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
       std::chrono::steady_clock::now() < end &&
       daemon.cncsim("card 0 log").out.find("301 i1=0 i2=0 i3=0x0 i4=0 -> status=0 o1=1") == std::string::npos;)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(daemon.cncsim("card 0 insert").status, 0);
  const ProgramResult r = run.get();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "node 0: backup of board 0 (MAIN) into the memory card: SRAM256A.MAN\n");
  EXPECT_NE(r.err.find("Memory card is not attached to CNC."), std::string::npos) << r.err;
  EXPECT_TRUE(file_bytes(daemon.state_dir() / "node0" / "card" / "SRAM256A.MAN") == saved);
}

TEST_F(BackupCommands, AllNodesIntoDatedFoldersKeepingTheNewest) {
  const auto main_sram = fill_sram(0, kMainSram, 3);
  const auto cell_sram = fill_sram(1, kCellSram, 4);
  for (const char* old : {"2020-01-01", "2020-01-02", "notes"}) fs::create_directories(dir / old);

  ProgramResult r = cli({"--all", "--yes", "--folder", dir.string(), "backup", "--dated", "--keep", "2"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const fs::path today = dir / kestrel::cli::dated_folder_name();
  EXPECT_EQ(r.out, "node 0: backup of board 0 (MAIN) into " + (today / "node0").string() + ": SRAM256A.MAN\n"
                   "node 1: backup of board 0 (CELL) into " + (today / "node1").string() + ": FILE1.cel FILE2.cel\n"
                   "node 2: skipped: node 2 is not in its boot console (CNC state word 0x0008)\n");
  EXPECT_TRUE(file_bytes(today / "node0" / "SRAM256A.MAN") == main_sram);
  auto cell = file_bytes(today / "node1" / "FILE1.cel");
  const auto second = file_bytes(today / "node1" / "FILE2.cel");
  cell.insert(cell.end(), second.begin(), second.end());
  EXPECT_TRUE(cell == cell_sram);
  EXPECT_FALSE(fs::exists(dir / "2020-01-01"));
  EXPECT_TRUE(fs::exists(dir / "2020-01-02"));
  EXPECT_TRUE(fs::exists(dir / "notes"));

  fill_sram(0, kMainSram, 5);
  fill_sram(1, kCellSram, 6);
  r = cli({"--all", "--yes", "--folder", today.string(), "restore"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(sram(0, kMainSram) == main_sram);
  EXPECT_TRUE(sram(1, kCellSram) == cell_sram);

  // One node failing fails the run; the others are still done and reported.
  fs::remove(today / "node1" / "FILE2.cel");
  r = cli({"--all", "--yes", "--folder", today.string(), "restore"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("node 0: restore of board 0 (MAIN)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("node 1: restore FAILED: FILE2.cel -> FAIL\n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("File FILE2.cel not found."), std::string::npos) << r.err;

  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"--all", "boards"}, {"--all", "--folder", dir.string(), "restore", "x"},
           {"--folder", dir.string(), "backup", "--keep", "2"}, {"backup", "--dated"},
           {"--folder", dir.string(), "backup", "--bogus"}, {"--folder", dir.string(), "backup", "--dated", "--keep", "0"}}) {
    r = cli(bad);
    EXPECT_EQ(r.status, 2) << bad.back() << ": " << r.err;
  }
}

TEST_F(BackupCommands, SaveAndLoadModules) {
  fs::create_directories(dir);
  const auto head = cncsim::cnc::make_module_header({"LADDER", 0x40000, true, 0, "V2"});
  std::vector<uint8_t> file(head.begin(), head.end());
  const auto data = pattern(0x40000, 9);
  file.insert(file.end(), data.begin(), data.end());
  std::ofstream(dir / "ladder.bin", std::ios::binary).write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));

  ProgramResult r = cli({"--yes", "--folder", dir.string(), "load", "ladder.bin", "missing.bin"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "loaded ladder.bin\nFAILED to load missing.bin\n");
  r = cli({"--yes", "--folder", dir.string(), "save", "ladder"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "saved LADDER as LADDER.000 in " + dir.string() + "\n");
  EXPECT_TRUE(file_bytes(dir / "LADDER.000") == file);
  EXPECT_EQ(cli({"--yes", "--folder", dir.string(), "save", "NOSUCH"}).status, 1);
}

}  // namespace
