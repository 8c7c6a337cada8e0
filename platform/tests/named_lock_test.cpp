#include "platform/named_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace moxel {
namespace {

TEST(NamedLock, ExcludesOtherHoldersAndIsFreedWhenTheHolderDies) {
  char pattern[] = "/tmp/moxel-lock-XXXXXX";
  std::filesystem::path dir = mkdtemp(pattern);

  NamedLock first("Mutex", dir);
  NamedLock second("Mutex", dir);
  ASSERT_TRUE(first.valid());
  ASSERT_TRUE(first.try_lock());
  EXPECT_FALSE(second.try_lock());
  first.unlock();
  EXPECT_TRUE(second.try_lock());
  second.unlock();

  struct stat st {};
  ASSERT_EQ(stat((dir / "Mutex.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);

  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  if (child == 0) {
    NamedLock held("Mutex", dir);
    held.lock();
    (void)!write(ready[1], "x", 1);
    pause();
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  EXPECT_FALSE(first.try_lock()) << "the child holds it";
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_TRUE(first.try_lock()) << "the kernel frees a dead holder's lock";
  std::filesystem::remove_all(dir);
}

// What a lock does with whatever already sits under its name: a planted link is never followed and
// nothing it did not create has its mode changed.
TEST(NamedLock, RefusesLinksAndOddFilesAndChangesNoFileItDidNotMake) {
  char pattern[] = "/tmp/moxel-lock-XXXXXX";
  std::filesystem::path dir = mkdtemp(pattern);
  const auto secret = dir / "secret";
  { std::ofstream(secret) << "x"; }
  chmod(secret.c_str(), 0600);

  ASSERT_EQ(symlink(secret.c_str(), (dir / "Linked.lock").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "Fifo.lock").c_str(), 0666), 0);
  std::filesystem::create_directory(dir / "Folder.lock");
  { std::ofstream(dir / "Existing.lock") << ""; }
  chmod((dir / "Existing.lock").c_str(), 0640);

  struct Case {
    const char* name;
    bool valid;
  } cases[] = {{"Linked", false}, {"Fifo", false}, {"Folder", false}, {"Existing", true}};
  for (const auto& c : cases) {
    NamedLock lock(c.name, dir);
    EXPECT_EQ(lock.valid(), c.valid) << c.name;
    if (c.valid) {
      EXPECT_TRUE(lock.try_lock()) << c.name;
    }
  }
  struct stat st {};
  ASSERT_EQ(stat(secret.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the link's target keeps its mode";
  ASSERT_EQ(stat((dir / "Existing.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u) << "a lock file made by someone else keeps its mode";

  NamedLock own("Own", dir, 0600);
  ASSERT_TRUE(own.valid());
  ASSERT_EQ(stat((dir / "Own.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace moxel
