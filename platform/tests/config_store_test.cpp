#include "platform/config_store.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
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

// How lines are read: indentation never continues the value above, lines may be of any length,
// blanks of every kind are blanks, and a line that is nothing at all makes the file unreadable.
TEST(ConfigData, ReadsEveryLineOnItsOwn) {
  const std::string long_name(300, 'y');
  struct Case {
    const char* what;
    std::string text;
    std::vector<ConfigData::Entry> values;  // every value the text holds
    int bad_line = 0;
  } cases[] = {
      {"an indented line is a line of its own",
       "[Parameters]\nNodeName0=Mill\n   IoPortAddress2=0x320\n",
       {{"Parameters", "NodeName0", "Mill"}, {"Parameters", "IoPortAddress2", "0x320"}}},
      {"a tab before a value",
       "[Host]\nBoard0=isa\n\tBoard2=sim\n",
       {{"Host", "Board0", "isa"}, {"Host", "Board2", "sim"}}},
      {"an indented section header",
       "[A]\nx=1\n  [B]\ny=2\n", {{"A", "x", "1"}, {"B", "y", "2"}}},
      {"vertical tab and form feed are blanks",
       "[P]\n\vA=1\n\fB=2\nC\f=3\nc=4\n", {{"P", "A", "1"}, {"P", "B", "2"}, {"P", "C", "4"}}},
      {"a long value and a long comment",
       "[P]\n; " + std::string(500, 'c') + "\nNodeName0=" + long_name + " ; note\nCncType0=3\n",
       {{"P", "NodeName0", long_name}, {"P", "CncType0", "3"}}},
      {"a long value after blanks and a colon",
       "[P]\n   Name : " + long_name + "\n", {{"P", "Name", long_name}}},
      {"a long line whose name is too long", "[P]\n" + long_name + "=1\n", {}, 2},
      {"a continuation-like line without a value", "[P]\nNodeName0=Mill 7\n  continued\n", {}, 3},
      {"a section header without its bracket", "[Parameters\nIoPortAddress0=0x300\n", {}, 1},
      {"CR LF line ends and no final line end", "[P]\r\nA = 1\r\nB=2", {{"P", "A", "1"}, {"P", "B", "2"}}},
  };
  for (const auto& c : cases) {
    int line = 0;
    auto data = ConfigData::parse(c.text, &line);
    if (c.bad_line) {
      EXPECT_FALSE(data) << c.what;
      EXPECT_EQ(line, c.bad_line) << c.what;
      continue;
    }
    ASSERT_TRUE(data) << c.what << " (line " << line << ")";
    EXPECT_EQ(data->entries(), c.values) << c.what;
  }
}

// A value changed the way the applet changes one, written and read again: every other value reads
// back as it was, whatever the lines around it look like.
TEST(ConfigData, RoundTripChangesOnlyTheChangedValue) {
  const char* texts[] = {
      "[Parameters]\nNodeName0=Mill 7\n   CncType0=2\n",
      "[Parameters]\n\vNodeName0=a\n\fIoPortAddress0=0x300\n",
      "[Parameters]\nNodeName0\f=a\nNodeName0=b\nCncType0=1\n",
      "[Parameters]\nNodeName0=a\n[Host]\nBoard0=sim\n[parameters]\nCncType0=4\n",
      "NodeName0=global\n[Parameters]\nNodeName0=x ; comment\n\n; tail\n",
      "[Parameters]\nNodeName0 : " "z\r\n" "IoPortAddress1=0x310",
  };
  for (const char* text : texts) {
    auto data = ConfigData::parse(text);
    ASSERT_TRUE(data) << text;
    for (const char* name : {"NodeName0", "CncType5"}) {
      ConfigData changed = *data;
      changed.set("Parameters", name, "changed");
      auto again = ConfigData::parse(changed.serialize());
      ASSERT_TRUE(again) << text << "\n->\n" << changed.serialize();
      EXPECT_EQ(again->entries(), changed.entries()) << text << "\n->\n" << changed.serialize();
    }
  }
}

TEST_F(TempDir, UpdateWritesThroughASymbolicLinkAndKeepsIt) {
  std::filesystem::create_directory(dir_ / "real");
  write(dir_ / "real" / "lorand.conf", "[A]\nB=1\n");
  std::filesystem::create_symlink("real/lorand.conf", dir_ / "lorand.conf");
  ASSERT_TRUE(update_config(dir_ / "lorand.conf", [](ConfigData& d) { d.set("A", "B", "2"); }));
  EXPECT_TRUE(std::filesystem::is_symlink(dir_ / "lorand.conf"));
  EXPECT_EQ(read(dir_ / "real" / "lorand.conf"), "[A]\nB=2\n");
}

