#pragma once
// A lock shared by all processes of the machine: flock on a file in the run folder. The kernel
// releases it when its holder dies, so a crashed program never leaves the others waiting.
#include <filesystem>
#include <string>

namespace moxel {

class NamedLock {
 public:
  // `name` becomes the file `name`.lock in `folder` (the run folder by default), created with mode
  // 0666 so that every user's programs can share it.
  explicit NamedLock(const std::string& name, const std::filesystem::path& folder = {});
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
