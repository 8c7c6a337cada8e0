// kestrel32 as a program: switches, one copy per user, ending on SIGTERM, and the whole path from
// two simulated CNCs booting in auto mode to their programs and the broadcasts on a session bus.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "kestrel/ui/kestrel_app.h"
#include "testsupport/test_daemon.h"

namespace {

using namespace std::chrono_literals;

std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Polls `ok` every 50 ms for at most 30 s.
template <typename F>
bool Eventually(F ok) {
  for (int i = 0; i < 600; ++i) {
    if (ok()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return ok();
}

// A program run in the background, standard output and error into files; killed at the end.
class Background {
 public:
  Background(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const std::filesystem::path& out, const std::filesystem::path& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Background() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool started() const { return pid_ > 0; }
  // Sends `sig` (0: none) and waits at most 60 s; the exit status, 128 + signal, or -1.
  int Stop(int sig) {
    if (pid_ <= 0) return -1;
    if (sig) kill(pid_, sig);
    for (int i = 0; i < 1200; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(50ms);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
};

TEST(Kestrel32, SwitchesAreExactAndCaseSensitive) {
  struct Case {
    std::vector<std::string> args;
    bool service, auto_list;
  } cases[] = {
      {{}, false, true},
      {{"-S", "-R"}, true, false},
      {{"-R", "x", "-S", "-S"}, true, false},
      {{"-s", "-r", "-SR", "S"}, false, true},
  };
  for (const Case& c : cases) {
    const kestrel::Switches s = kestrel::ParseSwitches(c.args);
    EXPECT_EQ(s.service_mode, c.service);
    EXPECT_EQ(s.auto_list, c.auto_list);
  }
}

class Kestrel32Program : public ::testing::Test {
 protected:
  moxel::test::Daemon daemon{"kestrel32-test"};

  void Start(int nodes, const std::string& simulator) {
    std::string config = "[Parameters]\n";
    std::string host = "[Host]\nSocketMode=0600\n";
    for (int n = 0; n < nodes; ++n) {
      config += "IoPortAddress" + std::to_string(n) + "=0x" + std::to_string(300 + n * 10) + "\nCncType" +
                std::to_string(n) + "=1\nNodeName" + std::to_string(n) + "=Cnc" + std::to_string(n) + "\n";
      host += "Board" + std::to_string(n) + "=sim\n";
    }
    daemon.configure(config + host + "[Simulator]\n" + simulator);
    ASSERT_TRUE(daemon.start()) << daemon.error() << daemon.log();
    std::filesystem::create_directories(daemon.root() / "config" / "moxel");
    std::filesystem::create_directories(daemon.root() / "xdg");
    chmod((daemon.root() / "xdg").c_str(), 0700);
  }
  std::vector<std::string> Env() const {
    std::vector<std::string> env = daemon.environment();
    env.push_back("XDG_CONFIG_HOME=" + (daemon.root() / "config").string());
    env.push_back("XDG_RUNTIME_DIR=" + (daemon.root() / "xdg").string());
    env.push_back("QT_QPA_PLATFORM=offscreen");
    return moxel::test::environment_with(env);
  }
  std::filesystem::path Conf() const { return daemon.root() / "config" / "moxel" / "Kestrel32.conf"; }
};

TEST_F(Kestrel32Program, SecondCopyEndsSilentlyAndSigtermEndsTheFirst) {
  Start(1, "BootMode0=console\n");
  const auto err = daemon.root() / "first.err";
  Background first({KESTREL32_PROGRAM}, Env(), daemon.root() / "first.out", err);
  ASSERT_TRUE(first.started());
  // Headless there is no tray host: the program says so once and goes on.
  ASSERT_TRUE(Eventually([&] { return ReadFile(err).find("no system tray") != std::string::npos; }))
      << ReadFile(err);

  const auto second = moxel::test::run_program({KESTREL32_PROGRAM, "-S"}, moxel::test::Stderr::separate,
                                               Env(), std::chrono::seconds(60));
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.out, "");
  EXPECT_EQ(second.err, "");

  EXPECT_EQ(first.Stop(SIGTERM), 0) << ReadFile(err);
  // Once the first has ended, a new copy may start again.
  Background third({KESTREL32_PROGRAM}, Env(), daemon.root() / "third.out", daemon.root() / "third.err");
  ASSERT_TRUE(Eventually([&] { return ReadFile(daemon.root() / "third.err").find("no system tray") != std::string::npos; }));
  EXPECT_EQ(third.Stop(SIGTERM), 0);
}

TEST_F(Kestrel32Program, ALoadingNodeGetsTheBootScreenWindow) {
  // The simulated boot software waits for the PC at each screen request: its menu is reached only
  // when the window the boot thread opened serves the requests.
  Start(1, "BootMode0=auto\nBootScreen0=1\nScreenPace0=1\n");
  Background k32({KESTREL32_PROGRAM}, Env(), daemon.root() / "k32.out", daemon.root() / "k32.err");
  ASSERT_TRUE(k32.started());
  std::string screen;
  EXPECT_TRUE(Eventually([&] {
    screen = daemon.cncsim("screen 0").out;
    return screen.find("Select (1-3, Enter = 1):") != std::string::npos;
  })) << screen << ReadFile(daemon.root() / "k32.err");
  EXPECT_EQ(k32.Stop(SIGTERM), 0) << ReadFile(daemon.root() / "k32.err");
}

TEST_F(Kestrel32Program, TwoNodesInAutoModeStartTheirProgramsAndBroadcastOnTheSessionBus) {
  Start(2, "BootMode0=auto\nBootMode1=auto\nLoadTime0=300\nLoadTime1=300\n");
  const auto root = daemon.root();
  {
    std::ofstream conf(Conf());
    for (int n = 0; n < 2; ++n)
      conf << "[Node" << n << "]\nProgramNum=1\nProgram0=/bin/sh -c 'echo node%d >> \"" << (root / "programs").string()
           << "\"'\n";
  }
  // Inside one session bus: the watcher listens first, then kestrel32 runs until the watcher has
  // seen three broadcasts (two starts and one link loss); then kestrel32 gets SIGTERM.
  std::ofstream(root / "session.sh") << "watch=$1; k32=$2; dir=$3\n"
                                        "\"$watch\" --exit-after 3 > \"$dir/watch.out\" 2> \"$dir/watch.err\" &\n"
                                        "w=$!\n"
                                        "i=0; until grep -q listening \"$dir/watch.err\"; do i=$((i+1)); "
                                        "[ $i -gt 600 ] && exit 9; sleep 0.05; done\n"
                                        "\"$k32\" 2> \"$dir/k32.err\" &\n"
                                        "k=$!\n"
                                        "wait $w\n"
                                        "kill -TERM $k; wait $k; echo \"kestrel32 $?\"\n";
  auto session = std::async(std::launch::async, [&] {
    return moxel::test::run_program({"/usr/bin/dbus-run-session", "--", "/bin/sh", (root / "session.sh").string(),
                                     KESTREL_WATCH_PROGRAM, KESTREL32_PROGRAM, root.string()},
                                    moxel::test::Stderr::separate, Env(), std::chrono::seconds(240));
  });
  const auto watched = root / "watch.out";
  ASSERT_TRUE(Eventually([&] {
    const std::string w = ReadFile(watched);
    return w.find("node 0 started\n") != std::string::npos && w.find("node 1 started\n") != std::string::npos;
  })) << ReadFile(watched) << ReadFile(root / "k32.err");
  ASSERT_EQ(daemon.cncsim("link 1 down").status, 0);

  const auto result = session.get();
  EXPECT_EQ(result.out, "kestrel32 0\n") << result.err << ReadFile(root / "k32.err");
  const std::string w = ReadFile(watched);
  EXPECT_EQ(w.substr(w.find("node 1 link-down")), "node 1 link-down\n") << w;  // the third and last
  EXPECT_EQ(w.find("node 0 link-down"), std::string::npos) << w;
  ASSERT_TRUE(Eventually([&] { return ReadFile(root / "programs").size() == 12; }));
  const std::string programs = ReadFile(root / "programs");
  EXPECT_NE(programs.find("node0\n"), std::string::npos) << programs;
  EXPECT_NE(programs.find("node1\n"), std::string::npos) << programs;
  EXPECT_NE(ReadFile(Conf()).find("InitCount=1"), std::string::npos);
}

}  // namespace