TEST_F(TempDir, UpdateRemovesTemporaryFilesOfKilledWriters) {
  auto file = dir_ / "lorand.conf";
  write(file, "[A]\nB=1\n");
  write(dir_ / ".lorand.conf.new-Ab12Cd", "half a fi");
  write(dir_ / ".lorand.conf.backup", "kept");
  ASSERT_TRUE(update_config(file, [](ConfigData& d) { d.set("A", "B", "2"); }));
  EXPECT_FALSE(std::filesystem::exists(dir_ / ".lorand.conf.new-Ab12Cd"));
  EXPECT_EQ(read(dir_ / ".lorand.conf.backup"), "kept");
}

TEST_F(TempDir, ParsedFileIsKeptUntilTheFileChanges) {
  auto file = dir_ / "lorand.conf";
  write(file, "[Parameters]\nCncType0=1\n");
  ConfigFile config(file);
  auto first = config.get();
  EXPECT_EQ(first->dword("Parameters", "CncType0"), 1u);
  EXPECT_EQ(config.get(), first) << "unchanged file: not parsed again";
  ASSERT_TRUE(update_config(file, [](ConfigData& d) { d.set("Parameters", "CncType0", "2"); }));
  EXPECT_EQ(config.get()->dword("Parameters", "CncType0"), 2u);
  // Rewritten in place, same size: the modification time tells.
  write(file, "[Parameters]\nCncType0=3\n");
  struct timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 5, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), later, 0), 0);
  EXPECT_EQ(config.get()->dword("Parameters", "CncType0"), 3u);

  ConfigFile snapshot(file, *ConfigData::parse("[Parameters]\nCncType0=9\n"));
  EXPECT_EQ(snapshot.get(false)->dword("Parameters", "CncType0"), 9u) << "the snapshot, unread";
  EXPECT_EQ(snapshot.get()->dword("Parameters", "CncType0"), 3u);
}

// Runs `body` in a child process under another user: uid and gid `id`, with `group` as its one
// supplementary group. Returns the child's exit status.
int as_user(uid_t id, gid_t group, const std::function<int()>& body) {
  pid_t child = fork();
  if (child == 0) {
    if (setgroups(1, &group) != 0 || setresgid(id, id, id) != 0 || setresuid(id, id, id) != 0) _exit(99);
    _exit(body());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

// Replacing the file keeps its owner, group and mode, or refuses with the reason.
TEST_F(TempDir, UpdateKeepsOwnerGroupAndModeOrRefuses) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to play other users";
  constexpr uid_t kUser = 64123;
  constexpr gid_t kEditors = 64124;
  auto file = dir_ / "lorand.conf";
  chmod(dir_.c_str(), 0777);
  struct stat st {};

  // Root keeps another user's ownership.
  write(file, "[A]\nB=1\n");
  ASSERT_EQ(chown(file.c_str(), 1234, 5678), 0);
  ASSERT_EQ(chmod(file.c_str(), 02604), 0);
  ASSERT_TRUE(update_config(file, [](ConfigData& d) { d.set("A", "B", "2"); }));
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_gid, 5678u);
  EXPECT_EQ(st.st_mode & 07777, 02604u);

  // The owner, whose own group is not the file's: the file keeps the editors' group.
  ASSERT_EQ(chown(file.c_str(), kUser, kEditors), 0);
  ASSERT_EQ(chmod(file.c_str(), 0660), 0);
  EXPECT_EQ(as_user(kUser, kEditors, [&] {
              return config_writable(file) &&
                     update_config(file, [](ConfigData& d) { d.set("A", "B", "3"); }) ? 0 : 1;
            }), 0);
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kUser);
  EXPECT_EQ(st.st_gid, kEditors);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_EQ(read(file), "[A]\nB=3\n");

  // A group member who is not the owner cannot give the new file root as owner: refused, and
  // told so; the file stays as it was.
  ASSERT_EQ(chown(file.c_str(), 0, kEditors), 0);
  ASSERT_EQ(chmod(file.c_str(), 0664), 0);
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  const ino_t before = st.st_ino;
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  EXPECT_EQ(as_user(kUser, kEditors, [&] {
              std::string error;
              bool written = update_config(file, [](ConfigData& d) { d.set("A", "B", "4"); }, &error);
              (void)!::write(pipe_fds[1], error.data(), error.size());
              return written ? 1 : config_writable(file) ? 2 : 0;
            }), 0);
  close(pipe_fds[1]);
  char buffer[512] = {};
  (void)!::read(pipe_fds[0], buffer, sizeof buffer - 1);
  close(pipe_fds[0]);
  EXPECT_NE(std::string(buffer).find("only its owner root"), std::string::npos) << buffer;
  EXPECT_NE(std::string(buffer).find("left unchanged"), std::string::npos) << buffer;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_ino, before);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(read(file), "[A]\nB=3\n");
}

}  // namespace
}  // namespace moxel
