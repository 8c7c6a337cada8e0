#include "applets/flux2/flux2_settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

namespace flux2 {
namespace {

TEST(Flux2Ports, EntryAndAddressAgreeOverTheWholeList) {
  EXPECT_EQ(address_from_entry(0), 0u);
  for (int entry = 1; entry < kPortEntries; ++entry) {
    uint32_t address = address_from_entry(entry);
    EXPECT_EQ(address, 0x170u + 16u * uint32_t(entry)) << entry;
    EXPECT_EQ(entry_from_address(address), entry) << entry;
  }
  EXPECT_EQ(address_from_entry(1), 0x180u);
  EXPECT_EQ(address_from_entry(40), 0x3F0u);
  EXPECT_EQ(address_from_entry(41), 0u);
  EXPECT_EQ(address_from_entry(-1), 0u);
}

TEST(Flux2Ports, StoredAddressesOffTheListShowDisable) {
  struct Case {
    uint32_t address;
    int entry;
  };
  const Case cases[] = {
      {0, 0},      {0x170, 0},  {0x17F, 0},  {0x180, 1},        {0x181, 0},
      {0x2A8, 0},  {0x300, 25}, {0x3F0, 40}, {0x3F8, 0},        {0x400, 0},
      {0x1180, 0}, {0x10300, 0}, {0xFFFFFFF0, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(entry_from_address(c.address), c.entry) << std::hex << c.address;
}

TEST(Flux2Ports, ListTexts) {
  EXPECT_EQ(port_entry_text(0), "Disable");
  EXPECT_EQ(port_entry_text(1), "0180 - 018F");
  EXPECT_EQ(port_entry_text(25), "0300 - 030F");
  EXPECT_EQ(port_entry_text(27), "0320 - 032F");
  EXPECT_EQ(port_entry_text(40), "03F0 - 03FF");
}

TEST(Flux2CncTypes, ListAndCodes) {
  EXPECT_EQ(cnc_type_names(),
            (std::vector<std::string>{"Corvane A", "Corvane B", "Tessel", "Tessel i"}));
  EXPECT_EQ(cnc_type_index(0), -1);
  EXPECT_EQ(cnc_type_index(1), 0);
  EXPECT_EQ(cnc_type_index(4), 3);
  EXPECT_EQ(cnc_type_index(5), -1);
  EXPECT_EQ(cnc_type_index(7), -1);
}

TEST(Flux2Input, ChecksInTheirOrder) {
  const std::string name19 = "ABCDEFGHIJKLMNOPQRS";
  struct Case {
    int port;
    std::string name;
    int type;
    std::string message;  // empty: accepted
    Control focus;
  };
  const Case cases[] = {
      {-1, "Mill", 0, "Select I/O Port Address.", Control::port},
      {-1, "", -1, "Select I/O Port Address.", Control::port},
      {1, "", 0, "Input Node Name.", Control::name},
      {1, " \t  ", 0, "Input Node Name.", Control::name},
      {1, name19 + "T", 0, "Node Name is too long. (Maximum length is 19.)", Control::name},
      {1, "  " + name19 + "T  ", -1, "Node Name is too long. (Maximum length is 19.)", Control::name},
      {1, "Mill", -1, "Select CNC Type.", Control::cnc_type},
      {1, "Mill", 4, "Select CNC Type.", Control::cnc_type},
      {1, "", -1, "Input Node Name.", Control::name},
      {1, "Mill ; left", 0,
       "Node Name cannot contain control characters or a blank followed by \";\".", Control::name},
      {1, "A\nCncType0=3", 0,
       "Node Name cannot contain control characters or a blank followed by \";\".", Control::name},
      {1, "Mill;left", 0, "", Control::none},
      {25, "  " + name19 + "  ", 2, "", Control::none},
  };
  for (const auto& c : cases) {
    Checked r = check_node_input(c.port, c.name, c.type);
    SCOPED_TRACE(c.name);
    EXPECT_EQ(r.message, c.message);
    EXPECT_EQ(r.focus, c.focus);
    EXPECT_EQ(r.settings.has_value(), c.message.empty());
  }
}

TEST(Flux2Input, AcceptedValues) {
  Checked r = check_node_input(25, "  ABCDEFGHIJKLMNOPQRS\t", 3);
  ASSERT_TRUE(r.settings);
  EXPECT_EQ(*r.settings, (NodeSettings{0x300, 4, "ABCDEFGHIJKLMNOPQRS"}));

  // "Disable" stores an empty node whatever the other fields hold, even input they would refuse.
  for (const auto& name : {std::string("Mill"), std::string(), std::string(30, 'x')})
    for (int type : {-1, 0, 3}) {
      Checked d = check_node_input(0, name, type);
      ASSERT_TRUE(d.settings);
      EXPECT_EQ(*d.settings, NodeSettings{});
    }
}

// The driver answers a name in 20 bytes with its NUL, so the limit is 19 bytes of UTF-8: a longer
// name would come back cut short.
TEST(Flux2Input, NameLengthCountsBytes) {
  const std::string too_long = "Node Name is too long. (Maximum length is 19.)";
  const struct {
    std::string name;
    bool accepted;
  } cases[] = {
      {"Fr\xC3\xA4smaschine S\xC3\xBC" "d 12", false},  // 19 characters, 21 bytes
      {"Fr\xC3\xA4smaschine S\xC3\xBC" "d 1", false},   // 20 bytes
      {"Fr\xC3\xA4smaschine Sud 1", true},               // 19 bytes
      {"  Fr\xC3\xA4smaschine S\xC3\xBC" "d  ", true},  // 18 bytes once trimmed
      {std::string(9, 'x') + "\xE2\x82\xAC" + std::string(7, 'y'), true},   // 19 bytes, a 3-byte sign
      {std::string(9, 'x') + "\xE2\x82\xAC" + std::string(8, 'y'), false},  // 20 bytes
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Checked r = check_node_input(1, c.name, 0);
    EXPECT_EQ(r.settings.has_value(), c.accepted);
    EXPECT_EQ(r.message, c.accepted ? std::string() : too_long);
    if (c.accepted) {
      EXPECT_EQ(r.settings->name, trim_blanks(c.name));
    }
  }
}

TEST(Flux2Input, PortRangesOfOtherNodes) {
  const auto data = moxel::ConfigData::parse(
      "[Parameters]\nIoPortAddress0=0x300\nIoPortAddress3=0x2A8\nIoPortAddress5=0\n"
      "IoPortAddress6=abc\n");
  ASSERT_TRUE(data);
  const struct {
    int node;
    uint32_t address;
    int user;
  } cases[] = {
      {1, 0x300, 0},  {1, 0x2F0, -1}, {1, 0x310, -1}, {0, 0x300, -1},  // a node's own range is free
      {1, 0x2A0, 3},  {1, 0x2B0, 3},  {1, 0x2C0, -1}, {3, 0x2A0, -1},
      {1, 0x180, -1},  // a disabled node and an unreadable address use no ports
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(port_user(*data, c.node, c.address), c.user) << c.node;
  }
  EXPECT_EQ(port_used_message(3), "I/O Port Address is already used by Node 3.");
}

TEST(Flux2Input, ReadProblemsOfTheConfigurationFile) {
  char pattern[] = "/tmp/flux2-read-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::filesystem::path dir = pattern;
  EXPECT_EQ(config_read_problem(dir / "lorand.conf"), "");  // missing: empty, no problem
  std::ofstream(dir / "lorand.conf") << "[Parameters]\nIoPortAddress0=0x300\n";
  EXPECT_EQ(config_read_problem(dir / "lorand.conf"), "");
  std::ofstream(dir / "lorand.conf") << "[Parameters]\nIoPortAddress0=0x300\n[broken\n";
  EXPECT_EQ(config_read_problem(dir / "lorand.conf"), "line 3 is not understood");
  std::filesystem::remove_all(dir);
}

class Flux2Store : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/flux2-store-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    file_ = dir_ / "lorand.conf";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void write(const std::string& text) { std::ofstream(file_) << text; }
  std::string read() {
    std::ifstream in(file_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::filesystem::path dir_, file_;
};

TEST_F(Flux2Store, ReadsTheDriversValues) {
  write("[Parameters]\nIoPortAddress3=0x300\nCncType3=2\nNodeName3=Lathe 3\nIoPortAddress1=768\n");
  auto data = moxel::load_config(file_);
  EXPECT_EQ(read_node(data, 3), (NodeSettings{0x300, 2, "Lathe 3"}));
  EXPECT_EQ(read_node(data, 1), (NodeSettings{0x300, 0, ""}));
  EXPECT_EQ(read_node(data, 0), NodeSettings{});
}

TEST_F(Flux2Store, WritesOneNodeAndLeavesEverythingElse) {
  write("[Host]\nBoard1=sim\n\n[Parameters]\nIoPortAddress0=0x180\nCncType0=1\nNodeName0=Zero\n"
        "NodeName1=old\n\n[Simulator]\nLatency=5\n");
  ASSERT_TRUE(write_node(file_, 1, {0x2F0, 3, "Grinder"}));
  auto data = moxel::load_config(file_);
  EXPECT_EQ(read_node(data, 1), (NodeSettings{0x2F0, 3, "Grinder"}));
  EXPECT_EQ(read_node(data, 0), (NodeSettings{0x180, 1, "Zero"}));
  EXPECT_EQ(data.string("Host", "Board1"), "sim");
  EXPECT_EQ(data.string("Simulator", "Latency"), "5");
  // The port is written in hex, as the daemon's users read it.
  EXPECT_NE(read().find("IoPortAddress1=0x2F0"), std::string::npos) << read();

  ASSERT_TRUE(write_node(file_, 1, NodeSettings{}));
  EXPECT_EQ(read_node(moxel::load_config(file_), 1), NodeSettings{});
  EXPECT_NE(read().find("NodeName1=\n"), std::string::npos) << read();
}

TEST_F(Flux2Store, RefusesToWriteOverAFileItCannotParse) {
  write("[Parameters\nIoPortAddress0=0x180\n");
  std::string before = read(), error;
  EXPECT_FALSE(write_node(file_, 0, {0x300, 1, "X"}, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(read(), before);
}

TEST(Flux2Restart, ModeAndCommand) {
  auto mode_of = [](const std::string& text) {
    return restart_mode(*moxel::ConfigData::parse(text));
  };
  EXPECT_EQ(mode_of(""), RestartMode::service);
  EXPECT_EQ(mode_of("[Applet]\nRestart=service\n"), RestartMode::service);
  EXPECT_EQ(mode_of("[Applet]\nRestart=computer\n"), RestartMode::computer);
  EXPECT_EQ(mode_of("[applet]\nrestart=Computer\n"), RestartMode::computer);
  EXPECT_EQ(mode_of("[Applet]\nRestart=bogus\n"), RestartMode::service);
  EXPECT_EQ(restart_command(RestartMode::service),
            (std::vector<std::string>{"systemctl", "restart", "lorandd.service"}));
  EXPECT_EQ(restart_command(RestartMode::computer),
            (std::vector<std::string>{"systemctl", "reboot"}));
}

TEST(Flux2Restart, RunCommandWithoutShellAndWithinLimit) {
  using namespace std::chrono_literals;
  std::string error;
  EXPECT_TRUE(run_command({"true"}, 5s, &error)) << error;
  EXPECT_FALSE(run_command({"false"}, 5s, &error));
  EXPECT_NE(error.find("exit status 1"), std::string::npos) << error;
  EXPECT_FALSE(run_command({"/nonexistent/systemctl", "reboot"}, 5s, &error));
  EXPECT_FALSE(error.empty());
  // Arguments reach the program as they are, not through a shell.
  EXPECT_TRUE(run_command({"test", "a;b", "=", "a;b"}, 5s, &error)) << error;

  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(run_command({"sleep", "3"}, 200ms, &error));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_NE(error.find("still running"), std::string::npos) << error;
}

}  // namespace
}  // namespace flux2
