#pragma once
// The page as the viewer draws it: a list of texts placed on a grid whose x unit is a tenth of the
// width of the character "0" and whose row unit is its height. The window converts positions to
// pixels (cut toward zero). The text dump of a memory page is laid out for reading instead (see
// dump_rows); the register view's dump puts each text into the character column its first pixel
// falls in.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "hexlook/hex_model.h"

namespace hexlook {

struct TextItem {
  int x10 = 0;        // in tenths of the width of "0" from the left edge (byte cells sit at 2.8)
  int row = 0;        // in heights of "0" from the top edge
  std::string text;
  bool inverted = false;  // the cursor cell: white on an opaque black background
};
using Layout = std::vector<TextItem>;

// Cells on one page: 256 / unit size.
constexpr int cells_per_page(Mode m) { return int(256 / unit_size(m)); }

// The memory page of `model` with `cells` (cells_per_page values, the first at the page address).
// Items come in drawing order: per line the line address and its cells, the headers of row 0 with
// the first line; in byte mode the character column, then its header. The cursor cell (and its
// character) are inverted.
Layout memory_layout(const HexModel& model, const uint32_t* cells);

// The register view: headers of offsets 0 to 15 in row 0, the port address and the 16 register
// bytes in row 1.
Layout register_layout(uint16_t port_base, const std::array<uint8_t, 16>& registers);

// The text of the cursor cell: 2, 4 or 8 hexadecimal digits.
std::string cell_text(Mode m, uint32_t value);

// Lays the items onto character rows: a text starts in column x10 / 10 (cut toward zero); where texts overlap, the
// later one's characters replace the earlier ones, but a space covers nothing (texts are drawn
// without background, so a trailing blank hides nothing). One string per row from row 0 to the
// last row used, trailing blanks removed.
std::vector<std::string> render_rows(const Layout& layout);

// The memory page as text, for people and scripts: a header row, then per line the address, the
// cells with one blank between them and the line's 16 bytes as characters (printable ASCII, else
// "."), in every mode. Headers sit over their cells:
//            +0 +1 ... +F 0123456789ABCDEF
//   20C01000 48 65 ... 41 He.............A
std::vector<std::string> dump_rows(Mode mode, uint32_t top_line, const uint32_t* cells);

}  // namespace hexlook
