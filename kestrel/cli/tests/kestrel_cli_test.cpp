// kestrel-cli as a shell runs it, against the simulated boot software in a lorandd of the test's
// own; and its console prompter.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "cncsim/cnc/module_header.h"
#include "cnbusclient/cnbus_client.h"
#include "kestrel/cli/console_prompter.h"
#include "kestrel/cncitf/boot_func.h"
#include "testsupport/test_daemon.h"

namespace {

namespace fs = std::filesystem;
using moxel::test::ProgramResult;

constexpr const char* kConfig =
    "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Mill\n"
    "[Host]\nBoard0=sim\nSocketMode=0600\n";

ProgramResult run_cli(const moxel::test::TempRoot& root, std::vector<std::string> args) {
  args.insert(args.begin(), KESTREL_CLI_PROGRAM);
  return moxel::test::run_program(args, moxel::test::Stderr::separate, root.environment());
}

std::vector<uint8_t> file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class KestrelCli : public ::testing::Test {
 protected:
  moxel::test::Daemon daemon{"kestrel-cli-test"};
  void SetUp() override {
    daemon.configure(kConfig);
    ASSERT_TRUE(daemon.start()) << daemon.error() << daemon.log();
  }
  ProgramResult cli(std::vector<std::string> args) { return run_cli(daemon, std::move(args)); }
  fs::path file(const std::string& name) const { return daemon.root() / name; }
};

TEST_F(KestrelCli, UsageErrorsExitTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"frobnicate"}, {"check"}, {"check", "1", "2"}, {"check", "x"}, {"--node", "9", "boards"},
      {"--node"}, {"--bogus", "boards"}, {"read-block", "0x10000", "f"},
  };
  for (const auto& args : cases) {
    const ProgramResult r = cli(args);
    EXPECT_EQ(r.status, 2) << (args.empty() ? "(none)" : args[0]) << ": " << r.err;
    EXPECT_FALSE(r.err.empty());
  }
  EXPECT_EQ(cli({"--node", "5", "boards"}).status, 2);  // not a present node
  const ProgramResult help = cli({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("sram-write I1 I2 FILE"), std::string::npos);
}

