// Kestrel32.conf: program lists as the settings page keeps them, and the start count.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "kestrel/boot/boot_profile.h"
#include "kestrel/boot/launcher.h"
#include "testsupport/test_daemon.h"

namespace {

using kestrel::CKestrelProfile;

std::string Text(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(Profile, ProgramListsRoundTripShrinkAndDropEmptyLines) {
  moxel::test::TempRoot root("profile-test");
  const CKestrelProfile p(root.root() / "sub" / "Kestrel32.conf");  // the folder is made
  const std::vector<std::string> three = {"/bin/a %d", CKestrelProfile::QuotedPath("/opt/my tools/b"), "c"};
  ASSERT_TRUE(p.SaveProgramLines(2, three));
  EXPECT_EQ(p.ProgramLines(2), three);
  EXPECT_EQ(p.GetInt("Node2", "ProgramNum", -1), 3);
  // The quoted line splits back into the path it was made from.
  EXPECT_EQ(kestrel::SplitProgramLine(p.ProgramLines(2)[1]), std::vector<std::string>{"/opt/my tools/b"});

  ASSERT_TRUE(p.SaveProgramLines(2, {"only"}));
  const std::string text = Text(p.File());
  EXPECT_NE(text.find("Program0=only"), std::string::npos) << text;
  EXPECT_EQ(text.find("Program1"), std::string::npos) << text;
  EXPECT_EQ(text.find("Program2"), std::string::npos) << text;
  EXPECT_EQ(p.GetInt("Node2", "ProgramNum", -1), 1);

  // An empty stored line is dropped on load; saving again moves the next one up.
  ASSERT_TRUE(p.SetInt("Node1", "ProgramNum", 3));
  ASSERT_TRUE(p.SetString("Node1", "Program0", "x"));
  ASSERT_TRUE(p.SetString("Node1", "Program1", ""));
  ASSERT_TRUE(p.SetString("Node1", "Program2", "z"));
  EXPECT_EQ(p.Programs(1), (std::vector<std::string>{"x", "", "z"}));  // the boot thread skips ""
  ASSERT_TRUE(p.SaveProgramLines(1, p.ProgramLines(1)));
  EXPECT_EQ(p.Programs(1), (std::vector<std::string>{"x", "z"}));
  EXPECT_EQ(p.ProgramLines(2), std::vector<std::string>{"only"});  // other nodes untouched
}

TEST(Profile, QuotedPathOnlyWithABlank) {
  EXPECT_EQ(CKestrelProfile::QuotedPath("/usr/bin/x"), "/usr/bin/x");
  EXPECT_EQ(CKestrelProfile::QuotedPath("/home/op/Program Files/x"), "\"/home/op/Program Files/x\"");
}

TEST(Profile, StartCountCountsFromTheStoredValue) {
  moxel::test::TempRoot root("profile-test");
  const CKestrelProfile p(root.root() / "Kestrel32.conf");
  EXPECT_EQ(p.CountStart(0), 1);
  EXPECT_EQ(p.CountStart(0), 2);
  ASSERT_TRUE(p.SetInt("Node3", "InitCount", 41));
  EXPECT_EQ(p.CountStart(3), 42);
  EXPECT_EQ(p.GetInt("Node0", "InitCount", 0), 2);
}

}  // namespace
