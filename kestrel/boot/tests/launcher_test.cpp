// Formatting, splitting and starting of the application program command lines.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "kestrel/boot/launcher.h"
#include "testsupport/test_daemon.h"

namespace {

TEST(Launcher, FormatReplacesAtMostFourPlaceholders) {
  struct Case {
    const char* line;
    int node;
    const char* want;
  } cases[] = {
      {"prog", 3, "prog"},
      {"prog -n%d", 3, "prog -n3"},
      {"p%d %d %d %d %d", 12, "p12 12 12 12 %d"},
      {"a 100%% %s %x %", 2, "a 100% %s %x %"},  // nothing but %d reads the node
      {"%%d%d", 5, "%d5"},
      {"", 1, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(kestrel::FormatProgramLine(c.line, c.node), c.want) << c.line;
}

TEST(Launcher, SplitsLikeAShellWithoutOne) {
  using V = std::vector<std::string>;
  EXPECT_EQ(kestrel::SplitProgramLine("prog  a\tb"), (V{"prog", "a", "b"}));
  EXPECT_EQ(kestrel::SplitProgramLine("\"/opt/my tools/prog\" \"x y\" z"), (V{"/opt/my tools/prog", "x y", "z"}));
  EXPECT_EQ(kestrel::SplitProgramLine("sh -c 'echo \"a b\"' c\\ d"), (V{"sh", "-c", "echo \"a b\"", "c d"}));
  EXPECT_EQ(kestrel::SplitProgramLine("echo $HOME;rm"), (V{"echo", "$HOME;rm"}));  // nothing expanded
  EXPECT_TRUE(kestrel::SplitProgramLine("prog 'open").empty());
  EXPECT_TRUE(kestrel::SplitProgramLine("   ").empty());
}

TEST(Launcher, StartsDetachedAndReportsFailureBelow32) {
  moxel::test::TempRoot root("launch-test");
  ASSERT_TRUE(root.made());
  const auto out = root.root() / "out";
  // No shell runs the line: the words reach sh -c as they are, quotes removed.
  EXPECT_GE(kestrel::LaunchProgram("/bin/sh -c 'echo started > \"" + out.string() + "\"'"), 32);
  std::string text;
  for (int i = 0; i < 200 && text.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream in(out);
    std::getline(in, text);
  }
  EXPECT_EQ(text, "started");
  EXPECT_LT(kestrel::LaunchProgram("/nonexistent/program 3"), 32);
  EXPECT_LT(kestrel::LaunchProgram(""), 32);
  EXPECT_LT(kestrel::LaunchProgram(root.root().string()), 32);  // a folder
}

}  // namespace
