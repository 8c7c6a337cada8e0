// End to end: lorandd hosting simulated nodes, driven by lorandctl (the PC side) and cncsim (the
// CNC side), each a separate process as in the field.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Result {
  int code = -1;
  std::string out;
};

// Runs a command line through the shell, stdout and stderr together. `timeout` keeps a hanging
// program from hanging the test.
Result run(const std::string& command) {
  Result r;
  FILE* p = popen(("timeout 60 " + command + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int status = pclose(p);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

bool connectable(const fs::path& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  // The device socket is a SOCK_SEQPACKET one; either type tells that something listens.
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (!ok && errno == EPROTOTYPE) {
    close(fd);
    fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  close(fd);
  return ok;
}

class CncsimDaemon : public ::testing::Test {
 protected:
  fs::path root;
  pid_t pid = -1;

  void SetUp() override {
    char name[] = "/tmp/cncsim-e2e-XXXXXX";
    root = mkdtemp(name);
    fs::create_directories(root / "etc");
    fs::create_directories(root / "run");
  }
  void TearDown() override {
    stop();
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  // Node 0 at 0x300 and node 2 at 0x320, both simulated, plus `simulator` lines.
  void configure(const std::string& simulator = "") {
    std::ofstream(root / "etc" / "lorand.conf")
        << "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Lathe\n"
        << "IoPortAddress2=0x320\nCncType2=2\nNodeName2=Mill\n"
        << "[Host]\nBoard0=sim\nBoard2=sim\nStateDir=" << (root / "state").string() << "\n"
        << "[Simulator]\n" << simulator;
  }

  bool start() {
    pid = fork();
    if (pid == 0) {
      setenv("MOXEL_SYSCONFDIR", (root / "etc").c_str(), 1);
      setenv("MOXEL_RUNDIR", (root / "run").c_str(), 1);
      if (FILE* log = std::fopen((root / "lorandd.log").c_str(), "a")) dup2(fileno(log), 2);
      execl(LORANDD_PROGRAM, LORANDD_PROGRAM, "--foreground", static_cast<char*>(nullptr));
      _exit(127);
    }
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
      if (waitpid(pid, nullptr, WNOHANG) == pid) {
        pid = -1;
        return false;
      }
      if (connectable(root / "run" / "LORAND") && connectable(root / "run" / "cncsim")) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  void stop(int sig = SIGTERM) {
    if (pid <= 0) return;
    kill(pid, sig);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }

  std::string log() {
    std::stringstream s;
    s << std::ifstream(root / "lorandd.log").rdbuf();
    return s.str();
  }

  Result lorandctl(const std::string& args) {
    return run(std::string(LORANDCTL_PROGRAM) + " --device " + (root / "run" / "LORAND").string() +
               " " + args);
  }
  Result cncsim(const std::string& args) {
    return run(std::string(CNCSIM_PROGRAM) + " --socket " + (root / "run" / "cncsim").string() +
               " " + args);
  }
  // cncsim must succeed; returns its output.
  std::string ok(const std::string& args) {
    Result r = cncsim(args);
    EXPECT_EQ(r.code, 0) << "cncsim " << args << ": " << r.out;
    return r.out;
  }
};

TEST_F(CncsimDaemon, SevenByteReadRunsAsByteWordDwordAndReturnsWhatWasPoked) {
  configure();
  ASSERT_TRUE(start()) << log();
  ok("poke 0 0x20c01000 f0a1b2c3d4e5f60718");
  ok("trace 0 start");
  Result r = lorandctl("read 0 0x20c01001 7");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out, "status=0x00000000 information=7 data=a1b2c3d4e5f607\n");
  EXPECT_EQ(ok("trace 0 show"), "R1 20c01001 a1\nR2 20c01002 c3b2\nR4 20c01004 07f6e5d4\n");
  // The other node saw nothing of it.
  EXPECT_EQ(ok("peek 2 0x20c01000 9"), "000000000000000000\n");
}

TEST_F(CncsimDaemon, FourByteWriteAtAWordAddressIsTwoWordUnits) {
  configure();
  ASSERT_TRUE(start()) << log();
  ok("trace 2 start");
  Result r = lorandctl("write 2 0x20c02002 11223344");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(ok("trace 2 show"), "W2 20c02002 2211\nW2 20c02004 4433\n");
  EXPECT_EQ(ok("peek 2 0x20c02000 8"), "0000112233440000\n");
}

TEST_F(CncsimDaemon, LinkDownShowsInRegisterNine) {
  configure();
  ASSERT_TRUE(start()) << log();
  const std::string read9 = "ioctl IOCTL_LNK_READ_PORT --in 0000000009000000";
  ok("trace 0 start");
  EXPECT_EQ(lorandctl(read9).out, "status=0x00000000 information=1 data=50\n");
  ok("link 0 down");
  EXPECT_EQ(lorandctl(read9).out, "status=0x00000000 information=1 data=00\n");
  ok("poke 0 0x20c00000 12345678");
  EXPECT_EQ(lorandctl("read 0 0x20c00000 4").out,
            "status=0x00000000 information=4 data=ffffffff\n");
  ok("link 0 up");
  ok("ready 0 off");
  EXPECT_EQ(lorandctl(read9).out, "status=0x00000000 information=1 data=40\n");
  EXPECT_EQ(ok("trace 0 show"), "RP 9 50\nRP 9 00\nR4 20c00000 ffffffff\nRP 9 40\n");
}

TEST_F(CncsimDaemon, LostLinkComesBackAfterThePcResetsIt) {
  configure("LinkResetTime0=20\nUnitTime0=2000\n");
  ASSERT_TRUE(start()) << log();
  const std::string read9 = "ioctl IOCTL_LNK_READ_PORT --in 0000000009000000";
  ok("link 0 lost");
  EXPECT_EQ(lorandctl(read9).out, "status=0x00000000 information=1 data=00\n");
  // Reset link, as the boot monitor sends it while the link is down.
  EXPECT_EQ(lorandctl("write 0 0x30800000 1000").code, 0);
  std::string status;
  auto deadline = Clock::now() + std::chrono::seconds(10);
  do {
    status = lorandctl(read9).out;
  } while (status != "status=0x00000000 information=1 data=50\n" && Clock::now() < deadline);
  EXPECT_EQ(status, "status=0x00000000 information=1 data=50\n");
}

TEST_F(CncsimDaemon, BoardBusyAtStartMakesTheNodeUnusable) {
  configure("BusyAtStart2=1\n");
  ASSERT_TRUE(start()) << log();
  Result r = lorandctl("read 2 0x20c00000 4");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("status=0xC0000184"), std::string::npos) << r.out;
  EXPECT_EQ(lorandctl("ioctl IOCTL_LNK_NODE_READY --in 02000000").out,
            "status=0x00000000 information=4 data=00000000\n");
  // Node 0 is not affected.
  EXPECT_EQ(lorandctl("read 0 0x20c00000 4").code, 0);
}

TEST_F(CncsimDaemon, BoardThatStaysBusyFailsTheRequestInsteadOfHanging) {
  configure();
  ASSERT_TRUE(start()) << log();
  ok("fault 0 stuck-busy on");
  auto start_time = Clock::now();
  Result r = lorandctl("read 0 0x20c00000 16");
  auto elapsed = Clock::now() - start_time;
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find("status=0xC00000B5"), std::string::npos) << r.out;
  EXPECT_LT(elapsed, std::chrono::seconds(30));
  // Once the fault is gone the node works again.
  ok("fault 0 stuck-busy off");
  EXPECT_EQ(lorandctl("read 0 0x20c00000 4").code, 0);
}

TEST_F(CncsimDaemon, SramAndFromSurviveADaemonRestartEvenAKill) {
  configure();
  ASSERT_TRUE(start()) << log();
  ok("poke 0 0xf0000010 5a5a0102");
  ok("poke 0 0xe0000000 0badcafe");
  ok("poke 0 0x20c00000 77");
  stop(SIGTERM);
  ASSERT_TRUE(start()) << log();
  EXPECT_EQ(ok("peek 0 0xf0000010 4"), "5a5a0102\n");
  EXPECT_EQ(ok("peek 0 0xe0000000 6"), "0badcafeffff\n");
  EXPECT_EQ(ok("peek 0 0x20c00000 1"), "00\n");  // shared memory does not survive
  ok("poke 2 0xf0000000 c0ffee");
  stop(SIGKILL);
  ASSERT_TRUE(start()) << log();
  EXPECT_EQ(ok("peek 2 0xf0000000 3"), "c0ffee\n");
  EXPECT_TRUE(fs::exists(root / "state" / "node0" / "sram.bin"));
  EXPECT_TRUE(fs::exists(root / "state" / "node2" / "from.bin"));
}

TEST_F(CncsimDaemon, ControlSocketIsGuardedLikeTheDevice) {
  configure();
  ASSERT_TRUE(start()) << log();
  struct stat device {}, control {};
  ASSERT_EQ(stat((root / "run" / "LORAND").c_str(), &device), 0);
  ASSERT_EQ(stat((root / "run" / "cncsim").c_str(), &control), 0);
  EXPECT_EQ(control.st_mode & 07777, device.st_mode & 07777);
  EXPECT_EQ(control.st_gid, device.st_gid);
  EXPECT_EQ(control.st_mode & 0007, 0u);  // no access for others by default
}

TEST_F(CncsimDaemon, CommandExitsTwoWithoutADaemonAndOneWhenRefused) {
  Result r = cncsim("status 0");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.out.find("no simulator"), std::string::npos) << r.out;
  configure();
  ASSERT_TRUE(start()) << log();
  r = cncsim("status 5");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("not a simulated node"), std::string::npos) << r.out;
  EXPECT_EQ(cncsim("status 0").code, 0);
}

}  // namespace
