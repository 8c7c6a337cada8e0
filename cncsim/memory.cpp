#include "cncsim/memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

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

bool MappedFile::open(const std::filesystem::path& path, size_t size, uint8_t fill,
                      std::string* error) {
  release();
  auto fail = [&](const char* what) {
    if (error) *error = std::string(what) + " " + path.string() + ": " + std::strerror(errno);
    return false;
  };
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return fail("cannot open");
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return fail("cannot stat");
  }
  size_t old_size = size_t(st.st_size);
  // Reserve every block now: a write into a hole of a mapped file on a full disk would kill the
  // daemon with SIGBUS, where a refusal here only keeps the contents in memory.
  if (int e = posix_fallocate(fd, 0, off_t(size)); e != 0) {
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
  if (old_size < size && fill != 0) std::memset(data_ + old_size, fill, size - old_size);
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
