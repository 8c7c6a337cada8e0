// kestrel-cli delete-module and initialize as a shell runs them, against the simulated boot
// software in a lorandd of the test's own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cncsim/cnc/module_header.h"
#include "cnbusclient/cnbus_client.h"
#include "kestrel/cncitf/boot_func.h"
#include "testsupport/test_daemon.h"

namespace {

using moxel::test::ProgramResult;

constexpr const char* kConfig =
    "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Mill\n"
    "[Host]\nBoard0=sim\nSocketMode=0600\n";

class ConsoleCommands : public ::testing::Test {
 protected:
  moxel::test::Daemon daemon{"console-commands-test"};
  void SetUp() override {
    daemon.configure(kConfig);
    ASSERT_TRUE(daemon.start()) << daemon.error() << daemon.log();
  }
  ProgramResult cli(std::vector<std::string> args) {
    args.insert(args.begin(), KESTREL_CLI_PROGRAM);
    return moxel::test::run_program(args, moxel::test::Stderr::separate, daemon.environment());
  }
  // The module list of a board as kestrel-cli prints it.
  std::string modules(int board) {
    EXPECT_EQ(cli({"select", std::to_string(board)}).status, 0);
    return cli({"modules"}).out;
  }
  // A module written on `board` the way the console loads one.
  void load(int board, const std::string& name, uint8_t flags) {
    cnbus::CCnbusClient client;
    ASSERT_EQ(client.SelectNode(0), 1);
    kestrel::CCncItf itf(client);
    itf.Call(0x005, uint16_t(board), 0, 0, 0, 1);
    kestrel::CBootFunc boot(itf);
    std::vector<uint8_t> header(kestrel::kLoadHeaderSize, 0);
    const auto head = cncsim::cnc::make_module_header({name, 0x20000, false, flags, "C1"});
    std::copy(head.begin(), head.end(), header.begin());
    int first = 0, count = 0, interleaved = 0;
    std::string shown;
    ASSERT_EQ(boot.AnnounceLoadFile(header.data(), &first, &count, &interleaved, &shown), 1);
    std::vector<uint8_t> block(kestrel::kFromBlockSize, 0x5A);
    for (int b = 0; b < count; ++b) ASSERT_EQ(boot.WriteBlock(first + b, block.data()), 1);
  }
};

TEST_F(ConsoleCommands, DeleteModuleKeepsProtectedModulesOutsideServiceMode) {
  load(0, "ALPHA", cncsim::cnc::kModuleProtected);
  load(1, "BETA", 0);

  ProgramResult r = cli({"--yes", "delete-module", "ALPHA"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Kestrel32: PROTECT FILE.\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Delete OK?"), std::string::npos) << r.err;
  EXPECT_EQ(modules(0), "ALPHA   \t(1)\tfirst 0  protected\n");

  r = cli({"--service", "--yes", "delete-module", "ALPHA"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("Kestrel32: Delete OK?\n"), std::string::npos) << r.err;
  EXPECT_EQ(modules(0), "");

  // The board of --board; names that the board does not hold fail.
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* err;
  };
  const Case cases[] = {
      {{"--yes", "delete-module", "BETA"}, 1, "board 0 holds no module 'BETA'"},
      {{"--yes", "--board", "9", "delete-module", "BETA"}, 1, "has no board 9"},
      {{"--yes", "--board", "1", "delete-module", "BETA"}, 0, "Delete OK?"},
  };
  for (const Case& c : cases) {
    r = cli(c.args);
    EXPECT_EQ(r.status, c.status) << c.err << ": " << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
  EXPECT_EQ(modules(1), "");

  // A refused call shows the interface error as the boot dialog does.
  ASSERT_EQ(daemon.cncsim("fault 0 function-fails on 0x104").status, 0);
  r = cli({"--yes", "delete-module", "ALPHA"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Kestrel32: INTERNAL ERROR!\nCNC couldn't execute the command.\n\nFunction: 104"),
            std::string::npos) << r.err;
}

TEST_F(ConsoleCommands, InitializeOnlyInServiceMode) {
  load(1, "BETA", cncsim::cnc::kModuleProtected);
  ProgramResult r = cli({"--yes", "--board", "1", "initialize"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--service"), std::string::npos) << r.err;
  EXPECT_EQ(modules(1), "BETA    \t(1)\tfirst 0  protected\n");

  r = cli({"--service", "--yes", "--board", "1", "initialize"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("Kestrel32: Flash ROM initialize OK?\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Kestrel32: ARE YOU SURE?\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Kestrel32: Flash ROM initialize complete.\n"), std::string::npos) << r.err;
  EXPECT_EQ(modules(1), "");

  // A board without F-ROM has nothing to initialise.
  r = cli({"--service", "--yes", "--board", "2", "initialize"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("board 2 has no F-ROM"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("initialize OK?"), std::string::npos) << r.err;

  // A CNC that refuses the erase: the message, and a failure for the shell.
  ASSERT_EQ(daemon.cncsim("fault 0 from-erase-refused on 0").status, 0);
  r = cli({"--service", "--yes", "initialize"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Kestrel32: Flash ROM erase error.\n"), std::string::npos) << r.err;
}

}  // namespace
