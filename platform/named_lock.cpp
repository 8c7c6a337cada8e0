#include "platform/named_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/paths.h"

namespace moxel {

NamedLock::NamedLock(const std::string& name, const std::filesystem::path& folder, mode_t mode) {
  std::filesystem::path dir = folder.empty() ? lock_dir() : folder;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  std::filesystem::path file = dir / (name + ".lock");
  // O_NOFOLLOW: a link planted under the name must not lead the lock to another file. Made anew
  // (O_EXCL) the file is ours and gets `mode`; otherwise it is opened as it is.
  constexpr int kFlags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  int fd = ::open(file.c_str(), kFlags | O_CREAT | O_EXCL, mode);
  const bool made = fd >= 0;
  if (!made && errno == EEXIST) fd = ::open(file.c_str(), kFlags);
  // flock needs no write access: another user's lock file that is not writable is still shared.
  if (!made && fd < 0 && errno == EACCES) fd = ::open(file.c_str(), (kFlags & ~O_RDWR) | O_RDONLY);
  if (fd < 0) return;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return;
  }
  if (made) ::fchmod(fd, mode);  // the umask must not narrow who may share it
  fd_ = fd;
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
