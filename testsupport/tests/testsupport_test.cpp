// The support that the daemon tests stand on: programs run with their output and status kept and a
// bound on their time, command lines split as the shell does, a root that points the process at
// itself only while it lives, and a lorandd that ends with the process that started it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/run_program.h"
#include "testsupport/test_daemon.h"

namespace moxel::test {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(TestSupportRunProgram, KeepsOutputStatusAndEnvironment) {
  const std::vector<std::string> sh{"/bin/sh", "-c", "echo out $TESTSUPPORT_VALUE; echo err >&2; exit 3"};
  struct Case {
    Stderr mode;
    std::vector<std::string> env;
    const char* out;
    const char* err;
  } cases[] = {
      {Stderr::separate, {}, "out\n", "err\n"},
      {Stderr::merged, {"TESTSUPPORT_VALUE=given"}, "out given\nerr\n", ""},
  };
  for (const Case& c : cases) {
    const ProgramResult r = run_program(sh, c.mode, c.env);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_EQ(std::getenv("TESTSUPPORT_VALUE"), nullptr);  // only the program saw it
  EXPECT_EQ(run_program({"/nonexistent/program"}).status, -1);
}

TEST(TestSupportRunProgram, AProgramThatHangsIsKilledAtTheBound) {
  const auto start = std::chrono::steady_clock::now();
  const ProgramResult r = run_program({"/bin/sh", "-c", "echo begun; exec sleep 60"}, Stderr::separate, {},
                                      std::chrono::seconds(1));
  EXPECT_EQ(r.status, 128 + SIGKILL);
  EXPECT_EQ(r.out, "begun\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST(TestSupportSplitWords, SplitsAsTheShellWithoutRunningAnything) {
  EXPECT_EQ(split_words("write 0 0x20C00000 ''"), (std::vector<std::string>{"write", "0", "0x20C00000", ""}));
  EXPECT_EQ(split_words("  a \"b c\"  d\\ e "), (std::vector<std::string>{"a", "b c", "d e"}));
  EXPECT_TRUE(split_words("").empty());
  EXPECT_THROW(split_words("peek $(touch /tmp/never)"), std::invalid_argument);
  EXPECT_THROW(split_words("unbalanced 'quote"), std::invalid_argument);
}

TEST(TestSupportTempRoot, PointsTheProcessAtItselfWhileItLives) {
  setenv("MOXEL_RUNDIR", "/before", 1);
  unsetenv("MOXEL_SYSCONFDIR");
  fs::path root;
  {
    TempRoot r("testsupport");
    ASSERT_TRUE(r.made());
    root = r.root();
    EXPECT_EQ(std::string(std::getenv("MOXEL_SYSCONFDIR")), (root / "etc").string());
    EXPECT_EQ(std::string(std::getenv("MOXEL_RUNDIR")), (root / "run").string());
    EXPECT_TRUE(fs::is_directory(r.state_dir()));
    r.configure("[Host]\nStateDir=@STATE@\n");
    EXPECT_EQ(read_file(r.config_file()), "[Host]\nStateDir=" + r.state_dir().string() + "\n");
    // Without a StateDir of its own the daemon's state still goes into the root.
    r.configure("[Parameters]\nIoPortAddress0=0x300\n");
    EXPECT_EQ(read_file(r.config_file()),
              "[Parameters]\nIoPortAddress0=0x300\n\n[Host]\nStateDir=" + r.state_dir().string() + "\n");
  }
  EXPECT_FALSE(fs::exists(root));
  EXPECT_EQ(std::string(std::getenv("MOXEL_RUNDIR")), "/before");
  EXPECT_EQ(std::getenv("MOXEL_SYSCONFDIR"), nullptr);
  unsetenv("MOXEL_RUNDIR");
}

// True when `pid` has ended: gone, or a zombie that its new parent has not reaped yet.
bool ended(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return true;
  const size_t close_paren = text.rfind(')');
  return close_paren != std::string::npos && text.compare(close_paren, 4, ") Z ") == 0;
}

const char* kSimConfig = "[Parameters]\nIoPortAddress0=0x300\n[Host]\nBoard0=sim\n";

TEST(TestSupportDaemon, StartsServesRestartsAndStops) {
  Daemon d("testsupport");
  EXPECT_NE(d.lorandctl("ioctl IOCTL_LNK_GET_NODE_COUNT").status, 0);  // nothing to talk to yet
  d.configure(kSimConfig);
  ASSERT_TRUE(d.start()) << d.error();
  EXPECT_TRUE(d.running());
  EXPECT_EQ(d.lorandctl("ioctl IOCTL_LNK_GET_NODE_COUNT").out, "status=0x00000000 information=4 data=08000000\n");
  EXPECT_EQ(d.cncsim("status 0").status, 0);
  EXPECT_FALSE(d.start());  // one daemon per object
  EXPECT_EQ(d.stop(), 0);
  EXPECT_FALSE(d.running());
  // A restart waits for the new daemon, not for the old "serving" line of the log.
  ASSERT_TRUE(d.start()) << d.error();
  EXPECT_EQ(d.lorandctl("ioctl IOCTL_LNK_GET_NODE_COUNT").status, 0);
  EXPECT_EQ(d.stop(SIGKILL), 128 + SIGKILL);
}

TEST(TestSupportDaemon, ADaemonThatCannotServeIsReportedWithItsStatus) {
  Daemon d("testsupport");
  d.configure("");
  EXPECT_FALSE(d.start());
  EXPECT_EQ(d.exit_code(), 1);
  EXPECT_NE(d.error().find("lorandd ended with status 1"), std::string::npos) << d.error();
  EXPECT_FALSE(d.running());
}

TEST(TestSupportDaemon, TheDaemonEndsWithTheProcessThatStartedItEvenWhenKilled) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t test_process = fork();
  if (test_process == 0) {
    close(pipe_fds[0]);
    Daemon d("testsupport");
    d.configure(kSimConfig);
    const std::string line = d.start() ? std::to_string(d.pid()) + " " + d.root().string() + "\n" : "0\n";
    if (write(pipe_fds[1], line.data(), line.size()) != ssize_t(line.size())) _exit(2);
    pause();  // killed below, without any clean-up of its own
    _exit(0);
  }
  close(pipe_fds[1]);
  std::string line;
  char c;
  while (read(pipe_fds[0], &c, 1) == 1 && c != '\n') line += c;
  close(pipe_fds[0]);
  std::istringstream in(line);
  pid_t daemon = 0;
  std::string root;
  in >> daemon >> root;
  kill(test_process, SIGKILL);
  waitpid(test_process, nullptr, 0);
  ASSERT_GT(daemon, 0) << "the daemon did not start";
  // The daemon is no child of this process: its end is seen in /proc.
  bool gone = false;
  for (int i = 0; i < 1000 && !gone; ++i) {
    gone = ended(daemon);
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(gone) << "lorandd " << daemon << " outlived the process that started it";
  if (!gone) kill(daemon, SIGKILL);
  std::error_code ec;
  fs::remove_all(root, ec);
}

}  // namespace
}  // namespace moxel::test
