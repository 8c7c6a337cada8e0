#pragma once
// The CNC's memory as the Cnbus addresses it (space code in bits 24-31, offset in bits 0-23).
//
//   space 0x20, offsets 0xC00000-0xFFFFFF  shared memory, 4 MB (communication area at 0xD0000 of
//                                          it, transfer buffer at 0); cleared at power-on
//   space 0x10, offsets 0x000000-0x0FFFFF  CNC-side interface registers (window nibble words,
//                                          window words and registers, generation word)
//   space 0x30, offset 0x800000 (2 bytes)  link control word: the board's own, kept by the node
//   space 0xE0, offsets 0 to F-ROM size-1  F-ROM (flash), kept in "from.bin"
//   space 0xF0, offsets 0 to SRAM size-1   battery-backed SRAM, kept in "sram.bin"
//
// F-ROM and SRAM are the CNC's own memory: the board's window does not reach them (a unit there
// reads all ones), only the CNC side (its boot software, peek and poke) does. Their files are
// mapped shared, so what is written reaches the page cache at once and survives even a killed
// daemon.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace cncsim {

constexpr uint32_t kSpaceInterface = 0x10;
constexpr uint32_t kSpaceShared = 0x20;
constexpr uint32_t kSpaceLinkControl = 0x30;
constexpr uint32_t kSpaceFrom = 0xE0;
constexpr uint32_t kSpaceSram = 0xF0;

constexpr uint32_t kSharedStart = 0xC00000;
constexpr uint32_t kSharedSize = 0x400000;
constexpr uint32_t kInterfaceSize = 0x100000;
constexpr uint32_t kLinkControlOffset = 0x800000;
constexpr uint32_t kMaxSpaceSize = 0x1000000;

constexpr uint32_t kDefaultSramSize = 0x80000;   // 512 KB: 16 blocks of 32 KB
constexpr uint32_t kDefaultFromSize = 0x400000;  // 4 MB: 32 blocks of 128 KB

constexpr const char* kSramFileName = "sram.bin";
constexpr const char* kFromFileName = "from.bin";

constexpr uint32_t cnbus_address(uint32_t space, uint32_t offset) {
  return (space << 24) | (offset & 0xFFFFFF);
}

// A byte array backed by a shared file mapping, or by plain memory when no file is given.
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Maps `size` bytes of `path`, creating it filled with `fill` when missing and growing it with
  // `fill` when shorter (a longer file keeps its tail). A file is created or grown complete under a
  // temporary name and then renamed into place, so a daemon killed meanwhile never leaves a file
  // partly filled. False, with the reason in *error, when the file cannot be used; the contents are
  // then kept in memory.
  bool open(const std::filesystem::path& path, size_t size, uint8_t fill, std::string* error);
  void open_memory(size_t size, uint8_t fill);
  uint8_t* data() { return data_; }
  size_t size() const { return size_; }
  bool persistent() const { return mapped_; }
  void sync();

 private:
  void release();
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  bool mapped_ = false;
  std::vector<uint8_t> memory_;
};

class CncMemory {
 public:
  // `dir` holds the files of F-ROM and SRAM; empty keeps them in memory. A warning is left in
  // *warning when the folder cannot be used.
  CncMemory(const std::filesystem::path& dir, uint32_t sram_size, uint32_t from_size,
            std::string* warning);

  // The byte at a Cnbus address, or nullptr when no memory lies there. `through_board` hides the
  // CNC's own memory (F-ROM, SRAM) that the window does not reach.
  uint8_t* byte(uint32_t address, bool through_board) { return run(address, through_board).data(); }
  // The bytes from `address` to the end of the memory region it lies in; empty when none lies
  // there.
  std::span<uint8_t> run(uint32_t address, bool through_board);

  // Clears what a power cycle loses: shared memory and interface registers.
  void clear_volatile();
  std::span<uint8_t> shared() { return shared_; }
  std::span<uint8_t> interface() { return interface_; }
  std::span<uint8_t> sram() { return {sram_.data(), sram_.size()}; }
  std::span<uint8_t> from() { return {from_.data(), from_.size()}; }
  bool persistent() const { return sram_.persistent() && from_.persistent(); }
  void sync();

 private:
  std::vector<uint8_t> shared_;
  std::vector<uint8_t> interface_;
  MappedFile sram_;
  MappedFile from_;
};

}  // namespace cncsim
