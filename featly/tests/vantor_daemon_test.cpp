// vantor and featly against simulated CNCs served by a real lorandd: the option parameters the
// CNC keeps, the paths, the node records and the faults, seen from the library, the program and
// the CNC's side (`cncsim param`).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "testsupport/test_daemon.h"
#include "vantor/vantor.h"

namespace {

using moxel::test::Daemon;
using moxel::test::run_program;
using moxel::test::Stderr;

constexpr const char* kConfig = R"([Parameters]
IoPortAddress0=0x300
CncType0=1
NodeName0=Mill
IoPortAddress1=0x310
CncType1=2
IoPortAddress3=0x330
CncType3=4
[Host]
Board0=sim
Board1=sim
Board3=sim
[Simulator]
BootMode0=running
BootMode1=running
BootMode3=running
Paths0=1,2,5
CurrentPath0=2
)";

class VantorDaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon.configure(kConfig);
    ASSERT_TRUE(daemon.start()) << daemon.error() << daemon.log();
  }
  std::string cncsim(const std::string& args) {
    auto r = daemon.cncsim(args);
    EXPECT_EQ(r.status, 0) << args << ": " << r.out << r.err;
    return r.out;
  }
  moxel::test::ProgramResult featly(const std::vector<std::string>& args) {
    std::vector<std::string> argv{FEATLY_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, Stderr::separate, daemon.environment(), std::chrono::seconds(60));
  }
  Daemon daemon{"vantor-test"};
};

TEST_F(VantorDaemon, NodeRecordsFollowTheConfiguration) {
  int32_t count = 0;
  ASSERT_EQ(cnc_rdnodenum(&count), 0);
  EXPECT_EQ(count, 3);
  const struct {
    int32_t node, type, supported;
  } expected[] = {{0, 1, 1}, {1, 2, 0}, {3, 4, 1}};
  for (int i = 0; i < 3; ++i) {
    VANTOR_NODEINFO info{};
    ASSERT_EQ(cnc_rdnodeinfo(i, &info), 0);
    EXPECT_EQ(info.node_no, expected[i].node);
    EXPECT_EQ(info.cnc_type, expected[i].type);
    EXPECT_EQ(info.supported, expected[i].supported);
    EXPECT_EQ(info.present, 1);
  }
  VANTOR_NODEINFO info{};
  EXPECT_EQ(cnc_rdnodeinfo(0, &info), 0);
  EXPECT_STREQ(info.name, "Mill");
  EXPECT_EQ(cnc_rdnodeinfo(3, &info), VANTOR_ST_NUMBER);
}

TEST_F(VantorDaemon, PathsParametersAndWritesReachTheCnc) {
  uint16_t h = 0;
  ASSERT_EQ(cnc_allclibhndl2(0, &h), 0);
  int16_t path = 0, paths = 0;
  ASSERT_EQ(cnc_getpath(h, &path, &paths), 0);
  EXPECT_EQ(path, 2);
  EXPECT_EQ(paths, 3);
  EXPECT_EQ(cnc_setpath(h, 3), VANTOR_ST_PATH);
  EXPECT_EQ(cnc_setpath(h, 5), 0);

  uint8_t info[408] = {};
  ASSERT_EQ(cnc_rdparainfo(h, 9900, 100, info), 0);
  int16_t n = 0, number = 0;
  std::memcpy(&n, info, 2);
  std::memcpy(&number, info + 6, 2);
  EXPECT_EQ(n, 100);
  EXPECT_EQ(number, 9900);

  const uint8_t bit_record[6] = {0xAD, 0x26, 0, 0, 0x05, 0};  // 9901 = 00000101
  ASSERT_EQ(cnc_wrparam(h, 5, bit_record), 0);
  EXPECT_EQ(cncsim("param 0 get 9901"), "9901 bit 00000101\n");
  EXPECT_EQ(cnc_wrparam(h, 6, bit_record), VANTOR_ST_LENGTH);  // a bit parameter takes 5 bytes

  cncsim("param 0 set 9950 -3");
  uint8_t value[36] = {};
  ASSERT_EQ(cnc_rdparam(h, 9950, 0, 8, value), 0);
  int16_t word = 0;
  std::memcpy(&word, value + 4, 2);
  EXPECT_EQ(word, -3);

  // What the CNC keeps survives its power cycle.
  cncsim("power 0 off");
  cncsim("power 0 on");
  EXPECT_EQ(cncsim("param 0 get 9901"), "9901 bit 00000101\n");
  EXPECT_EQ(cncsim("param 0 get 9950"), "9950 word -3\n");
  EXPECT_EQ(cnc_freelibhndl(h), 0);
  EXPECT_EQ(cnc_freelibhndl(h), VANTOR_ST_HANDLE);
  EXPECT_EQ(cnc_getpath(h, &path, &paths), VANTOR_ST_HANDLE);
}