TEST(KestrelCliNoDaemon, MissingDaemonExitsTwo) {
  moxel::test::TempRoot root("kestrel-cli-nodaemon");
  root.configure(kConfig);
  const ProgramResult r = run_cli(root, {"boards"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("lorandd"), std::string::npos) << r.err;
}

TEST_F(KestrelCli, BoardsSelectAndBlocksFromTheShell) {
  ProgramResult r = cli({"boards"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            " 0 MAIN      F-ROM 3.0 MB  SRAM 256 KB  .MAN  code 0x0000\n"
            " 1 SUB       F-ROM 1.0 MB  SRAM 128 KB  .SUB  code 0x0100\n"
            " 2 OPTION    F-ROM 0 KB  SRAM 128 KB  .OPT  code 0x0200\n");
  EXPECT_EQ(cli({"select", "1"}).status, 0);
  EXPECT_NE(daemon.cncsim("status 0").out.find("board 1 SUB"), std::string::npos);
  r = cli({"select", "7"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("INTERNAL ERROR!\nCNC couldn't execute the command.\n\nFunction: 5"), std::string::npos) << r.err;

  // Board SUB's F-ROM starts at 3 MB of the node's F-ROM space.
  ASSERT_EQ(daemon.cncsim("poke 0 0xE0320010 a1b2c3").status, 0);
  ASSERT_EQ(cli({"read-block", "1", file("b1").string()}).status, 0);
  const std::vector<uint8_t> block = file_bytes(file("b1"));
  ASSERT_EQ(block.size(), 0x20000u);
  EXPECT_EQ(block[0x10], 0xA1);
  EXPECT_EQ(block[0x12], 0xC3);
  EXPECT_EQ(block[0], 0xFF);
  r = cli({"check", "1"});
  ASSERT_EQ(r.status, 0);
  char text[40];
  std::snprintf(text, sizeof text, "CRC32 %08X", cncsim::cnc::crc32_of(block));
  EXPECT_EQ(r.out.substr(0, 14), text);
}

TEST_F(KestrelCli, SramBlocksRoundTripAndInterfaceErrorsExitOne) {
  std::vector<uint8_t> data(0x8000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 13 + 1);
  std::ofstream(file("in"), std::ios::binary).write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  ASSERT_EQ(cli({"sram-write", "0x100", "3", file("in").string()}).status, 0);
  ASSERT_EQ(cli({"sram-read", "0x100", "3", file("out").string()}).status, 0);
  EXPECT_EQ(file_bytes(file("out")), data);

  std::ofstream(file("short"), std::ios::binary) << "abc";
  EXPECT_EQ(cli({"sram-write", "0", "0", file("short").string()}).status, 1);
  EXPECT_EQ(cli({"sram-write", "0", "0", file("missing").string()}).status, 1);

  ASSERT_EQ(daemon.cncsim("fault 0 sram-read-error on 2").status, 0);
  const ProgramResult r = cli({"sram-read", "0", "0", file("x").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "NMI OCCURRED.\nPLEASE POWER OFF CNC.\n");
  EXPECT_FALSE(fs::exists(file("x")));
}

TEST_F(KestrelCli, ModulesAndTheirHeaders) {
  {
    // A module loaded the way the console loads one.
    cnbus::CCnbusClient client;
    ASSERT_EQ(client.SelectNode(0), 1);
    kestrel::CCncItf itf(client);
    kestrel::CBootFunc boot(itf);
    std::vector<uint8_t> header(1024, 0);
    const auto head = cncsim::cnc::make_module_header({"OPERATOR", 0x40000, false, 0, "B2"});
    std::copy(head.begin(), head.end(), header.begin());
    int first = 0, count = 0, interleaved = 0;
    std::string name;
    ASSERT_EQ(boot.AnnounceLoadFile(header.data(), &first, &count, &interleaved, &name), 1);
    std::vector<uint8_t> block(0x20000, 0x42);
    for (int b = 0; b < count; ++b) ASSERT_EQ(boot.WriteBlock(first + b, block.data()), 1);
  }
  ProgramResult r = cli({"modules"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "OPERATOR\t(2)\tfirst 0\n");
  r = cli({"module-header", "0"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, 57), "00: 4d 4f 58 45 4c 52 4f 4d 4f 50 45 52 41 54 4f 52  MOXE");
  EXPECT_EQ(cli({"module-header", "1"}).status, 1);
}

TEST_F(KestrelCli, LeaveConsoleEndsTheConsoleAndClearsThePcFlag) {
  ASSERT_EQ(daemon.cncsim("poke 0 0x20cd0004 0500").status, 0);
  ProgramResult r = cli({"leave-console"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(daemon.cncsim("peek 0 0x20cd0004 2").out, "0400\n");
  std::string status;
  for (int i = 0; i < 100; ++i) {
    status = daemon.cncsim("status 0").out;
    if (status.find("phase running") != std::string::npos) break;
  }
  EXPECT_NE(status.find("phase running"), std::string::npos) << status;
  r = cli({"boards"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not in its boot console"), std::string::npos) << r.err;
}

TEST(ConsolePrompter, AnswersFromTheTerminalOrYesForAll) {
  using moxel::Answer;
  using moxel::Buttons;
  struct Case {
    const char* input;  // nullptr: the input has ended
    bool yes;
    Buttons buttons;
    Answer preset;
    Answer expected;
    const char* text = "Delete OK?";
  };
  const Case cases[] = {
      {"y\n", false, Buttons::yes_no, Answer::no, Answer::yes},
      {"N\n", false, Buttons::yes_no, Answer::yes, Answer::no},
      {"\n", false, Buttons::yes_no, Answer::no, Answer::no},        // empty line: the preset
      {"", false, Buttons::yes_no, Answer::no, Answer::no},          // an empty read: the preset
      {"", false, Buttons::yes_no, Answer::yes, Answer::yes},
      {"what\nr\n", false, Buttons::retry_cancel, Answer::cancel, Answer::retry},
      {"", true, Buttons::yes_no, Answer::no, Answer::yes},
      {"", true, Buttons::ok_cancel, Answer::cancel, Answer::ok},
      {"", true, Buttons::retry_cancel, Answer::cancel, Answer::retry},
      // The end of input refuses whatever the preset; changing the medium is refused under --yes.
      {nullptr, false, Buttons::yes_no, Answer::yes, Answer::no},
      {nullptr, false, Buttons::retry_cancel, Answer::retry, Answer::cancel},
      {nullptr, false, Buttons::ok_cancel, Answer::ok, Answer::cancel},
      {"", true, Buttons::yes_no, Answer::yes, Answer::no, "Change disk then continue?"},
      {"", true, Buttons::yes_no, Answer::yes, Answer::no, "File FILE2.MAN not found.\nChange memory card then continue?"},
      {nullptr, false, Buttons::yes_no, Answer::yes, Answer::no, "Change memory card then continue?"},
      {"\n", false, Buttons::yes_no, Answer::yes, Answer::yes, "Change memory card then continue?"},
      {"y\n", false, Buttons::yes_no, Answer::no, Answer::yes, "Change disk then continue?"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.input ? c.input : "(end)") + "|" + c.text);
    std::string text(c.input ? c.input : "");
    std::FILE* in = c.input ? fmemopen(text.data(), text.size() + 1, "r") : std::fopen("/dev/null", "r");
    char* shown = nullptr;
    size_t shown_size = 0;
    std::FILE* out = open_memstream(&shown, &shown_size);
    kestrel::cli::ConsolePrompter prompter(c.yes, in, out);
    EXPECT_EQ(prompter.ask("Kestrel32", c.text, c.buttons, moxel::Icon::question, c.preset), c.expected);
    std::fclose(out);
    std::fclose(in);
    EXPECT_EQ(std::string(shown).substr(0, 11 + std::strlen(c.text) + 1), std::string("Kestrel32: ") + c.text + "\n");
    free(shown);
  }
}

}  // namespace
