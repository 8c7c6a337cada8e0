// kestrel-cli's fleet backups as a shell runs them: two simulated nodes in a lorandd of the test's
// own, a restic repository in the test's folder, SRAM changed and checked through the simulator.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cncsim/cnc/host.h"
#include "platform/named_lock.h"
#include "testsupport/test_daemon.h"

namespace {

namespace fs = std::filesystem;
using moxel::test::ProgramResult;

constexpr const char* kConfig =
    "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Mill\n"
    "IoPortAddress1=0x310\nCncType1=1\nNodeName1=Lathe\n"
    "[Host]\nBoard0=sim\nBoard1=sim\nSocketMode=0600\n";

std::string sram_address(uint32_t offset) {
  std::ostringstream s;
  s << "0x" << std::hex << cncsim::cnc::Memory::sram(offset);
  return s.str();
}

// A place in the first board's SRAM (256 KB, one backup part) and in its last 32 KB block.
const std::string kLow = sram_address(0x100);
const std::string kHigh = sram_address(0x3FFF0);

std::string repeat(const std::string& byte, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += byte;
  return text;
}

class FleetCli : public ::testing::Test {
 protected:
  moxel::test::Daemon daemon{"kestrel-fleet-cli"};
  std::vector<std::string> env;

  void SetUp() override {
    daemon.configure(kConfig);
    ASSERT_TRUE(daemon.start()) << daemon.error() << daemon.log();
    std::ofstream(daemon.root() / "etc" / "fleet-backup.conf")
        << "[Restic]\nHost=pc1\nStaging=" << (daemon.root() / "staging").string()
        << "\nKeepLast=2\nKeepDaily=0\nKeepWeekly=0\nKeepMonthly=0\nTimeOut=240\n";
    env = daemon.environment();
    env.push_back("RESTIC_REPOSITORY=" + (daemon.root() / "repo").string());
    env.push_back("RESTIC_PASSWORD=shop secret");
    env.push_back("RESTIC_CACHE_DIR=" + (daemon.root() / "cache").string());
    const ProgramResult init = moxel::test::run_program({"/bin/sh", "-c", "exec restic init"}, moxel::test::Stderr::merged, env);
    ASSERT_EQ(init.status, 0) << init.out;
  }

