#include "kestrel/cncitf/boot_records.h"

#include <cstdio>
#include <cstring>

namespace kestrel {
namespace {

uint16_t le16(std::span<const uint8_t> b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }
uint32_t le32(std::span<const uint8_t> b, size_t at) { return uint32_t(le16(b, at)) | uint32_t(le16(b, at + 2)) << 16; }

std::string text(std::span<const uint8_t> b, size_t at, size_t size) {
  std::string s(reinterpret_cast<const char*>(b.data() + at), size);
  return s.substr(0, s.find('\0'));
}

std::string size_text(const char* what, uint32_t bytes) {
  char out[48];
  const uint32_t kb = bytes / 1024;
  if (kb < 1024)
    std::snprintf(out, sizeof out, "%s %u KB", what, kb);
  else
    std::snprintf(out, sizeof out, "%s %.1f MB", what, kb / 1024.0);
  return out;
}

}  // namespace

BoardRecord parse_board_entry(std::span<const uint8_t> e) {
  BoardRecord b;
  b.number = le16(e, 0);
  b.from_size = le32(e, 4);
  b.sram_size = le32(e, 8);
  b.name = text(e, 12, 8);
  b.extension = text(e, 20, 4);
  b.sram_code = le16(e, 24);
  return b;
}

ModuleRecord parse_directory_entry(std::span<const uint8_t> e) {
  ModuleRecord m;
  m.name = text(e, 0, 8);
  m.interleaved = e[9] == '1';
  m.block_count = uint16_t(e[10] << 8 | e[11]);
  m.first_block = le16(e, 32);
  m.protected_module = (e[34] & 1) == 0;
  m.plain_copy = (e[35] & 1) != 0;
  return m;
}

std::string board_line(const BoardRecord& board) {
  char head[32];
  std::snprintf(head, sizeof head, "%2d %-8.8s  ", board.number, board.name.c_str());
  return head + size_text("F-ROM", board.from_size) + "  " + size_text("SRAM", board.sram_size);
}

std::string module_line(const ModuleRecord& module) {
  char line[32];
  std::snprintf(line, sizeof line, "%.8s\t(%d)", module.name.c_str(), module.block_count);
  return line;
}

}  // namespace kestrel
