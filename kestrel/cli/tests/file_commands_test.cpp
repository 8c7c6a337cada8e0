// End to end: kestrel-cli's file commands against a real lorandd whose simulated node serves its
// memory card through the mailbox, with the card driven by cncsim, each a separate process.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/test_daemon.h"

namespace {

namespace fs = std::filesystem;
using moxel::test::ProgramResult;
using moxel::test::Stderr;

std::string bytes_of(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char(i * 13 + seed + i / 1024);
  return s;
}

std::string read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class FileCommands : public ::testing::Test {
 protected:
  moxel::test::Daemon daemon{"kestrel-files"};
  fs::path work;

  void SetUp() override {
    daemon.configure("[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Lathe\n"
                     "[Host]\nBoard0=sim\nStateDir=@STATE@\n");
    ASSERT_TRUE(daemon.start({"--foreground"})) << daemon.log();
    work = daemon.root() / "work";
    fs::create_directories(work);
  }

  // kestrel-cli with `args`, its standard input empty (every question takes its default button).
  ProgramResult cli(const std::vector<std::string>& args) {
    std::string line = "exec \"$0\"";
    for (size_t i = 0; i < args.size(); ++i) line += " \"$" + std::to_string(i + 1) + "\"";
    std::vector<std::string> argv = {"/bin/sh", "-c", line + " </dev/null", KESTREL_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    return moxel::test::run_program(argv, Stderr::separate, daemon.environment(),
                                    std::chrono::seconds(120));
  }
  std::string sim(const std::string& args) {
    ProgramResult r = daemon.cncsim(args);
    EXPECT_EQ(r.status, 0) << "cncsim " << args << ": " << r.err;
    return r.out;
  }
  fs::path local(const std::string& name, const std::string& content) {
    fs::path p = work / name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }
};

TEST_F(FileCommands, PutGetListAndDeleteOnTheCard) {
  const std::string data = bytes_of(3000, 1);
  ProgramResult r = cli({"put", local("a.bin", data).string(), "sram0a.bak"});
  ASSERT_EQ(r.status, 0) << r.err;
  // 3000 bytes are one write call of 3000 bytes.
  std::string log = sim("card 0 log");
  EXPECT_EQ(count(log, "407 "), 1u) << log;
  EXPECT_NE(log.find("407 i1=1 i2=0 i3=0x0 i4=3000 -> status=0"), std::string::npos) << log;
  EXPECT_NE(sim("card 0 ls").find("SRAM0A.BAK         3000"), std::string::npos);

  r = cli({"--card", "files"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("SRAM0A.BAK        3KB  ", 0), 0u) << r.out;
  EXPECT_EQ(count(r.out, "\n"), 1u);

  r = cli({"get", "SRAM0A.BAK", (work / "back.bin").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_all(work / "back.bin"), data);

  r = cli({"put", (work / "a.bin").string(), "SRAM0A.BAK"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("file exists"), std::string::npos) << r.err;

  ASSERT_EQ(cli({"delete", "SRAM0A.BAK"}).status, 0);
  r = cli({"files"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(cli({"get", "SRAM0A.BAK", (work / "none").string()}).status, 1);
  EXPECT_FALSE(fs::exists(work / "none"));
}

TEST_F(FileCommands, WholeKilobyteWritesArePostedAheadOfTheirCollection) {
  const std::string data = bytes_of(4096, 2);
  fs::path file = local("b.bin", data);
  sim("trace 0 start");
  ASSERT_EQ(cli({"put", file.string(), "B.BIN"}).status, 0);
  sim("trace 0 stop");
  std::string log = sim("card 0 log");
  for (const char* call : {"i3=0x0 i4=1024", "i3=0x400 i4=1024", "i3=0x800 i4=1024", "i3=0xC00 i4=1024"})
    EXPECT_NE(log.find(std::string("407 i1=1 i2=0 ") + call + " -> status=0 o1=0 o2=0 o3=1024"),
              std::string::npos) << call << "\n" << log;
  EXPECT_EQ(count(log, "407 "), 4u);

  // In the units the board saw: the first byte of chunk k + 1 goes into the transfer buffer after
  // write k was posted (the mailbox's first dword written with function 0x407) and before its
  // results are collected (that dword read back once the CNC has finished).
  std::string trace = sim("trace 0 show");
  auto all = [&](const std::string& what) {
    std::vector<size_t> at;
    for (size_t p = trace.find(what); p != std::string::npos; p = trace.find(what, p + 1)) at.push_back(p);
    return at;
  };
  std::vector<size_t> posted = all("W4 20cd0100 04070000");
  std::vector<size_t> collected = all("R4 20cd0100 04070000");
  ASSERT_EQ(posted.size(), 4u);
  ASSERT_EQ(collected.size(), 4u);
  const char* chunks[] = {"W1 20c00400 ", "W1 20c00800 ", "W1 20c00c00 "};
  for (size_t k = 0; k < 3; ++k) {
    size_t chunk = trace.find(chunks[k]);
    ASSERT_NE(chunk, std::string::npos);
    EXPECT_GT(chunk, posted[k]) << "chunk " << k + 2;
    EXPECT_LT(chunk, collected[k]) << "chunk " << k + 2 << " was not in the buffer before write "
                                   << k + 1 << " was collected";
  }
  EXPECT_EQ(read_all(daemon.state_dir() / "node0" / "card" / "B.BIN"), data);
}

TEST_F(FileCommands, FullCardInTheMiddleOfAWriteLeavesNoPartialFile) {
  sim("card 0 capacity 2048");
  ProgramResult r = cli({"put", local("c.bin", bytes_of(8192, 3)).string(), "C.BIN"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("2048 of 8192 bytes written"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("card full"), std::string::npos) << r.err;
  EXPECT_EQ(sim("card 0 ls"), "2048 bytes free of 2048\n");
}

TEST_F(FileCommands, UnformattedProtectedAndFlashCards) {
  sim("card 0 unformatted");
  ProgramResult r = cli({"files"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Memory card is not formatted.\nFormat the memory card."), std::string::npos) << r.err;
  // Without --yes and without an answer the format question takes its default, No.
  EXPECT_EQ(cli({"format"}).status, 1);
  EXPECT_EQ(cli({"files"}).status, 1);
  ASSERT_EQ(cli({"--yes", "format"}).status, 0);
  EXPECT_EQ(cli({"files"}).status, 0);

  sim("card 0 protect on");
  r = cli({"put", local("p.bin", "x").string(), "P.BIN"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Memory card is protected.\nTurn off the protect switch."), std::string::npos) << r.err;
  EXPECT_EQ(cli({"card-status"}).out, "card ready, write protected\n");
  sim("card 0 protect off");

  ASSERT_EQ(cli({"put", (work / "p.bin").string(), "P.BIN"}).status, 0);
  sim("card 0 flash on");
  sim("card 0 log clear");
  r = cli({"delete", "P.BIN"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("This is a flash type memory card."), std::string::npos) << r.err;
  EXPECT_EQ(count(sim("card 0 log"), "408 "), 0u);
  EXPECT_EQ(cli({"card-status"}).out, "card ready, flash type\n");

  sim("card 0 unavailable");
  r = cli({"--yes", "format"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Memory card is not available.\nChenge memory card."), std::string::npos) << r.err;
}

TEST_F(FileCommands, CardCheckRetriesUntilTheFaultClears) {
  struct Case {
    const char* on;
    const char* off;
    const char* text;
    const char* answer;  // the card status the CNC gave while the fault held
  } cases[] = {
      {"card 0 battery-alarm on", "card 0 battery-alarm off", "Memory card is battery alarm state.",
       "301 i1=0 i2=0 i3=0x0 i4=0 -> status=0 o1=2"},
      {"card 0 remove", "card 0 insert", "Memory card is not attached to CNC.",
       "301 i1=0 i2=0 i3=0x0 i4=0 -> status=0 o1=1"},
  };
  for (const Case& c : cases) {
    sim(c.on);
    sim("card 0 log clear");
    // --yes answers Retry; the command keeps asking until the card is mended. The fault is
    // mended once the CNC has answered the command's status call with it.
    auto run = std::async(std::launch::async, [&] { return cli({"--yes", "files"}); });
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         std::chrono::steady_clock::now() < end && sim("card 0 log").find(c.answer) == std::string::npos;)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    sim(c.off);
    ProgramResult r = run.get();
    EXPECT_EQ(r.status, 0) << c.on << ": " << r.err;
    EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
    // Without an answer the check is cancelled at once: one question, then the failure.
    sim(c.on);
    r = cli({"files"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count(r.err, "[r/C]"), 1u) << r.err;
    EXPECT_NE(r.err.find("the file store cannot be used"), std::string::npos) << r.err;
    sim(c.off);
  }
}

TEST_F(FileCommands, CardPulledBetweenCallsAndPutBackKeepsItsFiles) {
  ASSERT_EQ(cli({"put", local("k.bin", "keep").string(), "K.BIN"}).status, 0);
  sim("card 0 remove");
  EXPECT_EQ(cli({"card-status"}).out, "card not attached\n");
  EXPECT_EQ(cli({"get", "K.BIN", (work / "k2").string()}).status, 1);
  sim("card 0 insert");
  for (const char* bad : {"card 0", "card 0 bogus", "card 0 protect maybe", "card 0 capacity lots"}) {
    ProgramResult refused = daemon.cncsim(bad);
    EXPECT_EQ(refused.status, 1) << bad;
    EXPECT_NE(refused.err.find("card: "), std::string::npos) << bad << ": " << refused.err;
  }
  ASSERT_EQ(cli({"get", "K.BIN", (work / "k2").string()}).status, 0);
  EXPECT_EQ(read_all(work / "k2"), "keep");
}

TEST_F(FileCommands, FolderStoreKeepsNamesInsideTheFolder) {
  fs::path store = daemon.root() / "store";
  fs::create_directories(store);
  const std::string data = bytes_of(70000, 4);
  ASSERT_EQ(cli({"--folder", store.string(), "put", local("f.bin", data).string(), "F.BIN"}).status, 0);
  EXPECT_EQ(read_all(store / "F.BIN"), data);
  ProgramResult r = cli({"--folder", store.string() + "/", "files"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("F.BIN            69KB  ", 0), 0u) << r.out;
  ASSERT_EQ(cli({"--folder", store.string(), "get", "F.BIN", (work / "f2").string()}).status, 0);
  EXPECT_EQ(read_all(work / "f2"), data);

  r = cli({"--folder", store.string(), "put", (work / "f.bin").string(), "../escaped"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("is not a file name in the folder"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(daemon.root() / "escaped"));
  EXPECT_EQ(cli({"--folder", store.string(), "delete", "../work/f.bin"}).status, 1);
  EXPECT_TRUE(fs::exists(work / "f.bin"));
  EXPECT_EQ(cli({"--folder", store.string(), "format"}).status, 2);
  EXPECT_EQ(cli({"--folder", (daemon.root() / "missing").string(), "files"}).status, 1);
  ASSERT_EQ(cli({"--folder", store.string(), "delete", "F.BIN"}).status, 0);
  EXPECT_FALSE(fs::exists(store / "F.BIN"));
  EXPECT_EQ(cli({"put", "only-one-arg"}).status, 2);
}

}  // namespace
