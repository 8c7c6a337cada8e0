#pragma once
// A lock shared by all processes of the machine: flock on a file in the lock folder. The kernel
// releases it when its holder dies, so a crashed program never leaves the others waiting.
#include <sys/types.h>

#include <filesystem>
#include <string>

namespace moxel {

class NamedLock {
 public:
  // `name` becomes the file `name`.lock in `folder` (the lock folder by default). A file this lock
  // creates gets `mode` (0666 by default, so that every user's programs can share it, whatever
  // their umask); a file that exists is used as it is, never changed. The lock is not valid when
  // the name is taken by anything but a regular file (a symbolic link planted there is not
  // followed) or the file cannot be opened.
  explicit NamedLock(const std::string& name, const std::filesystem::path& folder = {},
                     mode_t mode = 0666);
  ~NamedLock();
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;

  bool valid() const { return fd_ >= 0; }
  bool lock();      // waits as long as it takes
  bool try_lock();  // never waits
  void unlock();

 private:
  int fd_ = -1;
  bool held_ = false;
};

}  // namespace moxel
