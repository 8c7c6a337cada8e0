#include "hexlook/hex_model.h"

namespace hexlook {

void HexModel::page_up() {
  top_line_ = top_line_ < kLinesPerPage ? 0 : top_line_ - kLinesPerPage;
  row_ = column_ = 0;
}

void HexModel::page_down() {
  top_line_ = top_line_ < kLastTopLine - kLinesPerPage ? top_line_ + kLinesPerPage : kLastTopLine;
  row_ = column_ = 0;
}

void HexModel::left() {
  if (column_ > 0) {
    --column_;
  } else if (row_ > 0) {
    --row_;
    column_ = last_col();
  } else if (top_line_ > 0) {
    --top_line_;
    column_ = last_col();
  }
}

void HexModel::right() {
  if (column_ < last_col()) {
    ++column_;
  } else if (row_ < kLinesPerPage - 1) {
    ++row_;
    column_ = 0;
  } else if (top_line_ < kLastTopLine) {
    ++top_line_;
    column_ = 0;
  }
}

void HexModel::up() {
  if (row_ > 0)
    --row_;
  else if (top_line_ > 0)
    --top_line_;
}

void HexModel::down() {
  if (row_ < kLinesPerPage - 1)
    ++row_;
  else if (top_line_ < kLastTopLine)
    ++top_line_;
}

bool HexModel::at_last_cell() const {
  return column_ == last_col() && row_ == kLinesPerPage - 1 && top_line_ == kLastTopLine;
}

void HexModel::set_mode(Mode m) {
  // The byte offset of the cursor within its line stays; the column is that offset in new units,
  // cut down to the cell that holds it.
  const uint32_t offset = column_ * unit();
  mode_ = m;
  column_ = offset / unit();
}

void HexModel::go_to(uint32_t address) {
  top_line_ = address / 16u;
  row_ = 0;
  column_ = (address % 16u) / unit();
  // An address on the last lines of the address space would put the top line past the last page;
  // the page then starts at the last top line and the cursor goes down to the address's line.
  if (top_line_ > kLastTopLine) {
    row_ = top_line_ - kLastTopLine;
    top_line_ = kLastTopLine;
  }
}

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

uint32_t parse_hex(std::string_view text) {
  uint32_t value = 0;
  for (char c : text) {
    uint32_t digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else
      break;
    value = (value << 4) | digit;
  }
  return value;
}

bool is_hex_text(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!is_hex_digit(c)) return false;
  return true;
}

std::optional<Mode> mode_from_name(std::string_view name) {
  if (name == "byte") return Mode::byte;
  if (name == "word") return Mode::word;
  if (name == "dword") return Mode::dword;
  return std::nullopt;
}

}  // namespace hexlook
