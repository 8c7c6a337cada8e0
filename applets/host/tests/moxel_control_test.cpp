// moxel-control as a user runs it: the program is started with its arguments and its exit status
// and output are checked.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport/run_program.h"

namespace {

namespace fs = std::filesystem;

using Outcome = moxel::test::ProgramResult;

std::string slurp(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class MoxelControl : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/moxel-control-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    log_ = dir_ / "log";
    setenv("MOXEL_TEST_APPLET_LOG", log_.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
  void TearDown() override {
    unsetenv("MOXEL_TEST_APPLET_LOG");
    unsetenv("MOXEL_TEST_APPLET_REFUSE");
    fs::remove_all(dir_);
  }

  Outcome run(std::vector<std::string> args) { return run_program(MOXEL_CONTROL, std::move(args)); }

  Outcome run_program(const std::string& program, std::vector<std::string> args) {
    args.insert(args.begin(), program);
    return moxel::test::run_program(args);
  }

  fs::path dir_, log_;
};

TEST_F(MoxelControl, ListsTheBuiltApplets) {
  Outcome r = run({"--dir", FLUX2_DIR});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("libflux2.so\tFLUX\tMOXEL FLUX Type-2\n"
                       "libvorkey.so\tMDI\tMOXEL MDI Keyboard\n"),
            std::string::npos)
      << r.out;
}

TEST_F(MoxelControl, ListsEveryAppletOfALibraryAndSkipsWhatIsNoApplet) {
  Outcome r = run({"--dir=" TEST_APPLET_DIR});
  EXPECT_EQ(r.status, 0) << r.err;
  std::string name = fs::path(RECORDING_APPLET).filename();
  std::string info(63, 'x');
  EXPECT_EQ(r.out, name + "\tRecorder0\t" + info + "\n" + name + "\tRecorder1\t" + info + "\n");
  EXPECT_NE(r.err.find("exports no CPlApplet"), std::string::npos) << r.err;
  EXPECT_EQ(slurp(log_), "INIT\nGETCOUNT\nNEWINQUIRE 0\nNEWINQUIRE 1\nSTOP 0\nSTOP 1\nEXIT\n");
}

TEST_F(MoxelControl, RunsAnAppletInsideAWidgetApplication) {
  Outcome r = run({RECORDING_APPLET});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(log_),
            "INIT\nGETCOUNT\nNEWINQUIRE 0\nDBLCLK with app 0\nSTOP 0\nSTOP 1\nEXIT\n");
}

// Without a display the applet is not started: the user reads why, and the status is 1, not Qt's
// abort. Listing the applets needs no display.
TEST_F(MoxelControl, WithoutADisplaySaysSoAndEndsWithOne) {
  const std::vector<std::vector<std::string>> environments = {
      {"QT_QPA_PLATFORM=", "DISPLAY=", "WAYLAND_DISPLAY="},
      {"QT_QPA_PLATFORM=", "DISPLAY=:4711", "WAYLAND_DISPLAY="},  // set, but no server there
  };
  for (const auto& env : environments) {
    SCOPED_TRACE(env[1]);
    Outcome r = moxel::test::run_program({MOXEL_CONTROL, RECORDING_APPLET},
                                         moxel::test::Stderr::separate, env);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("moxel-control: no display found ("), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Reinstalling"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(log_));  // the applet was never loaded into an application
    r = moxel::test::run_program({MOXEL_CONTROL, "--dir", FLUX2_DIR},
                                 moxel::test::Stderr::separate, env);
    EXPECT_EQ(r.status, 0) << r.err;
  }
}

TEST_F(MoxelControl, FindsAnAppletByItsShortNameInTheFolder) {
  fs::copy_file(RECORDING_APPLET, dir_ / "librec.so");
  Outcome r = run({"--dir", dir_.string(), "rec"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(slurp(log_).find("DBLCLK with app 0"), std::string::npos);
}

TEST_F(MoxelControl, FindsItsAppletFolderFromWhereItIsInstalled) {
  // An installation copied to another prefix: <prefix>/bin and its applet folder beside it.
  fs::path prefix = dir_ / "prefix";
  fs::path applets = (prefix / "bin" / APPLET_RELDIR).lexically_normal();
  fs::create_directories(prefix / "bin");
  fs::create_directories(applets);
  fs::copy_file(MOXEL_CONTROL, prefix / "bin" / "moxel-control");
  fs::copy_file(RECORDING_APPLET, applets / "librec.so");
  Outcome r = run_program((prefix / "bin" / "moxel-control").string(), {});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("librec.so\tRecorder0\t", 0), 0u) << r.out;
}

TEST_F(MoxelControl, ClearErrors) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  fs::path missing = dir_ / "libnothing.so";
  const Case cases[] = {
      {{missing.string()}, 2, "cannot be loaded"},
      {{NO_ENTRY_LIBRARY}, 2, "exports no CPlApplet"},
      {{"--bogus"}, 2, "unknown option --bogus"},
      {{"a", "b"}, 2, "usage: moxel-control"},
      {{"--dir"}, 2, "usage: moxel-control"},
      {{"--dir", missing.string()}, 2, missing.string()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    Outcome r = run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fs::exists(log_));
}

TEST_F(MoxelControl, AnAppletThatRefusesToStart) {
  setenv("MOXEL_TEST_APPLET_REFUSE", "1", 1);
  Outcome r = run({RECORDING_APPLET});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("CPL_INIT"), std::string::npos) << r.err;
  // A library that refused to start is not stopped or told to exit.
  EXPECT_EQ(slurp(log_), "INIT\n");
}

}  // namespace
