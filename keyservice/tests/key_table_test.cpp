#include "keyservice/key_table.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "keyservice/vorkey_settings.h"

namespace vorkey {
namespace {

constexpr KeyEntry kVacantCell{15, 0, 0};
constexpr KeyEntry kUnset{0xFFFF, 0xFFFF, 0xFFFF};
KeyEntry key(uint16_t u, uint16_t s) { return {0, u, s}; }

TEST(BuiltinTables, LengthsAndUnsetRest) {
  for (int t = 0; t < 3; ++t) {
    KeyTable table = builtin_table(t);
    int count = builtin_key_count(t);
    EXPECT_EQ(count, t == 2 ? 80 : 72);
    for (int k = count; k < kKeyCount; ++k) EXPECT_EQ(table[k], kUnset) << t << " " << k;
    for (int k = 0; k < count; ++k) EXPECT_NE(table[k], kUnset) << t << " " << k;
  }
}

// The first and last key of every row, every modifier and vacant key, and the keys whose codes
// carry a special form: a shifted row or swapped cell would show here.
TEST(BuiltinTables, CellsOfEveryRow) {
  struct Cell {
    int table, key;
    KeyEntry entry;
  } cells[] = {
      {0, 0x00, key(0x0030, 0x007B)}, {0, 0x07, key(0x0037, 0x0027)},
      {0, 0x08, key(0x0038, 0x003C)}, {0, 0x0C, kVacantCell},
      {0, 0x0F, key(0x0EFE, 0x0EFF)}, {0, 0x10, key(0x0FFE, 0x0FFF)},
      {0, 0x12, key(0x53E0, 0x3E00)}, {0, 0x15, {11, 0, 0}},
      {0, 0x17, key(0x4BE0, 0x4BE0)}, {0, 0x18, key(0x4F00, 0x4700)},
      {0, 0x1E, {2, 0, 0}},           {0, 0x1F, {4, 0, 0}},
      {0, 0x20, key(0x50E0, 0x50E0)}, {0, 0x27, key(0x0042, 0x0020)},
      {0, 0x28, key(0x8500, 0x8700)}, {0, 0x2B, key(0x3D00, 0x5600)},
      {0, 0x2C, kVacantCell},         {0, 0x2F, kVacantCell},
      {0, 0x30, key(0x3E00, 0x5700)}, {0, 0x37, key(0x8600, 0x8800)},
      {0, 0x38, key(0x004F, 0x0028)}, {0, 0x3F, key(0x0051, 0x003F)},
      {0, 0x40, key(0x0049, 0x002C)}, {0, 0x47, key(0x004C, 0x002B)},
      {1, 0x24, key(0x0049, 0x005B)}, {1, 0x27, key(0x0046, 0x0020)},
      {1, 0x3B, key(0x0050, 0x0051)}, {1, 0x3F, key(0x0059, 0x003F)},
      {1, 0x40, key(0x0055, 0x002C)}, {1, 0x43, key(0x0056, 0x0060)},
      {1, 0x44, key(0x004D, 0x0023)}, {1, 0x1E, {2, 0, 0}},
      {2, 0x00, key(0x0030, 0x003D)}, {2, 0x07, key(0x0037, 0x0037)},
      {2, 0x0C, kVacantCell},         {2, 0x0D, kVacantCell},
      {2, 0x0E, key(0x01FE, 0x01FF)}, {2, 0x13, kVacantCell},
      {2, 0x14, {4, 0, 0}},           {2, 0x15, {11, 0, 0}},
      {2, 0x1F, key(0x4800, 0x4800)}, {2, 0x20, key(0x50E0, 0x50E0)},
      {2, 0x24, {2, 0, 0}},           {2, 0x25, kVacantCell},
      {2, 0x27, key(0x0042, 0x0022)}, {2, 0x37, key(0x8600, 0x8800)},
      {2, 0x38, key(0x0043, 0x002F)}, {2, 0x3F, key(0x004A, 0x0027)},
      {2, 0x40, key(0x004B, 0x003A)}, {2, 0x47, key(0x0052, 0x005E)},
      {2, 0x48, key(0x0053, 0x005C)}, {2, 0x4F, key(0x005A, 0x0040)},
  };
  for (const Cell& c : cells) {
    KeyEntry got = builtin_table(c.table)[c.key];
    EXPECT_EQ(got, c.entry) << "table " << c.table << " " << key_name(c.key) << ": " << std::hex
                            << got.type << " " << got.unshifted << " " << got.shifted;
  }
}

TEST(BuiltinTables, TableOneDiffersFromTableZeroInThirteenKeys) {
  KeyTable t0 = builtin_table(0), t1 = builtin_table(1);
  int differing = 0;
  for (int k = 0; k < kKeyCount; ++k) differing += t0[k] != t1[k];
  EXPECT_EQ(differing, 13);
}

TEST(KeyNames, ByteInHexThenBit) {
  EXPECT_EQ(key_name(0), "KEY_00");
  EXPECT_EQ(key_name(19), "KEY_23");
  EXPECT_EQ(key_name(135), "KEY_107");
  EXPECT_EQ(key_name(250), "KEY_1f2");
}

TEST(KeyLines, ParsedAsTheFormatSays) {
  struct {
    const char* line;
    int key;  // -1: not a key line
    KeyEntry entry;
  } cases[] = {
      {"KEY_14 = 0 , 3B00 , 5400\n", 12, {0, 0x3B00, 0x5400}},
      {"KEY_14=0,3B00,5400", 12, {0, 0x3B00, 0x5400}},
      {"KEY_1A = 0, 2A, 2B", 18, {0, 0x2A, 0x2B}},
      {"KEY_22 = 0, 2A, 2B", 18, {0, 0x2A, 0x2B}},
      {"KEY_0X14 = 0X0 , 0X3B00 , 0X5400", 12, {0, 0x3B00, 0x5400}},
      {"KEY_09=B", 9, {0xB, 0, 0}},  // the same entry as KEY_11
      {"KEY_11=B", 9, {0xB, 0, 0}},
      {"KEY_FF=F,1,2", 135, {0xF, 1, 2}},
      {"KEY_123=0,41,61", 19, {0, 0x41, 0x61}},  // key code modulo 0x100
      {"KEY_10", 8, {0, 0, 0}},
      {"KEY_10 = 0, 3B00", 8, {0, 0x3B00, 0}},
      {"KEY_10 0, 3B00, 5400", 8, {0, 0, 0}},  // no "=": only the key code
      {"KEY_10 = 0; 3B00", 8, {0, 0, 0}},
      {"KEY_10 = 12345, 1FFFF, -1", 8, {0x2345, 0xFFFF, 0xFFFF}},
      {"KEY_10 = 999999999999, 0, 0", 8, {0xFFFF, 0, 0}},
      {"KEY_ 10=2", 8, {2, 0, 0}},
      {" KEY_10=0,1,2", -1, {}},
      {"\tKEY_10=0,1,2", -1, {}},
      {"KEY_=0,1,2", -1, {}},
      {"KEY_ZZ=0,1,2", -1, {}},
      {"KEY", -1, {}},
      {"", -1, {}},
      {"; KEY_10=0,1,2", -1, {}},
      {"[VOR-KEY]", -1, {}},
  };
  for (const auto& c : cases) {
    auto parsed = parse_key_line(c.line);
    if (c.key < 0) {
      EXPECT_FALSE(parsed) << c.line;
      continue;
    }
    ASSERT_TRUE(parsed) << c.line;
    EXPECT_EQ(parsed->first, c.key) << c.line;
    EXPECT_EQ(parsed->second, c.entry) << c.line;
  }
}

KeyTable applied(const std::string& text) {
  KeyTable table = builtin_table(0);
  std::istringstream in(text);
  apply_definition(in, table);
  return table;
}

TEST(DefinitionFile, OnlyLinesAfterTheSectionHeaderCount) {
  const KeyTable t0 = builtin_table(0);
  EXPECT_EQ(applied("KEY_14 = 0, 3B00, 5400\nKEY_00=0,41,42\n"), t0) << "no header";
  EXPECT_EQ(applied("[VOR-KEYS]\nKEY_14 = 0, 3B00, 5400\n"), t0);

  KeyTable t = applied("KEY_00=0,41,42\n  [vor-key]  ; the keys\nkey_14 = 0, 3b00, 5400\n"
                       "\n; comment\n [VOR-KEY]\nKEY_15=f\nKEY_15 = 0, 41, 61\n"
                       "   KEY_16=0,1,2\r\nkey_1a = 0, 2a, 2b\r\n");
  EXPECT_EQ(t[0], t0[0]) << "before the header";
  EXPECT_EQ(t[12], (KeyEntry{0, 0x3B00, 0x5400}));
  EXPECT_EQ(t[13], (KeyEntry{0, 0x41, 0x61})) << "later lines win";
  EXPECT_EQ(t[14], t0[14]) << "leading blanks";
  EXPECT_EQ(t[18], (KeyEntry{0, 0x2A, 0x2B})) << "upper-cased first; CR ends the number";
  int changed = 0;
  for (int k = 0; k < kKeyCount; ++k) changed += t[k] != t0[k];
  EXPECT_EQ(changed, 3);
}

TEST(DefinitionFile, LongLinesAreReadInPiecesAndRubbishIsHarmless) {
  // 255 characters, then the rest of the line is a line of its own.
  std::string text = "[VOR-KEY]\n" + std::string(255, 'x') + "KEY_14=0,3B00,5400\n" +
                     std::string(254, 'y') + "KEY_15=0,41,61\n";
  KeyTable t = applied(text);
  EXPECT_EQ(t[12], (KeyEntry{0, 0x3B00, 0x5400}));
  EXPECT_EQ(t[13], builtin_table(0)[13]) << "254 + 'K' fill one piece, the rest starts 'EY_'";

  std::string rubbish = "[VOR-KEY]\n";
  for (int i = 0; i < 20000; ++i) rubbish.push_back(static_cast<char>((i * 7919) % 256));
  const char tail[] = "\nKEY_\0" "14=0,1,2\nKEY_17=0,1,2";
  rubbish += std::string(tail, sizeof tail - 1);
  t = applied(rubbish);
  EXPECT_EQ(t[15], (KeyEntry{0, 1, 2})) << "last line without newline";
  EXPECT_EQ(t[12], builtin_table(0)[12]) << "a NUL ends the line";
}

// The check reports the first line the service would read other than it is written, and accepts
// every form the service reads as meant.
TEST(DefinitionFile, CheckFindsTheFirstLineTheServiceWouldMisread) {
  struct Case {
    std::string text;
    int line;  // -1: no fault
    std::string why;
  } cases[] = {
      {"; lathe\n[vor-key]\nkey_14 = 0, 3b00, 5400\nKEY_15=0X0,0X41,0X61 ; A a\n"
       "KEY_16\nKEY_17 = 0\r\nKEY_20=0,41\n; note\n\nKEY_09=0,1,2", -1, ""},
      {"KEY_14=0,1,2\n[VOR-KEY]\n", -1, ""},  // before the header: documentation
      {"KEY_14 = 0, 3B00, 5400\n", 0, "there is no [VOR-KEY] line, so the file changes no key"},
      {"", 0, "there is no [VOR-KEY] line, so the file changes no key"},
      {"[VOR-KEY]\nKEY_14=0,1,2\nKEY_ZZ = 0, 41, 61\nKEY_=1\n", 3, "the key code cannot be read"},
      {"[VOR-KEY]\nKEY_14 = 0, 3B0G, 5400\n", 2, "the unshifted code runs into \"G\""},
      {"[VOR-KEY]\nKEY_1G = 0, 1, 2\n", 2, "the key code runs into \"G\""},
      {"[VOR-KEY]\nKEY_1A0 = 0, 1, 2\n", 2, "the key code is above FF"},
      {"[VOR-KEY]\nKEY_14 = 0, 10000, 2\n", 2, "the unshifted code is above FFFF"},
      {"[VOR-KEY]\nKEY_14 = -1, 1, 2\n", 2, "the type is above FFFF"},
      {"[VOR-KEY]\nKEY_14 0 3B00 5400\n", 2, "\"=\" expected before the type"},
      {"[VOR-KEY]\nKEY_14 = 0, , 5400\n", 2, "the unshifted code cannot be read"},
      {"[VOR-KEY]\nKEY_14 = 0 ; F1\n", 2, "\",\" expected before the unshifted code"},
      {"[VOR-KEY]\n\n  KEY_14 = 0, 1, 2\n", 3, "a key line must start at the beginning of the line"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::istringstream in(c.text);
    std::optional<DefinitionFault> fault = check_definition(in);
    if (c.line < 0) {
      EXPECT_FALSE(fault) << fault->line << ": " << fault->why;
      continue;
    }
    ASSERT_TRUE(fault);
    EXPECT_EQ(fault->line, c.line);
    EXPECT_EQ(fault->why, c.why);
  }
  // The fault carries the line as the service reads it, upper-cased and without its line end.
  std::istringstream in("[vor-key]\r\nkey_14 = 0, 3b0g, 5400\r\n");
  auto fault = check_definition(in);
  ASSERT_TRUE(fault);
  EXPECT_EQ(fault->text, "KEY_14 = 0, 3B0G, 5400");
  // Lines are counted as the service reads them: a 300-character line is two.
  std::istringstream long_line("[VOR-KEY]\n" + std::string(300, ';') + "\nKEY_1G\n");
  fault = check_definition(long_line);
  ASSERT_TRUE(fault);
  EXPECT_EQ(fault->line, 4);
}

TEST(DefinitionFile, BuildChoosesTheTableAndLaysTheFileOver) {
  char pattern[] = "/tmp/vorkey-table-XXXXXX";
  std::filesystem::path dir = mkdtemp(pattern);
  VorkeySettings s;
  s.default_table = 5;
  s.definition_file = (dir / "missing.def").string();
  EXPECT_EQ(build_key_table(s), builtin_table(0));
  std::ofstream(dir / "keys.def") << "[VOR-KEY]\nKEY_C0=0,41,61\n";
  s.definition_file = (dir / "keys.def").string();
  s.default_table = 2;
  KeyTable t = build_key_table(s);
  EXPECT_EQ(t[96], (KeyEntry{0, 0x41, 0x61}));
  EXPECT_EQ(t[0], builtin_table(2)[0]);
  s.definition_file = dir.string();  // a folder reads as an empty file
  EXPECT_EQ(build_key_table(s), builtin_table(2));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vorkey
