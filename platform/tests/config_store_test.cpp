#include "platform/config_store.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace moxel {
namespace {

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/moxel-config-XXXXXX";
    dir_ = mkdtemp(pattern);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void write(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
  }
  std::string read(const std::filesystem::path& file) {
    std::stringstream s;
    s << std::ifstream(file, std::ios::binary).rdbuf();
    return s.str();
  }
  std::filesystem::path dir_;
};

TEST(ParseDword, AcceptsDecimalAndHexWithinThirtyTwoBits) {
  struct Case {
    const char* text;
    std::optional<uint32_t> value;
  } cases[] = {
      {"0", 0u},           {"768", 768u},         {"0x300", 0x300u}, {"0X2a8", 0x2A8u},
      {"4294967295", 0xFFFFFFFFu}, {"0xFFFFFFFF", 0xFFFFFFFFu}, {"4294967296", std::nullopt},
      {"0x100000000", std::nullopt}, {"", std::nullopt}, {"0x", std::nullopt},
      {"-1", std::nullopt}, {"12ab", std::nullopt}, {" 1", std::nullopt}, {"0x30 ", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_dword(c.text), c.value) << '"' << c.text << '"';
}

TEST(ConfigData, FindsValuesWithoutRegardToCaseAndKeepsSpellingOnRewrite) {
  auto data = ConfigData::parse(
      "; machine settings\n[Parameters]\nIoPortAddress0 = 0x300\nNodeName0=Lathe 1\n"
      "[Host]\nBoard0=sim\n");
  ASSERT_TRUE(data);
  EXPECT_EQ(data->dword("parameters", "ioportaddress0"), 0x300u);
  EXPECT_EQ(data->string("Parameters", "NodeName0"), "Lathe 1");
  EXPECT_EQ(data->dword("Parameters", "CncType0", 7), 7u);
  EXPECT_EQ(data->dword("Parameters", "NodeName0", 9), 9u) << "text is no number";
  data->set_dword("Parameters", "CncType0", 2);
  data->set_dword("PARAMETERS", "ioPortAddress0", 0x310, true);
  EXPECT_EQ(data->serialize(),
            "; machine settings\n[Parameters]\nIoPortAddress0=0x310\nNodeName0=Lathe 1\n"
            "CncType0=2\n[Host]\nBoard0=sim\n");
  EXPECT_TRUE(data->erase("Host", "board0"));
  EXPECT_FALSE(data->erase("Host", "Board0"));
}

TEST_F(TempDir, MissingOrMalformedFileReadsAsEmpty) {
  EXPECT_TRUE(load_config(dir_ / "absent.conf").empty());
  write(dir_ / "bad.conf", "[Parameters]\nIoPortAddress0=0x300\nthis line is no value\n");
  ConfigData data = load_config(dir_ / "bad.conf");
  EXPECT_TRUE(data.empty()) << "a broken file must not be half-read";
  EXPECT_EQ(data.dword("Parameters", "IoPortAddress0"), 0u);
}

TEST_F(TempDir, UpdateKeepsValuesItDoesNotOwn) {
  auto file = dir_ / "lorand.conf";
  write(file, "[Parameters]\nIoPortAddress0=0x300\n[Host]\nBoard0=sim\n");
  ASSERT_TRUE(update_config(file, [](ConfigData& d) { d.set("Parameters", "NodeName0", "Mill"); }));
  ConfigData data = load_config(file);
  EXPECT_EQ(data.dword("Parameters", "IoPortAddress0"), 0x300u);
  EXPECT_EQ(data.string("Parameters", "NodeName0"), "Mill");
  EXPECT_EQ(data.string("Host", "Board0"), "sim");
}

TEST(ConfigData, RewriteKeepsCommentsBlankLinesAndUntouchedLines) {
  auto data = ConfigData::parse(
      "# FLUX nodes of this machine\n"
      "[Parameters]\n"
      "; the lathe\n"
      "IoPortAddress0 = 0x300   ; board 1\n"
      "NodeName0=Lathe\n"
      "CncType0=1\n"
      "\n"
      "[Host]\n"
      "Board0=sim\n");
  ASSERT_TRUE(data);
  data->set("Parameters", "NodeName0", "Lathe 2");
  data->erase("Parameters", "CncType0");
  data->set("Parameters", "IoPortAddress1", "0x310");
  data->set("Applet", "Restart", "service");
  EXPECT_EQ(data->serialize(),
            "# FLUX nodes of this machine\n"
            "[Parameters]\n"
            "; the lathe\n"
            "IoPortAddress0 = 0x300   ; board 1\n"
            "NodeName0=Lathe 2\n"
            "IoPortAddress1=0x310\n"
            "\n"
            "[Host]\n"
            "Board0=sim\n"
            "\n"
            "[Applet]\n"
            "Restart=service\n");
  auto again = ConfigData::parse(data->serialize());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->dword("Parameters", "IoPortAddress0"), 0x300u);
  EXPECT_EQ(again->dword("Parameters", "IoPortAddress1"), 0x310u);
  EXPECT_EQ(again->find("Parameters", "CncType0"), nullptr);
}

TEST_F(TempDir, UpdateRefusesToReplaceAFileItCannotParse) {
  auto file = dir_ / "lorand.conf";
  const std::string broken = "[Parameters\nIoPortAddress0=0x300\n";
  write(file, broken);
  std::string error;
  EXPECT_FALSE(update_config(file, [](ConfigData& d) { d.set("A", "B", "C"); }, &error));
  EXPECT_NE(error.find("cannot be parsed"), std::string::npos) << error;
  EXPECT_EQ(read(file), broken);
}

TEST_F(TempDir, UpdateKeepsTheFileMode) {
  auto file = dir_ / "lorand.conf";
  write(file, "[A]\nB=1\n");
  std::filesystem::permissions(file, std::filesystem::perms(0640));
  ASSERT_TRUE(update_config(file, [](ConfigData& d) { d.set("A", "B", "2"); }));
  EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0640));
}

TEST_F(TempDir, ConcurrentWritersInSeveralProcessesLoseNothing) {
  auto file = dir_ / "shared.conf";
  constexpr int kProcesses = 4, kWrites = 25;
  for (int p = 0; p < kProcesses; ++p) {
    if (fork() == 0) {
      for (int i = 0; i < kWrites; ++i)
        update_config(file, [&](ConfigData& d) {
          d.set("Counts", "P" + std::to_string(p) + "_" + std::to_string(i), "1");
        });
      _exit(0);
    }
  }
  for (int p = 0; p < kProcesses; ++p) wait(nullptr);
  ConfigData data = load_config(file);
  for (int p = 0; p < kProcesses; ++p)
    for (int i = 0; i < kWrites; ++i)
      EXPECT_TRUE(data.find("Counts", "P" + std::to_string(p) + "_" + std::to_string(i)))
          << p << ' ' << i;
  int leftovers = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_))
    leftovers += entry.path().filename() != "shared.conf";
  EXPECT_EQ(leftovers, 0) << "temporary files left behind";
}

TEST_F(TempDir, WritabilityFollowsTheFolderAndTheFile) {
  auto file = dir_ / "lorand.conf";
  EXPECT_TRUE(config_writable(file));
  EXPECT_FALSE(config_writable(dir_ / "no-such-folder" / "lorand.conf"));
  if (geteuid() == 0) GTEST_SKIP() << "root may write anything";
  write(file, "[A]\n");
  std::filesystem::permissions(file, std::filesystem::perms(0444));
  EXPECT_FALSE(config_writable(file));
}

}  // namespace
}  // namespace moxel
