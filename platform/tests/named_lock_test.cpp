#include "platform/named_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

}  // namespace
}  // namespace moxel