  // kestrel-cli with standard input from /dev/null, so a question is answered by its preset.
  ProgramResult cli(std::vector<std::string> args) {
    args.insert(args.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" </dev/null", KESTREL_CLI});
    return moxel::test::run_program(args, moxel::test::Stderr::separate, env, std::chrono::seconds(240));
  }
  void poke(int node, const std::string& address, const std::string& hex) {
    const ProgramResult r = daemon.cncsim({"poke", std::to_string(node), address, hex});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  std::string peek(int node, const std::string& address) {
    return daemon.cncsim({"peek", std::to_string(node), address, "16"}).out;
  }
  // The data lines of `history`, each "ID DATE TIME HOST NODE NAME BOARD SIZE UNIT".
  static std::vector<std::vector<std::string>> rows(const std::string& table) {
    std::vector<std::vector<std::string>> out;
    std::istringstream lines(table);
    std::string line;
    std::getline(lines, line);  // the heading
    while (std::getline(lines, line)) {
      std::istringstream words(line);
      std::vector<std::string> row;
      for (std::string w; words >> w;) row.push_back(w);
      out.push_back(row);
    }
    return out;
  }
};

TEST_F(FleetCli, TwoNightsOfTwoNodesThenTheFirstNightRestored) {
  poke(0, kLow, repeat("11", 16));
  poke(0, kHigh, repeat("1f", 16));
  poke(1, kLow, repeat("21", 16));
  ProgramResult r = cli({"--yes", "backup", "--all", "--restic"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("node 0: backup of board 0 (MAIN) into " + (daemon.root() / "staging" / "node0").string() +
                       ": SRAM256A.MAN"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("node 1: stored as snapshot"), std::string::npos) << r.out;

  poke(0, kLow, repeat("12", 16));
  poke(0, kHigh, repeat("2f", 16));
  poke(1, kLow, repeat("22", 16));
  r = cli({"--yes", "backup", "--all", "--restic"});
  ASSERT_EQ(r.status, 0) << r.err;

  r = cli({"history"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto all = rows(r.out);
  ASSERT_EQ(all.size(), 4u) << r.out;
  r = cli({"history", "--node", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto lathe = rows(r.out);
  ASSERT_EQ(lathe.size(), 2u) << r.out;
  EXPECT_EQ(lathe[0][3], "pc1");
  EXPECT_EQ(lathe[0][4], "1");
  EXPECT_EQ(lathe[0][5], "Lathe");
  EXPECT_EQ(lathe[0][6], "MAIN");
  EXPECT_EQ(lathe[0][7] + " " + lathe[0][8], "256 KB");

  r = cli({"history", "--node", "0"});
  const auto mill = rows(r.out);
  ASSERT_EQ(mill.size(), 2u) << r.out;
  const std::string first_night = mill[0][0];

  // Without --yes the question is asked; no answer keeps the SRAM as it is.
  poke(0, kLow, repeat("99", 16));
  r = cli({"restore", "--node", "0", "--from", first_night});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Node 0 (Mill) will be overwritten:\n  board MAIN, SRAM 256 KB\n  from snapshot " + first_night),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.err.find("Restore the SRAM of node 0 from snapshot " + first_night + " OK?"), std::string::npos) << r.err;
  EXPECT_EQ(peek(0, kLow), repeat("99", 16) + "\n");

  r = cli({"--yes", "restore", "--node", "0", "--from", first_night});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(peek(0, kLow), repeat("11", 16) + "\n");
  EXPECT_EQ(peek(0, kHigh), repeat("1f", 16) + "\n");
  EXPECT_EQ(peek(1, kLow), repeat("22", 16) + "\n") << "the other node is left alone";

  r = cli({"--yes", "restore", "--node", "1", "--from", "latest"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("from snapshot " + lathe[1][0]), std::string::npos) << r.out;

  // A third night: the retention keeps the last two of each node.
  r = cli({"--yes", "backup", "--all", "--restic"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto after = rows(cli({"history", "--node", "0"}).out);
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0][0], mill[1][0]);

  // The history needs neither lorandd nor a node.
  daemon.stop();
  r = cli({"history", "--node", "0"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(rows(r.out).size(), 2u) << r.out;
}

TEST_F(FleetCli, BadFleetWordsAreUsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {"backup", "--restic", "--dated"},       {"restore", "--from"},
      {"restore", "--host", "pc2"},            {"restore", "--bogus", "x"},
      {"--all", "restore", "--from", "latest"}, {"backup", "--restic", "--all", "--node", "1"},
      {"history", "--host"},                   {"history", "--from", "latest"},
  };
  for (const auto& args : cases) {
    const ProgramResult r = cli(args);
    EXPECT_EQ(r.status, 2) << args[0] << " " << args[1] << ": " << r.out << r.err;
    EXPECT_FALSE(r.err.empty());
  }
}

TEST_F(FleetCli, ASecondBackupAtOnceIsRefused) {
  fs::create_directories(daemon.root() / "staging");
  moxel::NamedLock running("fleet-backup", daemon.root() / "staging");
  ASSERT_TRUE(running.try_lock());
  ProgramResult r = cli({"--yes", "backup", "--all", "--restic"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("backup FAILED: another fleet backup is running"), std::string::npos) << r.out << r.err;
  EXPECT_FALSE(fs::exists(daemon.root() / "staging" / "node0"));
  running.unlock();
  r = cli({"--yes", "backup", "--all", "--restic"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

TEST_F(FleetCli, AnUnreachableRepositoryFailsAndKeepsTheLocalBackup) {
  env.push_back("RESTIC_REPOSITORY=" + (daemon.root() / "gone").string());
  poke(0, kLow, repeat("31", 16));
  const ProgramResult r = cli({"--yes", "backup", "--all", "--restic"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("node 0: restic backup failed: restic ended with status 1: Fatal: unable to open config file"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("node 0: the local backup stays in " + (daemon.root() / "staging" / "node0").string()),
            std::string::npos)
      << r.out;
  std::ifstream part(daemon.root() / "staging" / "node0" / "SRAM256A.MAN", std::ios::binary);
  std::vector<char> bytes(0x110);
  ASSERT_TRUE(part.read(bytes.data(), std::streamsize(bytes.size())));
  EXPECT_EQ(std::string(bytes.data() + 0x100, 16), std::string(16, '\x31'));

  const ProgramResult h = cli({"history"});
  EXPECT_EQ(h.status, 1);
  EXPECT_NE(h.err.find("restic snapshots failed"), std::string::npos) << h.err;
}

}  // namespace
