// The applet and the driver daemon together: what the dialogs store in lorand.conf is what lorandd
// reports through its device, the name and type at once and the port address after the restart
// that the applet offers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "applets/flux2/flux2_dialogs.h"
#include "platform/prompter.h"

extern char** environ;

namespace flux2 {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string slurp(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class Flux2RoundTrip : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/flux2-rt-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "etc");
    fs::create_directories(root_ / "run");
    fs::create_directories(root_ / "state");
    setenv("MOXEL_SYSCONFDIR", (root_ / "etc").c_str(), 1);
    setenv("MOXEL_RUNDIR", (root_ / "run").c_str(), 1);
    moxel::set_prompter(&boxes_);
  }
  void TearDown() override {
    stop_daemon();
    moxel::set_prompter(nullptr);
    unsetenv("MOXEL_SYSCONFDIR");
    unsetenv("MOXEL_RUNDIR");
    fs::remove_all(root_);
  }

  fs::path conf() const { return root_ / "etc" / "lorand.conf"; }

  void start_daemon() {
    fs::path socket = root_ / "run" / "LORAND";
    fs::remove(socket);
    std::string log = (root_ / "lorandd.log").string();
    char* argv[] = {const_cast<char*>(LORANDD), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ASSERT_EQ(posix_spawn(&daemon_, LORANDD, &fa, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    // The daemon says "serving" once its socket listens; each start adds one such line.
    ++starts_;
    auto serving = [&] {
      std::string text = slurp(log);
      int lines = 0;
      for (size_t at = 0; (at = text.find("lorandd: serving", at)) != std::string::npos; ++at)
        ++lines;
      return lines >= starts_;
    };
    for (auto limit = std::chrono::steady_clock::now() + 10s;
         !serving() && std::chrono::steady_clock::now() < limit;)
      std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(serving()) << slurp(log);
    ASSERT_TRUE(fs::exists(socket));
  }

  void stop_daemon() {
    if (daemon_ <= 0) return;
    kill(daemon_, SIGTERM);
    int status = 0;
    for (auto limit = std::chrono::steady_clock::now() + 10s;
         waitpid(daemon_, &status, WNOHANG) == 0;) {
      if (std::chrono::steady_clock::now() > limit) {
        kill(daemon_, SIGKILL);
        waitpid(daemon_, &status, 0);
        ADD_FAILURE() << "lorandd did not stop on SIGTERM";
        break;
      }
      std::this_thread::sleep_for(20ms);
    }
    daemon_ = -1;
  }

  // lorandctl ioctl NAME --in <node 1> [--out-size N]; returns the hex of the answer's data.
  std::string query(const char* name, const char* out_size = nullptr) {
    std::vector<std::string> args{LORANDCTL, "ioctl", name, "--in", "01000000"};
    if (out_size) {
      args.push_back("--out-size");
      args.push_back(out_size);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    fs::path out = root_ / "lorandctl.out";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid;
    EXPECT_EQ(posix_spawn(&pid, LORANDCTL, &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    int status = 0;
    waitpid(pid, &status, 0);
    std::string text = slurp(out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << name << ": " << text;
    EXPECT_EQ(text.rfind("status=0x00000000 ", 0), 0u) << text;
    auto at = text.find("data=");
    if (at == std::string::npos) return {};
    std::string data = text.substr(at + 5);
    while (!data.empty() && (data.back() == '\n' || data.back() == ' ')) data.pop_back();
    return data;
  }

  static std::string hex(const std::string& bytes) {
    std::string out;
    char two[3];
    for (unsigned char c : bytes) {
      std::snprintf(two, sizeof two, "%02x", c);
      out += two;
    }
    return out;
  }

  fs::path root_;
  pid_t daemon_ = -1;
  int starts_ = 0;
  moxel::ScriptedPrompter boxes_;
};

TEST_F(Flux2RoundTrip, TheDaemonReportsWhatTheAppletStored) {
  // Node 0 keeps the daemon up while node 1 is still unconfigured; both are simulated boards.
  std::ofstream(conf()) << "[Host]\nBoard0=sim\nBoard1=sim\nStateDir=" << (root_ / "state").string()
                        << "\n\n[Parameters]\nIoPortAddress0=0x180\nCncType0=1\nNodeName0=Zero\n";
  start_daemon();
  EXPECT_EQ(query("IOCTL_LNK_GET_PORT_ADDRESS"), "00000000");
  EXPECT_EQ(query("IOCTL_LNK_GET_NODE_NAME", "20"), "00");

  // The operator opens node 1 and stores port 0300 - 030F, "Tessel i" and a name with blanks; on
  // close the applet asks, and Yes restarts the daemon through the injected runner.
  Environment env;  // the real file under MOXEL_SYSCONFDIR and the real writability check
  std::vector<std::vector<std::string>> commands;
  env.runner = [&](const std::vector<std::string>& argv) {
    commands.push_back(argv);
    stop_daemon();
    start_daemon();
    return true;
  };
  CFlux2Dlg dlg(env);
  dlg.show();
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer] {
    auto* node = qobject_cast<CNodeDlg*>(QApplication::activeModalWidget());
    if (!node) return;
    timer->stop();
    timer->deleteLater();
    EXPECT_FALSE(node->read_only());
    node->port_list()->setCurrentIndex(entry_from_address(0x300));
    node->type_list()->setCurrentIndex(3);
    node->name_edit()->setText("  Lathe one ");
    node->ok_button()->click();
  });
  timer->start();
  ASSERT_EQ(dlg.open_node_dialog(1), QDialog::Accepted);

  // Name and type are read at every query: the running daemon sees them at once.
  EXPECT_EQ(query("IOCTL_LNK_GET_NODE_NAME", "20"), hex(std::string("Lathe one") + '\0'));
  EXPECT_EQ(query("IOCTL_LNK_GET_CNC_TYPE"), "04000000");
  EXPECT_EQ(query("IOCTL_LNK_GET_PORT_ADDRESS"), "00000000");

  boxes_.push_answer(moxel::Answer::yes);
  dlg.cancel_button()->click();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0], restart_command(RestartMode::service));

  // After the restart the node has come up at its new port.
  EXPECT_EQ(query("IOCTL_LNK_GET_PORT_ADDRESS"), "00030000");
  EXPECT_EQ(query("IOCTL_LNK_GET_NODE_NAME", "20"), hex(std::string("Lathe one") + '\0'));
  EXPECT_EQ(query("IOCTL_LNK_NODE_READY"), "01000000");
  // The daemon's own section is as it was.
  auto data = moxel::load_config(conf());
  EXPECT_EQ(data.string("Host", "Board1"), "sim");
  EXPECT_EQ(data.string("Host", "StateDir"), (root_ / "state").string());
}

}  // namespace
}  // namespace flux2
