// End to end: lorandd hosting simulated nodes, driven by lorandctl (the PC side) and cncsim (the
// CNC side), each a separate process as in the field.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "testsupport/test_daemon.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Result = moxel::test::ProgramResult;
using moxel::test::Stderr;

class CncsimDaemon : public ::testing::Test {
 protected:
  moxel::test::Daemon daemon{"cncsim-e2e"};
  const fs::path& root = daemon.root();

  // Node 0 at 0x300 and node 2 at 0x320, both simulated, plus `simulator` lines.
  void configure(const std::string& simulator = "") {
    daemon.configure(
        "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Lathe\n"
        "IoPortAddress2=0x320\nCncType2=2\nNodeName2=Mill\n"
        "[Host]\nBoard0=sim\nBoard2=sim\nStateDir=@STATE@\n"
        "[Simulator]\n" + simulator);
  }

  bool start() { return daemon.start({"--foreground"}); }
  void stop(int sig = SIGTERM) { daemon.stop(sig); }
  std::string log() { return daemon.log(); }

  // stdout and stderr together.
  Result lorandctl(const std::string& args) { return daemon.lorandctl(args, Stderr::merged); }
  Result cncsim(const std::string& args) { return daemon.cncsim(args, Stderr::merged); }
  // cncsim must succeed; returns its output.
  std::string ok(const std::string& args) {
    Result r = cncsim(args);
    EXPECT_EQ(r.status, 0) << "cncsim " << args << ": " << r.out;
    return r.out;
  }
};

TEST_F(CncsimDaemon, SevenByteReadRunsAsByteWordDwordAndReturnsWhatWasPoked) {
  configure();
  ASSERT_TRUE(start()) << log();
  ok("poke 0 0x20c01000 f0a1b2c3d4e5f60718");
  ok("trace 0 start");
  Result r = lorandctl("read 0 0x20c01001 7");
  EXPECT_EQ(r.status, 0) << r.out;
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
  EXPECT_EQ(r.status, 0) << r.out;
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
  EXPECT_EQ(lorandctl("write 0 0x30800000 1000").status, 0);
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
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("status=0xC0000184"), std::string::npos) << r.out;
  EXPECT_EQ(lorandctl("ioctl IOCTL_LNK_NODE_READY --in 02000000").out,
            "status=0x00000000 information=4 data=00000000\n");
  // Node 0 is not affected.
  EXPECT_EQ(lorandctl("read 0 0x20c00000 4").status, 0);
}

TEST_F(CncsimDaemon, BoardThatStaysBusyFailsTheRequestInsteadOfHanging) {
  configure();
  ASSERT_TRUE(start()) << log();
  ok("fault 0 stuck-busy on");
  auto start_time = Clock::now();
  Result r = lorandctl("read 0 0x20c00000 16");
  auto elapsed = Clock::now() - start_time;
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("status=0xC00000B5"), std::string::npos) << r.out;
  EXPECT_LT(elapsed, std::chrono::seconds(30));
  // Once the fault is gone the node works again.
  ok("fault 0 stuck-busy off");
  EXPECT_EQ(lorandctl("read 0 0x20c00000 4").status, 0);
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
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("no simulator"), std::string::npos) << r.out;
  configure();
  ASSERT_TRUE(start()) << log();
  r = cncsim("status 5");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("not a simulated node"), std::string::npos) << r.out;
  EXPECT_EQ(cncsim("status 0").status, 0);
}

}  // namespace
