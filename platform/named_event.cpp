#include "platform/named_event.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/paths.h"

namespace moxel {
namespace {

void put(int* where, int value) {
  if (where) *where = value;
}

}  // namespace

std::filesystem::path NamedEvent::file_for(const std::string& name,
                                           const std::filesystem::path& folder) {
  return (folder.empty() ? lock_dir() : folder) / (name + ".event");
}

std::unique_ptr<NamedEvent> NamedEvent::create(const std::string& name,
                                               const std::filesystem::path& folder, int* error,
                                               int* step) {
  std::filesystem::path file = file_for(name, folder);
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  // Opening an existing file first: in a sticky shared folder the kernel may refuse O_CREAT on a
  // file that another user made, although opening it plainly is allowed.
  int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0 && errno == ENOENT)
    fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) {
    put(error, errno);
    put(step, 1);
    return nullptr;
  }
  std::unique_ptr<NamedEvent> event(new NamedEvent(fd));
  if (!event->reset()) {
    put(error, errno);
    put(step, 1);
    return nullptr;
  }
  // The umask must not narrow who may set it. A file owned by someone else keeps its mode.
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && ::fchmod(fd, 0666) != 0) {
    put(error, errno);
    put(step, 2);
    return nullptr;
  }
  return event;
}

std::unique_ptr<NamedEvent> NamedEvent::open(const std::string& name,
                                             const std::filesystem::path& folder, int* error) {
  int fd = ::open(file_for(name, folder).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    put(error, errno);
    return nullptr;
  }
  return std::unique_ptr<NamedEvent>(new NamedEvent(fd));
}

NamedEvent::~NamedEvent() { ::close(fd_); }

bool NamedEvent::write_state(char c) { return ::pwrite(fd_, &c, 1, 0) == 1; }

bool NamedEvent::set() { return write_state('1'); }

bool NamedEvent::reset() { return write_state('0'); }

bool NamedEvent::is_set() const {
  char c = 0;
  return ::pread(fd_, &c, 1, 0) == 1 && c == '1';
}

bool NamedEvent::test_and_reset() {
  if (!is_set()) return false;
  reset();
  return true;
}

bool signal_named_event(const std::string& name, const std::filesystem::path& folder) {
  std::unique_ptr<NamedEvent> event = NamedEvent::open(name, folder);
  return event && event->set();
}

}  // namespace moxel
