// The service build's host: its switches, and the registration values and systemd unit the install
// switches write and remove (in a temporary configuration root).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "keyservice/service_host.h"
#include "platform/config_store.h"
#include "testsupport/test_daemon.h"

namespace vorkey {
namespace {

namespace fs = std::filesystem;

TEST(ServiceHost, SwitchIsRecognisedOnlyAsTheLastThingOnTheLine) {
  const struct {
    const char* line;
    Switch expected;
  } cases[] = {
      {"", Switch::kNone},
      {"-Service", Switch::kService},
      {"/service", Switch::kService},
      {"-RegServer", Switch::kRegServer},
      {"/REGSERVER", Switch::kRegServer},
      {"-UnregServer", Switch::kUnregServer},
      {"-Service ", Switch::kNone},              // a trailing blank
      {"-Service -foo", Switch::kNone},
      {"-foo -Service", Switch::kService},         // searching on after an unknown one
      {"--Service", Switch::kService},         // the second "-" starts it
      {"x-RegServer", Switch::kRegServer},
      {"-Services", Switch::kNone},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_switch(c.line), c.expected) << '"' << c.line << '"';
  char a0[] = "vorkeyd", a1[] = "-foo", a2[] = "-Service";
  char* argv[] = {a0, a1, a2};
  EXPECT_EQ(command_line(3, argv), "-foo -Service");
}

class Registering : public ::testing::Test {
 protected:
  std::string Unit() {
    std::ifstream in(r_.unit_dir / kUnitName);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  moxel::ConfigData Values() { return moxel::load_config(r_.appid_file); }

  moxel::test::TempRoot root_{"vorkeyd-register"};
  Registration r_ = default_registration("/usr/sbin/vorkeyd");
  std::vector<std::string> shown_;
  Messages messages_ = [this](const std::string& m) { shown_.push_back(m); };
};

TEST_F(Registering, UnitFolderLiesBesideTheConfigurationRoot) {
  EXPECT_EQ(r_.unit_dir, root_.root() / "systemd" / "system");
  EXPECT_EQ(r_.appid_file, root_.root() / "etc" / "AppID.conf");
  EXPECT_FALSE(r_.notify_systemd);
}

TEST_F(Registering, ServiceSwitchInstallsAnEnabledUnitAndWritesTheValues) {
  EXPECT_EQ(registered(r_), Registered::kNo);
  ASSERT_EQ(register_server(r_, true, messages_), 0);
  EXPECT_TRUE(service_installed(r_));
  const std::string unit = Unit();
  EXPECT_NE(unit.find("Description=VORKEY service\n"), std::string::npos);
  EXPECT_NE(unit.find("ExecStart=/usr/sbin/vorkeyd\n"), std::string::npos);
  EXPECT_NE(unit.find("After=lorandd.service\n"), std::string::npos);
  EXPECT_NE(unit.find("WantedBy=multi-user.target\n"), std::string::npos);
  EXPECT_NE(unit.find("Environment=MOXEL_SYSCONFDIR=" + (root_.root() / "etc").string()),
            std::string::npos);
  const fs::path link = r_.unit_dir / "multi-user.target.wants" / kUnitName;
  ASSERT_TRUE(fs::is_symlink(link));
  EXPECT_TRUE(fs::equivalent(link, r_.unit_dir / kUnitName));

  auto v = Values();
  EXPECT_EQ(v.string(kAppId, "Default"), "vorkeyNT");
  EXPECT_EQ(v.string(kAppId, "LocalService"), "vorkeyNT");
  EXPECT_EQ(v.string(kAppId, "ServiceParameters"), "-Service");
  EXPECT_EQ(v.string("vorkeyNT.EXE", "AppID"), kAppId);
  EXPECT_EQ(registered(r_), Registered::kService);

  // Again: the installed service is removed first and installed anew.
  fs::remove(r_.unit_dir / kUnitName);
  std::ofstream(r_.unit_dir / kUnitName) << "stale\n";
  ASSERT_EQ(register_server(r_, true, messages_), 0);
  EXPECT_NE(Unit().find("ExecStart="), std::string::npos);
  EXPECT_TRUE(shown_.empty());
}

TEST_F(Registering, RegServerRemovesTheServiceAndLeavesNoLocalService) {
  ASSERT_EQ(register_server(r_, true, messages_), 0);
  ASSERT_EQ(register_server(r_, false, messages_), 0);
  EXPECT_FALSE(service_installed(r_));
  EXPECT_FALSE(fs::exists(fs::symlink_status(r_.unit_dir / "multi-user.target.wants" / kUnitName)));
  auto v = Values();
  EXPECT_EQ(v.find(kAppId, "LocalService"), nullptr);
  EXPECT_EQ(v.find(kAppId, "ServiceParameters"), nullptr);
  EXPECT_EQ(v.string(kAppId, "Default"), "vorkeyNT");
  EXPECT_EQ(registered(r_), Registered::kServer);
}

TEST_F(Registering, UnregServerRemovesEverythingAndKeepsOtherValues) {
  moxel::update_config(r_.appid_file, [](moxel::ConfigData& c) { c.set("{other}", "Default", "x"); });
  ASSERT_EQ(register_server(r_, true, messages_), 0);
  EXPECT_EQ(unregister_server(r_, messages_), 0);
  EXPECT_FALSE(service_installed(r_));
  EXPECT_EQ(registered(r_), Registered::kNo);
  auto v = Values();
  EXPECT_EQ(v.find("vorkeyNT.EXE", "AppID"), nullptr);
  EXPECT_EQ(v.string("{other}", "Default"), "x");
  // Nothing registered: removing again is fine.
  EXPECT_EQ(unregister_server(r_, messages_), 0);
  EXPECT_TRUE(shown_.empty());
}

TEST_F(Registering, UnitFolderThatCannotBeMadeIsReported) {
  fs::create_directories(r_.unit_dir.parent_path());
  std::ofstream(r_.unit_dir) << "a file where the folder should be\n";
  EXPECT_EQ(register_server(r_, true, messages_), 1);
  EXPECT_EQ(shown_, (std::vector<std::string>{"Couldn't open service manager"}));
}

}  // namespace
}  // namespace vorkey