TEST_F(VantorDaemon, FaultsAndABootConsoleRefuse) {
  cncsim("fault 0 param-handle-refused on");
  uint16_t h = 0;
  EXPECT_EQ(cnc_allclibhndl2(0, &h), VANTOR_ST_FUNC);
  cncsim("fault 0 param-handle-refused off");
  ASSERT_EQ(cnc_allclibhndl2(0, &h), 0);

  const uint8_t record[5] = {0xAC, 0x26, 0, 0, 1};
  cncsim("fault 0 param-write-refused on");
  EXPECT_EQ(cnc_wrparam(h, 5, record), VANTOR_ST_PROT);
  EXPECT_EQ(cncsim("param 0 get 9900"), "9900 bit 00000000\n");
  cncsim("fault 0 param-read-error on");
  uint8_t value[36];
  EXPECT_EQ(cnc_rdparam(h, 9900, 0, 8, value), VANTOR_ST_FUNC);

  // While the CNC waits in its boot console, its system and with it the service do not run.
  cncsim("boot 0 console");
  EXPECT_EQ(cnc_setpath(h, 1), VANTOR_ST_FUNC);
  cncsim("link 0 down");
  EXPECT_EQ(cnc_setpath(h, 1), VANTOR_ST_SOCKET);
  cnc_freelibhndl(h);
}

TEST_F(VantorDaemon, FeatlyListsAndSetsWithoutAWindow) {
  auto list = featly({"--list", "--node", "3"});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("9900 bit 00000000\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("9990 word 0\n"), std::string::npos);
  EXPECT_EQ(list.out.find("9991"), std::string::npos);  // above the option range

  auto set = featly({"--set", "9900", "101", "--node", "3"});
  ASSERT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(set.out, "9900 00000101\n");
  EXPECT_NE(set.err.find("CNC option setting has been changed."), std::string::npos);
  EXPECT_EQ(cncsim("param 3 get 9900"), "9900 bit 00000101\n");

  auto invalid = featly({"--set", "9950", "40000", "--node", "3"});
  EXPECT_EQ(invalid.status, 1);
  EXPECT_NE(invalid.err.find("This is an invalid data."), std::string::npos);
  EXPECT_EQ(cncsim("param 3 get 9950"), "9950 word 0\n");

  EXPECT_EQ(featly({"--set", "9900"}).status, 2);
}

TEST_F(VantorDaemon, WithoutADisplayTheDialogSaysSo) {
  auto env = daemon.environment();
  env.insert(env.end(), {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="});
  auto r = run_program({FEATLY_PROGRAM}, Stderr::separate, env, std::chrono::seconds(60));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no display found"), std::string::npos) << r.err;
}

TEST_F(VantorDaemon, ANodeThatRefusesItsHandleIsDropped) {
  cncsim("fault 0 param-handle-refused on");
  auto list = featly({"--list"});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.err.find("Function        : cnc_allclibhndl2\nReturn Status : 1"),
            std::string::npos)
      << list.err;
  EXPECT_NE(list.out.find("9900 bit"), std::string::npos);  // node 3 came up instead

  auto gone = featly({"--list", "--node", "0"});
  EXPECT_EQ(gone.status, 1);
  EXPECT_NE(gone.err.find("node 0 cannot be used"), std::string::npos) << gone.err;
}

}  // namespace
