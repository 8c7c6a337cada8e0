#include "cncsim/memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/temp_files.h"

namespace cncsim {

MappedFile::~MappedFile() { release(); }

void MappedFile::release() {
  if (mapped_ && data_) {
    msync(data_, size_, MS_SYNC);
    munmap(data_, size_);
  }
  mapped_ = false;
  data_ = nullptr;
  size_ = 0;
  memory_.clear();
}

void MappedFile::open_memory(size_t size, uint8_t fill) {
  release();
  memory_.assign(size, fill);
  data_ = memory_.data();
  size_ = size;
}

namespace {

// Writes `size` bytes: the first `keep` bytes of `old` (-1: none), then `fill`.
bool write_contents(int fd, int old, size_t keep, size_t size, uint8_t fill) {
  std::vector<uint8_t> chunk(1 << 20);
  for (size_t at = 0; at < size;) {
    const size_t n = std::min(chunk.size(), size - at);
    size_t have = 0;
    while (at < keep && have < std::min(n, keep - at)) {
      const ssize_t got = ::pread(old, chunk.data() + have, std::min(n, keep - at) - have, off_t(at + have));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      have += size_t(got);
    }
    std::fill(chunk.begin() + std::ptrdiff_t(have), chunk.begin() + std::ptrdiff_t(n), fill);
    for (size_t done = 0; done < n;) {
      const ssize_t put = ::pwrite(fd, chunk.data() + done, n - done, off_t(at + done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      done += size_t(put);
    }
    at += n;
  }
  return true;
}

// Temporary files are "<name>.new-XXXXXX" next to the file.
std::string temp_prefix(const std::filesystem::path& path) { return path.filename().string() + ".new-"; }

// Makes `path` at least `size` bytes long, the new bytes `fill`, without ever leaving it shorter or
// partly filled: the whole file is written under a temporary name and renamed into place, so that
// a daemon killed meanwhile leaves the old file (or none) and never a new one half filled.
bool make_complete(const std::filesystem::path& path, int old, size_t old_size, size_t size,
                   uint8_t fill, mode_t mode) {
  std::string temp = (path.parent_path() / (temp_prefix(path) + "XXXXXX")).string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, mode) == 0;
  // Every block reserved now: a write into a hole of a mapped file on a full disk would kill the
  // daemon with SIGBUS, where a refusal here only keeps the contents in memory.
  if (ok) {
    const int e = posix_fallocate(fd, 0, off_t(size));
    if (e != 0) errno = e;
    ok = e == 0;
  }
  ok = ok && write_contents(fd, old, std::min(old_size, size), size, fill) && ::fsync(fd) == 0 &&
       ::rename(temp.c_str(), path.c_str()) == 0;
  const int e = errno;
  ::close(fd);
  if (!ok) ::unlink(temp.c_str());
  errno = e;
  return ok;
}

}  // namespace

bool MappedFile::open(const std::filesystem::path& path, size_t size, uint8_t fill,
                      std::string* error) {
  release();
  auto fail = [&](const char* what) {
    if (error) *error = std::string(what) + " " + path.string() + ": " + std::strerror(errno);
    return false;
  };
  moxel::remove_stale_temps(path.parent_path(), temp_prefix(path));  // lorandd alone writes here
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0 && errno != ENOENT) return fail("cannot open");
  struct stat st {};
  if (fd >= 0 && fstat(fd, &st) != 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return fail("cannot stat");
  }
  if (fd >= 0 && !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return fail("not a regular file:");
  }
  if (fd < 0 || size_t(st.st_size) < size) {
    const bool made = make_complete(path, fd, fd < 0 ? 0 : size_t(st.st_size), size, fill,
                                    fd < 0 ? 0644 : (st.st_mode & 07777));
    const int e = errno;
    if (fd >= 0) ::close(fd);
    errno = e;
    if (!made) return fail("cannot create");
    fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return fail("cannot open");
  } else if (int e = posix_fallocate(fd, 0, off_t(size)); e != 0) {  // a sparse file of old
    ::close(fd);
    errno = e;
    return fail("cannot reserve space for");
  }
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  int e = errno;
  ::close(fd);
  if (p == MAP_FAILED) {
    errno = e;
    return fail("cannot map");
  }
  data_ = static_cast<uint8_t*>(p);
  size_ = size;
  mapped_ = true;
  return true;
}

void MappedFile::sync() {
  if (mapped_ && data_) msync(data_, size_, MS_SYNC);
}

CncMemory::CncMemory(const std::filesystem::path& dir, uint32_t sram_size, uint32_t from_size,
                     std::string* warning)
    : shared_(kSharedSize, 0), interface_(kInterfaceSize, 0) {
  sram_size = std::min(std::max(sram_size, 1u), kMaxSpaceSize);
  from_size = std::min(std::max(from_size, 1u), kMaxSpaceSize);
  bool files = !dir.empty();
  std::string error;
  if (files) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
      error = "cannot create " + dir.string() + ": " + ec.message();
      files = false;
    }
  }
  if (!files || !sram_.open(dir / kSramFileName, sram_size, 0x00, &error))
    sram_.open_memory(sram_size, 0x00);
  if (!files || !from_.open(dir / kFromFileName, from_size, 0xFF, &error))
    from_.open_memory(from_size, 0xFF);
  if (warning && !error.empty()) *warning = error + " (SRAM and F-ROM kept in memory only)";
}

std::span<uint8_t> CncMemory::run(uint32_t address, bool through_board) {
  uint32_t space = address >> 24, offset = address & 0xFFFFFF;
  auto tail = [](uint8_t* data, size_t size, size_t at) -> std::span<uint8_t> {
    if (at >= size) return {};
    return {data + at, size - at};
  };
  switch (space) {
    case kSpaceShared:
      if (offset < kSharedStart) return {};
      return tail(shared_.data(), shared_.size(), offset - kSharedStart);
    case kSpaceInterface:
      return tail(interface_.data(), interface_.size(), offset);
    case kSpaceSram:
      if (through_board) return {};
      return tail(sram_.data(), sram_.size(), offset);
    case kSpaceFrom:
      if (through_board) return {};
      return tail(from_.data(), from_.size(), offset);
    default:
      return {};
  }
}

void CncMemory::clear_volatile() {
  std::fill(shared_.begin(), shared_.end(), 0);
  std::fill(interface_.begin(), interface_.end(), 0);
}

void CncMemory::sync() {
  sram_.sync();
  from_.sync();
}

}  // namespace cncsim
