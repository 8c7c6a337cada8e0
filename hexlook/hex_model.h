#pragma once
// The memory viewer's address model: which page is shown, where the cursor sits, the display mode
// and the three toggles. Plain arithmetic, no widget and no CNC access, so the window, the text
// dump and the tests share it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace hexlook {

enum class Mode : uint32_t { byte = 0, word = 1, dword = 2 };

// Bytes per cell: 1, 2 or 4.
constexpr uint32_t unit_size(Mode m) { return 1u << static_cast<uint32_t>(m); }
// Index of the last cell of a line: 15, 7 or 3.
constexpr uint32_t last_column(Mode m) { return 16u / unit_size(m) - 1; }

// A line is 16 bytes; a page is 16 lines. The top line never exceeds kLastTopLine, so the last page
// ends at address 0xFFFFFFFF.
constexpr uint32_t kLinesPerPage = 16;
constexpr uint32_t kLastTopLine = 0xFFFFFF0;
constexpr uint32_t kInitialTopLine = 0x20C0000;  // page at 0x20C00000, the CNC's shared memory

class HexModel {
 public:
  uint32_t top_line() const { return top_line_; }
  uint32_t row() const { return row_; }
  uint32_t column() const { return column_; }
  Mode mode() const { return mode_; }
  uint32_t unit() const { return unit_size(mode_); }
  uint32_t last_col() const { return last_column(mode_); }

  // First byte of the page and address of the cursor cell.
  uint32_t page_address() const { return top_line_ * 16u; }
  uint32_t cursor_address() const { return (top_line_ + row_) * 16u + column_ * unit(); }

  // Movement, as the keys Page Up, Page Down and the arrows move.
  void page_up();
  void page_down();
  void left();
  void right();
  void up();
  void down();
  // Right, but reports whether the cursor moved (it does not at the last cell of the address space).
  bool at_last_cell() const;

  // Changes the display mode keeping the cursor on the same bytes; row and top line stay.
  void set_mode(Mode m);
  // Shows the page holding `address` from its line on: top line = address / 16, row 0, and the
  // column of the cell that holds the address in the current mode.
  void go_to(uint32_t address);

  // Toggles.
  bool write_enabled = false;
  bool register_view = false;
  bool physical_slot = false;

 private:
  uint32_t top_line_ = kInitialTopLine;
  uint32_t row_ = 0;
  uint32_t column_ = 0;
  Mode mode_ = Mode::byte;
};

// Hexadecimal digits accumulate into a 32-bit value, most significant first, up to the first
// character that is not a digit.
uint32_t parse_hex(std::string_view text);
// True when `text` is not empty and holds hexadecimal digits only.
bool is_hex_text(std::string_view text);
bool is_hex_digit(char c);

// "byte", "word", "dword".
std::optional<Mode> mode_from_name(std::string_view name);

}  // namespace hexlook
