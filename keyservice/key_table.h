#pragma once
// Key tables of the MDI keyboard: per key number (8 x byte index + bit index of the CNC's key
// bitmap) a type word and the two code words sent with the MDI Shift up and down. The table in use
// is one of three built-in tables, chosen by DefaultTable, with the lines of the optional
// key-definition file laid over it.
#include <array>
#include <cstdint>
#include <filesystem>
#include <istream>
#include <optional>
#include <string>
#include <string_view>

namespace vorkey {

// Key types (low 4 bits of the type word).
enum KeyType : uint16_t { kOrdinary = 0, kCtrl = 2, kAlt = 4, kShift = 11, kVacant = 15 };

struct KeyEntry {
  uint16_t type = 0xFFFF;  // low 4 bits: KeyType; the upper bits are not used
  uint16_t unshifted = 0xFFFF;
  uint16_t shifted = 0xFFFF;
  friend bool operator==(const KeyEntry&, const KeyEntry&) = default;
};

inline constexpr int kKeyCount = 256;
using KeyTable = std::array<KeyEntry, kKeyCount>;

// Number of keys of built-in table 0, 1 or 2 (72, 72, 80).
int builtin_key_count(int table);
// Built-in table 0, 1 or 2; the keys after the built-in ones hold 0xFFFF in all three words.
KeyTable builtin_table(int table);

// "KEY_" + byte index in hex + bit index, as messages and the definition file write key numbers
// (key 19 is "KEY_23", key 250 "KEY_1f2").
std::string key_name(int key);

// One line of the definition file's [VOR-KEY] section, "KEY_%x = %x , %x , %x" (key code, type,
// unshifted, shifted; hex, optional 0X prefix, blanks optional). The line must already be upper
// case. Returns the key number and entry when the line starts with KEY_ and at least its key code
// can be read; words not given are 0. Key code xy is byte x, bit y, so a bit digit of 8 or more
// reaches into the next byte (KEY_09 is KEY_11).
std::optional<std::pair<int, KeyEntry>> parse_key_line(std::string_view line);

// Lays the key lines of a definition file over `table`: lines (read in pieces of at most 255
// characters) are upper-cased; nothing counts before a line whose first word is "[VOR-KEY]"; after
// it every line that parse_key_line accepts replaces its entry, later lines winning.
void apply_definition(std::istream& in, KeyTable& table);
// The same from a file; false (table unchanged) when it cannot be opened.
bool apply_definition_file(const std::filesystem::path& file, KeyTable& table);

// The first line of a definition file that the service would not read as it is written: a KEY_
// line in the section whose key code cannot be read, a number that runs into a letter that is not
// hexadecimal, a key code above FF or a word above FFFF, a "=" or "," without its number, other
// text after fewer than three words, or a key line indented (the service skips those). Text after
// the shifted code is a comment. A file without a [VOR-KEY] line gets a fault with line 0. Lines
// are counted as the service reads them (a piece of a line over 255 characters counts as a line).
struct DefinitionFault {
  int line = 0;      // 1 for the first line; 0 for a fault of the whole file
  std::string text;  // the line, upper-cased as the service sees it, without its line end
  std::string why;
};
std::optional<DefinitionFault> check_definition(std::istream& in);

// The table in use: the built-in table DefaultTable selects, with DefinitionFile laid over it.
struct VorkeySettings;
KeyTable build_key_table(const VorkeySettings& settings);

}  // namespace vorkey
