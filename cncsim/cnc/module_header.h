#pragma once
// The 128-byte header of a system-data module, as the boot software keeps it for every module in
// its F-ROM directory and hands it out with function 0x108. A module saved by the boot console is
// this header followed by the module's data; a load file is the same: the boot software checks
// the first 1024 bytes it is shown (function 0x106) by the header in their first 128 bytes, and
// the data begins at offset 128. So a saved module loads back as it was.
//
//   offset  size  field
//   0       8     "MOXELROM"
//   8       16    module name, ASCII, NUL-padded (the directory shows its first 8 characters)
//   24      4     data size in bytes, little-endian: the data that follows the header
//   28      4     0 (reserved)
//   32      16    version text, free, NUL-padded
//   58      2     "01" interleaved (stored over pairs of blocks, bytes alternating), "00" not
//   60      1     flags: bit 0 protected, bit 1 plain copy (saved block by block)
//   124     4     CRC-32 (the zlib/IEEE polynomial) of bytes 0 to 123, little-endian
//
// A header is valid when the magic, the name (not empty), a size above 0, the interleave text and
// the CRC are right. The module occupies size / 128 KB blocks rounded up (an interleaved one an
// even number: size / 256 KB rounded up, times 2).
#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace cncsim::cnc {

constexpr uint32_t kModuleHeaderSize = 128;
constexpr uint32_t kLoadHeaderSize = 1024;
constexpr uint32_t kFromBlockSize = 0x20000;
constexpr uint8_t kModuleProtected = 0x01;
constexpr uint8_t kModulePlainCopy = 0x02;

struct ModuleInfo {
  std::string name;  // at most 16 characters
  uint32_t size = 0;
  bool interleaved = false;
  uint8_t flags = 0;
  std::string version;
};

using ModuleHeader = std::array<uint8_t, kModuleHeaderSize>;

ModuleHeader make_module_header(const ModuleInfo& info);
// False when the header is not valid (see above).
bool parse_module_header(std::span<const uint8_t> header, ModuleInfo* info);
uint32_t module_blocks(const ModuleInfo& info);

// CRC-32 (zlib) of `data`.
uint32_t crc32_of(std::span<const uint8_t> data);

}  // namespace cncsim::cnc
