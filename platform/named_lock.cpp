#include "platform/named_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/paths.h"

namespace moxel {

NamedLock::NamedLock(const std::string& name, const std::filesystem::path& folder) {
  std::filesystem::path dir = folder.empty() ? run_dir() : folder;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  std::filesystem::path file = dir / (name + ".lock");
  fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ >= 0) ::fchmod(fd_, 0666);  // the umask must not narrow who may share it
}

NamedLock::~NamedLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool NamedLock::lock() {
  if (fd_ < 0) return false;
  while (::flock(fd_, LOCK_EX) != 0)
    if (errno != EINTR) return false;
  held_ = true;
  return true;
}

bool NamedLock::try_lock() {
  if (fd_ < 0) return false;
  held_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
  return held_;
}

void NamedLock::unlock() {
  if (fd_ >= 0 && held_) ::flock(fd_, LOCK_UN);
  held_ = false;
}

}  // namespace moxel
