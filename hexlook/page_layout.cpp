#include "hexlook/page_layout.h"

#include <algorithm>
#include <cstdio>

namespace hexlook {
namespace {

std::string format(const char* fmt, uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, fmt, value);
  return buffer;
}

char shown_character(uint32_t byte) { return byte >= 0x20 && byte <= 0x7E ? char(byte) : '.'; }

}  // namespace

std::string cell_text(Mode m, uint32_t value) {
  switch (m) {
    case Mode::byte: return format("%02X", value & 0xFF);
    case Mode::word: return format("%04X", value & 0xFFFF);
    case Mode::dword: return format("%08X", value);
  }
  return {};
}

Layout memory_layout(const HexModel& model, const uint32_t* cells) {
  const Mode mode = model.mode();
  const uint32_t unit = unit_size(mode);
  const int per_line = int(16 / unit);
  Layout out;
  out.reserve(per_line * 2 * 16 + 40);

  for (int i = 0; i < int(kLinesPerPage); ++i) {
    const uint32_t address = (model.top_line() + uint32_t(i)) * 16u;
    out.push_back({0, i + 1, format("%08X", address), false});
    for (int k = 0; k < per_line; ++k) {
      int x = 0, header_x = 0;  // tenths of a character width
      switch (mode) {
        case Mode::byte: x = header_x = 28 * k + 90; break;
        case Mode::word: x = 10 * (9 + 5 * k); header_x = 10 * (11 + 5 * k); break;
        case Mode::dword: x = 10 * (9 + 9 * k); header_x = 10 * (15 + 9 * k); break;
      }
      if (i == 0) out.push_back({header_x, 0, format("+%X ", uint32_t(k) * unit), false});
      const bool cursor = uint32_t(i) == model.row() && uint32_t(k) == model.column();
      out.push_back({x, i + 1, cell_text(mode, cells[i * per_line + k]), cursor});
    }
    if (mode == Mode::byte) {
      for (int k = 0; k < 16; ++k) {
        const uint32_t b = cells[i * 16 + k] & 0xFF;
        const bool cursor = uint32_t(i) == model.row() && uint32_t(k) == model.column();
        out.push_back({10 * (54 + k), i + 1, std::string(1, shown_character(b)), cursor});
      }
    }
  }
  if (mode == Mode::byte) out.push_back({540, 0, "0123456789ABCDEF", false});
  return out;
}

Layout register_layout(uint16_t port_base, const std::array<uint8_t, 16>& registers) {
  Layout out;
  for (uint32_t i = 0; i < 16; ++i) out.push_back({int(10 * (5 + 3 * i)), 0, format("+%X ", i), false});
  out.push_back({0, 1, format("%04X", port_base), false});
  for (uint32_t i = 0; i < 16; ++i)
    out.push_back({int(10 * (5 + 3 * i)), 1, format("%02X", registers[i]), false});
  return out;
}

std::vector<std::string> render_rows(const Layout& layout) {
  int rows = 0;
  for (const auto& item : layout) rows = std::max(rows, item.row + 1);
  std::vector<std::string> lines(rows);
  for (const auto& item : layout) {
    if (item.row < 0) continue;
    std::string& line = lines[item.row];
    const size_t column = size_t(std::max(0, item.x10) / 10);
    for (size_t j = 0; j < item.text.size(); ++j) {
      const char c = item.text[j];
      if (c == ' ') continue;
      if (line.size() <= column + j) line.resize(column + j + 1, ' ');
      line[column + j] = c;
    }
  }
  return lines;
}

std::vector<std::string> dump_rows(Mode mode, uint32_t top_line, const uint32_t* cells) {
  const uint32_t unit = unit_size(mode);
  const int per_line = int(16 / unit);
  const size_t width = 2 * unit;  // hexadecimal digits of a cell
  std::vector<std::string> rows;
  std::string header(8, ' ');
  for (int k = 0; k < per_line; ++k) {
    std::string h = format("+%X", uint32_t(k) * unit);
    h.resize(width, ' ');
    header += ' ' + h;
  }
  rows.push_back(header + " 0123456789ABCDEF");
  for (uint32_t i = 0; i < kLinesPerPage; ++i) {
    std::string row = format("%08X", (top_line + i) * 16u);
    std::string characters;
    for (int k = 0; k < per_line; ++k) {
      const uint32_t value = cells[i * per_line + k];
      row += ' ' + cell_text(mode, value);
      // A cell holds its bytes lowest address first in its low bits.
      for (uint32_t b = 0; b < unit; ++b) characters += shown_character((value >> (8 * b)) & 0xFF);
    }
    rows.push_back(row + ' ' + characters);
  }
  return rows;
}

}  // namespace hexlook
