// Page and cursor arithmetic of the memory viewer.
#include <gtest/gtest.h>

#include "hexlook/hex_model.h"

namespace hexlook {
namespace {

HexModel at(uint32_t address, Mode mode = Mode::byte) {
  HexModel m;
  m.set_mode(mode);
  m.go_to(address);
  return m;
}

TEST(HexlookModel, StartsOnSharedMemoryInByteMode) {
  HexModel m;
  EXPECT_EQ(m.top_line(), 0x20C0000u);
  EXPECT_EQ(m.page_address(), 0x20C00000u);
  EXPECT_EQ(m.cursor_address(), 0x20C00000u);
  EXPECT_EQ(m.mode(), Mode::byte);
  EXPECT_FALSE(m.write_enabled);
  EXPECT_FALSE(m.register_view);
  EXPECT_FALSE(m.physical_slot);
}

TEST(HexlookModel, PageDownStopsAtTheLastPage) {
  HexModel m = at(0xFFFFFD00);
  ASSERT_EQ(m.top_line(), 0xFFFFFD0u);
  const uint32_t expected[] = {0xFFFFFE0, 0xFFFFFF0, 0xFFFFFF0, 0xFFFFFF0};
  for (uint32_t e : expected) {
    m.page_down();
    EXPECT_EQ(m.top_line(), e);
    EXPECT_EQ(m.row(), 0u);
    EXPECT_EQ(m.column(), 0u);
  }
  // Between two pages of the end, the step lands on the last page, never past it.
  m.go_to(0xFFFFFE80);
  m.page_down();
  EXPECT_EQ(m.top_line(), 0xFFFFFF0u);
}

TEST(HexlookModel, PageUpStopsAtZeroAndResetsTheCursor) {
  HexModel m = at(0x123);  // top line 0x12
  m.down();
  m.right();
  m.page_up();
  EXPECT_EQ(m.top_line(), 2u);
  EXPECT_EQ(m.row(), 0u);
  EXPECT_EQ(m.column(), 0u);
  m.page_up();
  EXPECT_EQ(m.top_line(), 0u);
  m.page_up();
  EXPECT_EQ(m.top_line(), 0u);
}

TEST(HexlookModel, MovementAtTheEdgesOfTheAddressSpace) {
  struct Case {
    const char* what;
    uint32_t address;
    Mode mode;
    uint32_t rows_down;  // Down presses before the move
    void (HexModel::*move)();
    uint32_t top, row, column;
  };
  const Case cases[] = {
      {"Down at row 15 of the last page", 0xFFFFFF00, Mode::byte, 15, &HexModel::down, 0xFFFFFF0,
       15, 0},
      {"Down at row 15 below the last page scrolls", 0x1000, Mode::byte, 15, &HexModel::down, 0x101,
       15, 0},
      {"Right at the last dword of the space", 0xFFFFFFFC, Mode::dword, 0, &HexModel::right,
       0xFFFFFF0, 15, 3},
      {"Right at the last cell of a line", 0x10F, Mode::byte, 0, &HexModel::right, 0x10, 1, 0},
      {"Right at row 15, last cell, scrolls one line", 0x10E, Mode::word, 15, &HexModel::right,
       0x11, 15, 0},
      {"Left at the very first cell", 0x0, Mode::byte, 0, &HexModel::left, 0, 0, 0},
      {"Left at row 0 col 0 of top line 5", 0x50, Mode::byte, 0, &HexModel::left, 4, 0, 15},
      {"Left at row 0 col 0 of top line 5, dword", 0x50, Mode::dword, 0, &HexModel::left, 4, 0, 3},
      {"Left at col 0 of row 1 goes to the row above", 0x50, Mode::word, 1, &HexModel::left, 5, 0,
       7},
      {"Up at row 0 of top line 0", 0x4, Mode::byte, 0, &HexModel::up, 0, 0, 4},
      {"Up at row 0 scrolls one line", 0x54, Mode::byte, 0, &HexModel::up, 4, 0, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HexModel m = at(c.address, c.mode);
    for (uint32_t i = 0; i < c.rows_down; ++i) m.down();
    (m.*c.move)();
    EXPECT_EQ(m.top_line(), c.top);
    EXPECT_EQ(m.row(), c.row);
    EXPECT_EQ(m.column(), c.column);
  }
}

TEST(HexlookModel, LastCellIsTheLastByteOfTheSpace) {
  for (Mode mode : {Mode::byte, Mode::word, Mode::dword}) {
    HexModel m = at(0xFFFFFFFF, mode);
    EXPECT_TRUE(m.at_last_cell());
    EXPECT_EQ(m.cursor_address() + m.unit() - 1, 0xFFFFFFFFu);
    m.left();
    EXPECT_FALSE(m.at_last_cell());
  }
}

TEST(HexlookModel, ModeChangesKeepTheCursorOnTheSameBytes) {
  HexModel m = at(0x20C0000D);
  ASSERT_EQ(m.column(), 13u);
  m.set_mode(Mode::dword);
  EXPECT_EQ(m.column(), 3u);
  m.set_mode(Mode::byte);
  EXPECT_EQ(m.column(), 12u);

  struct Case { Mode from; uint32_t column; Mode to; uint32_t expected; };
  const Case cases[] = {
      {Mode::byte, 13, Mode::word, 6},  {Mode::word, 6, Mode::byte, 12},
      {Mode::word, 7, Mode::dword, 3},  {Mode::dword, 3, Mode::word, 6},
      {Mode::dword, 2, Mode::byte, 8},  {Mode::byte, 15, Mode::byte, 15},
  };
  for (const auto& c : cases) {
    HexModel n;
    n.set_mode(c.from);
    n.down();
    for (uint32_t i = 0; i < c.column; ++i) n.right();
    n.set_mode(c.to);
    EXPECT_EQ(n.column(), c.expected) << int(c.from) << "->" << int(c.to);
    EXPECT_EQ(n.row(), 1u);
    EXPECT_EQ(n.top_line(), 0x20C0000u);
  }
}

TEST(HexlookModel, GoToAddress) {
  HexModel m = at(0x1237, Mode::word);
  EXPECT_EQ(m.top_line(), 0x123u);
  EXPECT_EQ(m.row(), 0u);
  EXPECT_EQ(m.column(), 3u);
  EXPECT_EQ(m.cursor_address(), 0x1236u);

  m = at(0x20C0000D, Mode::dword);
  EXPECT_EQ(m.column(), 3u);
  EXPECT_EQ(m.cursor_address(), 0x20C0000Cu);
}

TEST(HexlookModel, GoToTheLastLinesKeepsTheLastPage) {
  // The top line never passes 0xFFFFFF0: the cursor goes down to the address's line instead, so
  // the page never runs past 0xFFFFFFFF.
  HexModel m = at(0xFFFFFFF5);
  EXPECT_EQ(m.top_line(), 0xFFFFFF0u);
  EXPECT_EQ(m.row(), 15u);
  EXPECT_EQ(m.column(), 5u);
  EXPECT_EQ(m.cursor_address(), 0xFFFFFFF5u);
  m = at(0xFFFFFF3A, Mode::word);
  EXPECT_EQ(m.top_line(), 0xFFFFFF0u);
  EXPECT_EQ(m.row(), 3u);
  EXPECT_EQ(m.column(), 5u);
}

TEST(HexlookModel, HexParsing) {
  struct Case { const char* text; uint32_t value; bool hex; };
  const Case cases[] = {
      {"20c00000", 0x20C00000, true}, {"20C00000", 0x20C00000, true}, {"FfFf", 0xFFFF, true},
      {"0", 0, true},                 {"", 0, false},                 {"12G4", 0x12, false},
      {" 12", 0, false},              {"FFFFFFFF", 0xFFFFFFFF, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_hex(c.text), c.value) << c.text;
    EXPECT_EQ(is_hex_text(c.text), c.hex) << c.text;
  }
}

}  // namespace
}  // namespace hexlook
