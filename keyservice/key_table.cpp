#include "keyservice/key_table.h"

#include <cctype>
#include <cstdio>
#include <fstream>

#include "keyservice/vorkey_settings.h"

namespace vorkey {
namespace {

// One cell of a built-in table: an ordinary key with its two code words, a modifier or vacant.
constexpr KeyEntry K(uint16_t unshifted, uint16_t shifted) { return {kOrdinary, unshifted, shifted}; }
constexpr KeyEntry kV{kVacant, 0, 0};
constexpr KeyEntry kSh{kShift, 0, 0};
constexpr KeyEntry kCt{kCtrl, 0, 0};
constexpr KeyEntry kAl{kAlt, 0, 0};

// "Corvane A M"; one row per byte of the key bitmap, bit 0 first.
constexpr std::array<KeyEntry, 72> kTable0 = {{
    K(0x0030, 0x007B), K(0x0031, 0x0021), K(0x0032, 0x0022), K(0x0033, 0x005E),
    K(0x0034, 0x0024), K(0x0035, 0x0025), K(0x0036, 0x007E), K(0x0037, 0x0027),
    K(0x0038, 0x003C), K(0x0039, 0x003E), K(0x002D, 0x005F), K(0x002E, 0x007D),
    kV,                K(0x002F, 0x005C), K(0x003B, 0x003A), K(0x0EFE, 0x0EFF),
    K(0x0FFE, 0x0FFF), K(0x52E0, 0x007C), K(0x53E0, 0x3E00), K(0x1CFE, 0x1CFF),
    K(0x01FE, 0x01FF), kSh,               K(0x4DE0, 0x4DE0), K(0x4BE0, 0x4BE0),
    K(0x4F00, 0x4700), K(0x5000, 0x4800), K(0x5100, 0x4900), K(0x4B00, 0x5200),
    K(0x4C00, 0x5300), K(0x4D00, 0x5D00), kCt,               kAl,
    K(0x50E0, 0x50E0), K(0x48E0, 0x48E0), K(0x51E0, 0x4FE0), K(0x49E0, 0x47E0),
    K(0x0046, 0x005B), K(0x0044, 0x005D), K(0x0048, 0x0026), K(0x0042, 0x0020),
    K(0x8500, 0x8700), K(0x3B00, 0x5400), K(0x3C00, 0x5500), K(0x3D00, 0x5600),
    kV,                kV,                kV,                kV,
    K(0x3E00, 0x5700), K(0x3F00, 0x5800), K(0x4000, 0x5900), K(0x4100, 0x5A00),
    K(0x4200, 0x5B00), K(0x4300, 0x5C00), K(0x4400, 0x5D00), K(0x8600, 0x8800),
    K(0x004F, 0x0028), K(0x004E, 0x0029), K(0x0047, 0x0045), K(0x0050, 0x0043),
    K(0x0058, 0x0055), K(0x0059, 0x0056), K(0x005A, 0x0057), K(0x0051, 0x003F),
    K(0x0049, 0x002C), K(0x004A, 0x0041), K(0x004B, 0x0040), K(0x0052, 0x0060),
    K(0x004D, 0x0023), K(0x0053, 0x003D), K(0x0054, 0x002A), K(0x004C, 0x002B),
}};

// "Corvane A T": table 0 with these keys changed.
struct Change {
  int key;
  KeyEntry entry;
};
constexpr std::array<Change, 13> kTable1Changes = {{
    {0x24, K(0x0049, 0x005B)}, {0x25, K(0x004B, 0x005D)}, {0x26, K(0x0052, 0x0026)},
    {0x27, K(0x0046, 0x0020)}, {0x3B, K(0x0050, 0x0051)}, {0x3C, K(0x0058, 0x0041)},
    {0x3D, K(0x005A, 0x0042)}, {0x3E, K(0x0043, 0x0044)}, {0x3F, K(0x0059, 0x003F)},
    {0x40, K(0x0055, 0x002C)}, {0x41, K(0x0057, 0x004A)}, {0x42, K(0x0048, 0x0040)},
    {0x43, K(0x0056, 0x0060)},
}};

// "Corvane B M/T".
constexpr std::array<KeyEntry, 80> kTable2 = {{
    K(0x0030, 0x003D), K(0x0031, 0x007B), K(0x0032, 0x007D), K(0x0033, 0x0033),
    K(0x0034, 0x0034), K(0x0035, 0x0035), K(0x0036, 0x0036), K(0x0037, 0x0037),
    K(0x0038, 0x0038), K(0x0039, 0x0039), K(0x002D, 0x002B), K(0x002E, 0x002C),
    kV,                kV,                K(0x01FE, 0x01FF), K(0x0EFE, 0x0EFF),
    K(0x0FFE, 0x0FFF), K(0x1CFE, 0x1CFF), K(0x53E0, 0x53E0), kV,
    kAl,               kSh,               K(0x4DE0, 0x4DE0), K(0x4BE0, 0x4BE0),
    K(0x4F00, 0x4900), K(0x5000, 0x5200), K(0x5100, 0x5300), K(0x4B00, 0x5D00),
    K(0x4C00, 0x4C00), K(0x4D00, 0x4D00), K(0x4700, 0x4700), K(0x4800, 0x4800),
    K(0x50E0, 0x50E0), K(0x48E0, 0x48E0), K(0x51E0, 0x51E0), K(0x49E0, 0x49E0),
    kCt,               kV,                K(0x0041, 0x0021), K(0x0042, 0x0022),
    K(0x8500, 0x8700), K(0x3B00, 0x5400), K(0x3C00, 0x5500), K(0x3D00, 0x5600),
    kV,                kV,                kV,                kV,
    K(0x3E00, 0x5700), K(0x3F00, 0x5800), K(0x4000, 0x5900), K(0x4100, 0x5A00),
    K(0x4200, 0x5B00), K(0x4300, 0x5C00), K(0x4400, 0x5D00), K(0x8600, 0x8800),
    K(0x0043, 0x002F), K(0x0044, 0x0023), K(0x0045, 0x0024), K(0x0046, 0x0025),
    K(0x0047, 0x002A), K(0x0048, 0x0026), K(0x0049, 0x007C), K(0x004A, 0x0027),
    K(0x004B, 0x003A), K(0x004C, 0x003B), K(0x004D, 0x0020), K(0x004E, 0x0060),
    K(0x004F, 0x003F), K(0x0050, 0x003C), K(0x0051, 0x003E), K(0x0052, 0x005E),
    K(0x0053, 0x005C), K(0x0054, 0x007E), K(0x0055, 0x005F), K(0x0056, 0x005B),
    K(0x0057, 0x005D), K(0x0058, 0x0028), K(0x0059, 0x0029), K(0x005A, 0x0040),
}};

// Reads a hexadecimal number as the C library's "%x" does: blanks first, an optional sign and
// "0X", then digits; an overflow saturates. Returns false when no digit was read.
bool scan_hex(std::string_view text, size_t& pos, uint32_t& value) {
  while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
  auto is_hex = [&](size_t at) {
    return at < text.size() && std::isxdigit(static_cast<unsigned char>(text[at]));
  };
  if (pos + 1 < text.size() && text[pos] == '0' && (text[pos + 1] == 'X' || text[pos + 1] == 'x') &&
      is_hex(pos + 2))
    pos += 2;
  if (!is_hex(pos)) return false;
  uint64_t v = 0;
  for (; is_hex(pos); ++pos) {
    char c = static_cast<char>(std::toupper(static_cast<unsigned char>(text[pos])));
    v = v * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'A' + 10);
    if (v > 0xFFFFFFFFu) v = 0xFFFFFFFFu + 1ull;  // saturated; stays above the limit
  }
  value = v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
  if (negative) value = 0u - value;
  return true;
}

// Skips blanks and the literal `c`; false when it is not there.
bool scan_literal(std::string_view text, size_t& pos, char c) {
  while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

}  // namespace

int builtin_key_count(int table) { return table == 2 ? 80 : 72; }

KeyTable builtin_table(int table) {
  KeyTable t;  // every word 0xFFFF: vacant
  if (table == 2) {
    std::copy(kTable2.begin(), kTable2.end(), t.begin());
  } else {
    std::copy(kTable0.begin(), kTable0.end(), t.begin());
    if (table == 1)
      for (const Change& c : kTable1Changes) t[c.key] = c.entry;
  }
  return t;
}

std::string key_name(int key) {
  char text[16];
  std::snprintf(text, sizeof text, "KEY_%x%x", key / 8, key % 8);
  return text;
}

std::optional<std::pair<int, KeyEntry>> parse_key_line(std::string_view line) {
  // A NUL ends the line, as it ends a C string.
  line = line.substr(0, line.find('\0'));
  if (!line.starts_with("KEY_")) return std::nullopt;
  size_t pos = 4;
  uint32_t code = 0;
  if (!scan_hex(line, pos, code)) return std::nullopt;
  uint32_t words[3] = {0, 0, 0};
  const char separators[3] = {'=', ',', ','};
  for (int i = 0; i < 3; ++i)
    if (!scan_literal(line, pos, separators[i]) || !scan_hex(line, pos, words[i])) break;
  code &= 0xFF;
  int key = static_cast<int>(8 * (code / 16) + code % 16);
  return std::pair{key, KeyEntry{static_cast<uint16_t>(words[0]), static_cast<uint16_t>(words[1]),
                                 static_cast<uint16_t>(words[2])}};
}

namespace {

// Where a line of a definition file stands: before the section header, the header itself, or in
// the section (where every line is a candidate key line, a second header included).
enum class LinePlace { before, header, section };

// Reads the definition file as the service does and hands each line to `use` with its number (1
// for the first) and its place: lines end after their newline or after 255 characters, whichever
// comes first, and are upper-cased. `use` returns false to stop.
template <typename Use>
void for_each_definition_line(std::istream& in, Use use) {
  bool in_section = false;
  int number = 0;
  std::string line;
  char c;
  while (in.get(c)) {
    line.clear();
    line.push_back(c);
    while (c != '\n' && line.size() < 255 && in.get(c)) line.push_back(c);
    ++number;
    for (char& ch : line)
      if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    if (!in_section) {
      std::string_view view(line.c_str());  // up to a NUL, as a C string
      size_t start = 0;
      while (start < view.size() && std::isspace(static_cast<unsigned char>(view[start]))) ++start;
      size_t end = start;
      while (end < view.size() && !std::isspace(static_cast<unsigned char>(view[end]))) ++end;
      in_section = view.substr(start, end - start) == "[VOR-KEY]";
      if (!use(number, line, in_section ? LinePlace::header : LinePlace::before)) return;
      continue;
    }
    if (!use(number, line, LinePlace::section)) return;
  }
}

bool is_blank_text(std::string_view text) {
  for (char c : text)
    if (!std::isspace(static_cast<unsigned char>(c))) return false;
  return true;
}

// Why the service would not read key line `line` as it is written; empty when it reads it so.
std::string key_line_fault(std::string_view line) {
  size_t pos = 4;
  uint32_t code = 0;
  if (!scan_hex(line, pos, code)) return "the key code cannot be read";
  auto glued = [&] {
    return pos < line.size() &&
           (std::isalnum(static_cast<unsigned char>(line[pos])) || line[pos] == '_');
  };
  if (glued()) return "the key code runs into \"" + std::string(1, line[pos]) + "\"";
  if (code > 0xFF) return "the key code is above FF";
  const char separators[3] = {'=', ',', ','};
  static const char* const names[3] = {"type", "unshifted code", "shifted code"};
  for (int i = 0; i < 3; ++i) {
    size_t before = pos;
    if (!scan_literal(line, pos, separators[i])) {
      // Fewer words than three are allowed (the rest are 0), but only when nothing else follows.
      if (is_blank_text(line.substr(before))) return {};
      return std::string("\"") + separators[i] + "\" expected before the " + names[i];
    }
    uint32_t word = 0;
    if (!scan_hex(line, pos, word)) return std::string("the ") + names[i] + " cannot be read";
    if (glued()) return std::string("the ") + names[i] + " runs into \"" + line[pos] + "\"";
    if (word > 0xFFFF) return std::string("the ") + names[i] + " is above FFFF";
  }
  return {};  // anything after the shifted code is a comment
}

}  // namespace

void apply_definition(std::istream& in, KeyTable& table) {
  for_each_definition_line(in, [&](int, const std::string& line, LinePlace place) {
    if (place == LinePlace::section)
      if (auto parsed = parse_key_line(line)) table[parsed->first] = parsed->second;
    return true;
  });
}

std::optional<DefinitionFault> check_definition(std::istream& in) {
  std::optional<DefinitionFault> fault;
  bool section_seen = false;
  for_each_definition_line(in, [&](int number, const std::string& line, LinePlace place) {
    section_seen |= place == LinePlace::header;
    if (place != LinePlace::section) return true;
    std::string_view view(line.c_str());  // up to a NUL, as the service reads it
    std::string why;
    if (view.starts_with("KEY_")) {
      why = key_line_fault(view);
    } else {
      size_t start = 0;
      while (start < view.size() && std::isspace(static_cast<unsigned char>(view[start]))) ++start;
      if (start > 0 && view.substr(start).starts_with("KEY_"))
        why = "a key line must start at the beginning of the line";
    }
    if (why.empty()) return true;
    std::string text(view);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    fault = DefinitionFault{number, std::move(text), std::move(why)};
    return false;
  });
  if (!fault && !section_seen)
    fault = DefinitionFault{0, {}, "there is no [VOR-KEY] line, so the file changes no key"};
  return fault;
}

bool apply_definition_file(const std::filesystem::path& file, KeyTable& table) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  apply_definition(in, table);
  return true;
}

KeyTable build_key_table(const VorkeySettings& settings) {
  KeyTable table = builtin_table(builtin_table_index(settings.default_table));
  if (!settings.definition_file.empty()) apply_definition_file(settings.definition_file, table);
  return table;
}

}  // namespace vorkey
