#pragma once
// The records the boot console builds from what the boot software returns: the 32-byte board
// entries of function 0x004 and the 48-byte F-ROM directory entries of function 0x104, with the
// lines the console shows for them.
#include <cstdint>
#include <span>
#include <string>

namespace kestrel {

constexpr uint32_t kBoardEntrySize = 32;
constexpr uint32_t kDirectoryEntrySize = 48;

struct BoardRecord {
  uint16_t number = 0;
  uint32_t from_size = 0;  // bytes
  uint32_t sram_size = 0;  // bytes
  std::string name;        // 8 characters
  std::string extension;   // at most 3 characters
  uint16_t sram_code = 0;  // handed to every SRAM block read and write
};

struct ModuleRecord {
  std::string name;  // 8 characters
  bool interleaved = false;
  uint16_t block_count = 0;
  uint16_t first_block = 0;
  bool protected_module = false;
  bool plain_copy = false;
};

BoardRecord parse_board_entry(std::span<const uint8_t> entry);    // 32 bytes
ModuleRecord parse_directory_entry(std::span<const uint8_t> entry);  // 48 bytes

// "%2d %-8.8s  " then "F-ROM %d KB  " / "F-ROM %.1f MB  " and "SRAM %d KB" / "SRAM %.1f MB".
std::string board_line(const BoardRecord& board);
// "%.8s\t(%d)": name and block count.
std::string module_line(const ModuleRecord& module);

}  // namespace kestrel
