// The applet and the driver daemon together: what the dialogs store in lorand.conf is what lorandd
// reports through its device, the name and type at once and the port address after the restart
// that the applet offers.
#include <gtest/gtest.h>
#include <signal.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "applets/flux2/flux2_dialogs.h"
#include "platform/prompter.h"
#include "testsupport/test_daemon.h"

namespace flux2 {
namespace {

namespace fs = std::filesystem;
class Flux2RoundTrip : public testing::Test {
 protected:
  // The daemon's root: the process's MOXEL_SYSCONFDIR and MOXEL_RUNDIR point into it while the
  // test runs, so the applet's Environment finds its lorand.conf.
  void SetUp() override {
    ASSERT_TRUE(daemon_.made());
    moxel::set_prompter(&boxes_);
  }
  void TearDown() override {
    stop_daemon();
    moxel::set_prompter(nullptr);
  }

  fs::path conf() const { return daemon_.config_file(); }

  void start_daemon() {
    ASSERT_TRUE(daemon_.start()) << daemon_.error();
    ASSERT_TRUE(fs::exists(daemon_.socket_path()));
  }

  void stop_daemon() {
    if (!daemon_.running()) return;
    EXPECT_NE(daemon_.stop(SIGTERM), 128 + SIGKILL) << "lorandd did not stop on SIGTERM";
  }

  // lorandctl ioctl NAME --in <node 1> [--out-size N]; returns the hex of the answer's data.
  std::string query(const char* name, const char* out_size = nullptr) {
    std::vector<std::string> args{"ioctl", name, "--in", "01000000"};
    if (out_size) {
      args.push_back("--out-size");
      args.push_back(out_size);
    }
    const moxel::test::ProgramResult r = daemon_.lorandctl(args, moxel::test::Stderr::separate);
    const std::string& text = r.out;
    EXPECT_EQ(r.status, 0) << name << ": " << text << r.err;
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

  moxel::test::Daemon daemon_{"flux2-rt"};
  const fs::path& root_ = daemon_.root();
  moxel::ScriptedPrompter boxes_;
};

TEST_F(Flux2RoundTrip, TheDaemonReportsWhatTheAppletStored) {
  // Node 0 keeps the daemon up while node 1 is still unconfigured; both are simulated boards.
  std::ofstream(conf()) << "[Host]\nBoard0=sim\nBoard1=sim\nStateDir=" << (root_ / "state").string()
                        << "\n\n[Parameters]\nIoPortAddress0=0x180\nCncType0=1\nNodeName0=Zero\n";
  start_daemon();
  EXPECT_EQ(query("IOCTL_LNK_GET_PORT_ADDRESS"), "00000000");
  EXPECT_EQ(query("IOCTL_LNK_GET_NODE_NAME", "20"), "00");

  // The operator opens node 1 and stores port 0300 - 030F, "Tessel i" and a name with blanks that
  // takes the 19 bytes the driver answers in full; on close the applet asks, and Yes restarts the
  // daemon through the injected runner.
  Environment env;  // the real file under MOXEL_SYSCONFDIR and the real writability check
  std::vector<std::vector<std::string>> commands;
  env.runner = [&](const std::vector<std::string>& argv) {
    commands.push_back(argv);
    stop_daemon();
    start_daemon();
    return true;
  };
  const std::string name = "Fr\xC3\xA4se S\xC3\xBC" "d 1234567";  // 17 characters, 19 bytes
  CFlux2Dlg dlg(env);
  dlg.show();
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, &name] {
    auto* node = qobject_cast<CNodeDlg*>(QApplication::activeModalWidget());
    if (!node) return;
    timer->stop();
    timer->deleteLater();
    EXPECT_FALSE(node->read_only());
    node->port_list()->setCurrentIndex(entry_from_address(0x300));
    node->type_list()->setCurrentIndex(3);
    node->name_edit()->setText(QString::fromStdString("  " + name + " "));
    node->ok_button()->click();
  });
  timer->start();
  ASSERT_EQ(dlg.open_node_dialog(1), QDialog::Accepted);

  // Name and type are read at every query: the running daemon sees them at once.
  EXPECT_EQ(query("IOCTL_LNK_GET_NODE_NAME", "20"), hex(name + '\0'));
  EXPECT_EQ(query("IOCTL_LNK_GET_CNC_TYPE"), "04000000");
  EXPECT_EQ(query("IOCTL_LNK_GET_PORT_ADDRESS"), "00000000");

  boxes_.push_answer(moxel::Answer::yes);
  dlg.cancel_button()->click();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0], restart_command(RestartMode::service));

  // After the restart the node has come up at its new port.
  EXPECT_EQ(query("IOCTL_LNK_GET_PORT_ADDRESS"), "00030000");
  EXPECT_EQ(query("IOCTL_LNK_GET_NODE_NAME", "20"), hex(name + '\0'));
  EXPECT_EQ(query("IOCTL_LNK_NODE_READY"), "01000000");
  // The daemon's own section is as it was.
  auto data = moxel::load_config(conf());
  EXPECT_EQ(data.string("Host", "Board1"), "sim");
  EXPECT_EQ(data.string("Host", "StateDir"), (root_ / "state").string());
}

}  // namespace
}  // namespace flux2
