// The page layout: texts, positions, the character column and the dump's character grid.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hexlook/page_layout.h"

namespace hexlook {
namespace {

std::vector<uint32_t> ramp(int count, uint32_t first, uint32_t step) {
  std::vector<uint32_t> v(count);
  for (int i = 0; i < count; ++i) v[i] = first + uint32_t(i) * step;
  return v;
}

const TextItem* find(const Layout& layout, int row, int x10) {
  for (const auto& item : layout)
    if (item.row == row && item.x10 == x10) return &item;
  return nullptr;
}

TEST(HexlookLayout, BytePage) {
  HexModel m;
  std::vector<uint32_t> cells = ramp(256, 0, 1);
  for (int k = 0; k < 16; ++k) cells[k] = 0x41 + k;  // "A" to "P" on the first line
  const Layout layout = memory_layout(m, cells.data());

  // Cells at 2.8-character steps from 9, headers at the same places, characters from 54.
  for (int k = 0; k < 16; ++k) {
    const TextItem* header = find(layout, 0, 28 * k + 90);
    ASSERT_NE(header, nullptr) << k;
    char expected[8];
    snprintf(expected, sizeof expected, "+%X ", k);
    EXPECT_EQ(header->text, expected);
    ASSERT_NE(find(layout, 1, 28 * k + 90), nullptr);
    EXPECT_EQ(find(layout, 2, 28 * k + 90)->text, cell_text(Mode::byte, 0x10 + k));
    EXPECT_EQ(find(layout, 1, 540 + 10 * k)->text, std::string(1, char('A' + k)));
  }
  EXPECT_EQ(find(layout, 0, 540)->text, "0123456789ABCDEF");
  EXPECT_EQ(find(layout, 1, 0)->text, "20C00000");
  EXPECT_EQ(find(layout, 16, 0)->text, "20C000F0");

  const auto rows = render_rows(layout);
  ASSERT_EQ(rows.size(), 17u);
  // A text starts in the column where its first pixel falls; where a byte header's trailing blank
  // meets the next header, the next one shows.
  EXPECT_EQ(rows[0],
            "         +0+1 +2 +3 +4 +5+6 +7 +8 +9 +A+B +C +D +E +F 0123456789ABCDEF");
  EXPECT_EQ(rows[1], "20C00000 4142 43 44 45 4647 48 49 4A 4B4C 4D 4E 4F 50 ABCDEFGHIJKLMNOP");
  EXPECT_EQ(rows[2].substr(0, 54), "20C00010 1011 12 13 14 1516 17 18 19 1A1B 1C 1D 1E 1F ");
}

TEST(HexlookLayout, CharacterColumnShowsPrintableAsciiOnly) {
  HexModel m;
  std::vector<uint32_t> cells(256, 0x2E);
  const uint32_t line[16] = {0x00, 0x1F, 0x20, 0x21, 0x7E, 0x7F, 0x80, 0xFF,
                             0x30, 0x39, 0x41, 0x5A, 0x61, 0x7A, 0x09, 0x0A};
  for (int k = 0; k < 16; ++k) cells[k] = line[k];
  const auto rows = render_rows(memory_layout(m, cells.data()));
  EXPECT_EQ(rows[1].substr(54), ".. !~...09AZaz..");
}

TEST(HexlookLayout, WordAndDwordPages) {
  HexModel m;
  m.set_mode(Mode::word);
  std::vector<uint32_t> words = ramp(128, 0x1111, 0x1111);
  auto rows = render_rows(memory_layout(m, words.data()));
  ASSERT_EQ(rows.size(), 17u);
  EXPECT_EQ(rows[0], "           +0   +2   +4   +6   +8   +A   +C   +E");
  EXPECT_EQ(rows[1], "20C00000 1111 2222 3333 4444 5555 6666 7777 8888");
  EXPECT_EQ(rows[2], "20C00010 9999 AAAA BBBB CCCC DDDD EEEE FFFF 1110");  // 0x11110 cut to 16 bits

  m.set_mode(Mode::dword);
  std::vector<uint32_t> dwords = ramp(64, 0xFFFFFFFD, 1);
  rows = render_rows(memory_layout(m, dwords.data()));
  ASSERT_EQ(rows.size(), 17u);
  EXPECT_EQ(rows[0], "               +0       +4       +8       +C");
  EXPECT_EQ(rows[1], "20C00000 FFFFFFFD FFFFFFFE FFFFFFFF 00000000");
  EXPECT_EQ(rows[16], "20C000F0 00000039 0000003A 0000003B 0000003C");
}

// The dump: the same bytes in each mode, each cell one blank from the next, its header over its
// first digit, the characters last and under their header.
TEST(HexlookDump, EvenlySpacedCellsInEveryMode) {
  // Bytes 0x41, 0x42, ... from the page address, then 0x00 and 0x7F to show the dot.
  uint8_t bytes[256];
  for (int i = 0; i < 256; ++i) bytes[i] = uint8_t(0x41 + i % 26);
  bytes[14] = 0x00;
  bytes[15] = 0x7F;
  struct Case {
    Mode mode;
    const char* header;
    const char* first_line;
  } const cases[] = {
      {Mode::byte,
       "         +0 +1 +2 +3 +4 +5 +6 +7 +8 +9 +A +B +C +D +E +F 0123456789ABCDEF",
       "FFFFFF00 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 00 7F ABCDEFGHIJKLMN.."},
      {Mode::word,
       "         +0   +2   +4   +6   +8   +A   +C   +E   0123456789ABCDEF",
       "FFFFFF00 4241 4443 4645 4847 4A49 4C4B 4E4D 7F00 ABCDEFGHIJKLMN.."},
      {Mode::dword,
       "         +0       +4       +8       +C       0123456789ABCDEF",
       "FFFFFF00 44434241 48474645 4C4B4A49 7F004E4D ABCDEFGHIJKLMN.."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header);
    const uint32_t unit = unit_size(c.mode);
    std::vector<uint32_t> cells(256 / unit);
    for (size_t k = 0; k < cells.size(); ++k)
      for (uint32_t b = 0; b < unit; ++b) cells[k] |= uint32_t(bytes[k * unit + b]) << (8 * b);
    const auto rows = dump_rows(c.mode, kLastTopLine, cells.data());
    ASSERT_EQ(rows.size(), 17u);
    EXPECT_EQ(rows[0], c.header);
    EXPECT_EQ(rows[1], c.first_line);
    EXPECT_EQ(rows[16].substr(0, 9), "FFFFFFF0 ");
    for (const auto& row : rows) EXPECT_EQ(row.size(), rows[0].size()) << row;
  }
}

TEST(HexlookLayout, CursorCellIsInverted) {
  struct Case { Mode mode; uint32_t address; int row; int x10; std::string text; };
  const Case cases[] = {
      {Mode::byte, 0x20C00025, 3, 28 * 5 + 90, "25"},
      {Mode::word, 0x20C0003E, 4, 10 * (9 + 5 * 7), "003E"},
      {Mode::dword, 0x20C000F8, 16, 10 * (9 + 9 * 2), "000000F8"},
  };
  std::vector<uint32_t> cells(256);
  for (const auto& c : cases) {
    HexModel m;
    m.set_mode(c.mode);
    m.go_to(0x20C00000);
    while (m.cursor_address() != c.address) m.right();
    // Each cell holds its own byte offset, so the cursor cell's text names its address.
    for (int i = 0; i < cells_per_page(c.mode); ++i) cells[i] = uint32_t(i) * unit_size(c.mode);
    const Layout layout = memory_layout(m, cells.data());
    std::vector<const TextItem*> inverted;
    for (const auto& item : layout)
      if (item.inverted) inverted.push_back(&item);
    ASSERT_EQ(inverted.size(), c.mode == Mode::byte ? 2u : 1u);
    EXPECT_EQ(inverted[0]->row, c.row);
    EXPECT_EQ(inverted[0]->x10, c.x10);
    EXPECT_EQ(inverted[0]->text, c.text);
    if (c.mode == Mode::byte) {
      EXPECT_EQ(inverted[1]->x10, 540 + 50);  // its character, "%" (0x25)
      EXPECT_EQ(inverted[1]->text, "%");
    }
  }
}

TEST(HexlookLayout, LastPageOfTheAddressSpace) {
  HexModel m;
  m.go_to(0xFFFFFF00);
  std::vector<uint32_t> cells(256, 0xFF);
  const auto rows = render_rows(memory_layout(m, cells.data()));
  EXPECT_EQ(rows[1].substr(0, 8), "FFFFFF00");
  EXPECT_EQ(rows[16],
            "FFFFFFF0 FFFF FF FF FF FFFF FF FF FF FFFF FF FF FF FF ................");
}

TEST(HexlookLayout, RegisterView) {
  std::array<uint8_t, 16> registers{};
  for (int i = 0; i < 16; ++i) registers[i] = uint8_t(i * 0x11);
  const Layout layout = register_layout(0x300, registers);
  for (const auto& item : layout) EXPECT_FALSE(item.inverted);
  const auto rows = render_rows(layout);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], "     +0 +1 +2 +3 +4 +5 +6 +7 +8 +9 +A +B +C +D +E +F");
  EXPECT_EQ(rows[1], "0300 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
}

TEST(HexlookLayout, OverlapRules) {
  // Later texts replace earlier ones; blanks cover nothing; positions are cut toward zero.
  const Layout layout = {
      {0, 0, "ABCDE", false}, {19, 0, "xy", false}, {29, 0, " z", false}, {0, 2, "Q", false}};
  const auto rows = render_rows(layout);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], "AxyzE");
  EXPECT_EQ(rows[1], "");
  EXPECT_EQ(rows[2], "Q");
}

}  // namespace
}  // namespace hexlook
