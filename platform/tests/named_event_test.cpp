#include "platform/named_event.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

namespace moxel {
namespace {

class NamedEventTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/moxel-event-XXXXXX";
    dir_ = mkdtemp(pattern);
    std::filesystem::permissions(dir_, std::filesystem::perms::all);  // like the 1777 run folder
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

// Runs `name`'s setter in a child process; as root the child first becomes another user, so the
// test shows that a program of any user may set the owner's event.
int set_from_other_process(const std::filesystem::path& dir) {
  pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
    _exit(signal_named_event("Change", dir) ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(NamedEventTest, OwnerSeesASetFromAnotherProcessOnceAndResetsIt) {
  mode_t old_mask = umask(077);
  std::unique_ptr<NamedEvent> event = NamedEvent::create("Change", dir_);
  umask(old_mask);
  ASSERT_TRUE(event);
  struct stat st {};
  ASSERT_EQ(stat(NamedEvent::file_for("Change", dir_).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);

  EXPECT_FALSE(event->test_and_reset());
  ASSERT_EQ(set_from_other_process(dir_), 0);
  ASSERT_EQ(set_from_other_process(dir_), 0);  // two sets before a test: one change seen
  EXPECT_TRUE(event->is_set());
  EXPECT_TRUE(event->test_and_reset());
  EXPECT_FALSE(event->test_and_reset());
}

TEST_F(NamedEventTest, CreateStartsResetAndOpenNeedsTheOwner) {
  int error = 0;
  EXPECT_FALSE(NamedEvent::open("Change", dir_, &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(signal_named_event("Change", dir_));

  std::ofstream(NamedEvent::file_for("Change", dir_)) << "1";  // left set by an earlier run
  std::unique_ptr<NamedEvent> event = NamedEvent::create("Change", dir_);
  ASSERT_TRUE(event);
  EXPECT_FALSE(event->is_set());
}

TEST_F(NamedEventTest, ATruncatedOrGarbledFileReadsAsNotSet) {
  std::unique_ptr<NamedEvent> event = NamedEvent::create("Change", dir_);
  ASSERT_TRUE(event);
  std::filesystem::resize_file(NamedEvent::file_for("Change", dir_), 0);
  EXPECT_FALSE(event->test_and_reset());
  std::ofstream(NamedEvent::file_for("Change", dir_)) << "x";
  EXPECT_FALSE(event->test_and_reset());
  EXPECT_TRUE(event->set());
  EXPECT_TRUE(event->test_and_reset());
}

TEST_F(NamedEventTest, CreateFailsWhereNoFileCanBeMade) {
  int error = 0, step = 0;
  EXPECT_FALSE(NamedEvent::create("Change", "/proc/no-such-folder", &error, &step));
  EXPECT_NE(error, 0);
  EXPECT_EQ(step, 1);
}

}  // namespace
}  // namespace moxel
