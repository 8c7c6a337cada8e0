#pragma once
// Configuration store: one INI-style text file per key family, one section per key, values named
// as they always were (IoPortAddress3=0x300). Numbers (DWORDs) accept decimal and 0x-hex.
//
// Reading never fails: a missing file is empty, and a file that cannot be read or parsed is reported
// once on stderr and then treated as absent, never half-read, so every value falls back to its
// default. Writing is a read-modify-write under a lock on the file's folder, finished by an atomic
// rename, so a reader never sees half a file and two writers lose nothing.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace moxel {

// Decimal or 0x-hex, the whole text, within 32 bits; nullopt otherwise.
std::optional<uint32_t> parse_dword(std::string_view text);

// Contents of one configuration file: sections and values in file order. Section and value names
// are matched without regard to ASCII case, as the old registry did.
class ConfigData {
 public:
  // Parses INI text; nullopt when it is malformed (error_line then holds the first bad line).
  static std::optional<ConfigData> parse(const std::string& text, int* error_line = nullptr);

  const std::string* find(std::string_view section, std::string_view name) const;
  // The value as a DWORD; `fallback` when absent or not a number.
  uint32_t dword(std::string_view section, std::string_view name, uint32_t fallback = 0) const;
  // The value as text; `fallback` when absent.
  std::string string(std::string_view section, std::string_view name,
                     std::string fallback = {}) const;

  void set(std::string_view section, std::string_view name, std::string value);
  // Stores a DWORD, in 0x-hex when `hex` (port addresses read better that way), else in decimal.
  void set_dword(std::string_view section, std::string_view name, uint32_t value, bool hex = false);
  bool erase(std::string_view section, std::string_view name);

  // The file's text. Data that came from parse() keeps the lines it was parsed from (comments,
  // blank lines, spelling of unchanged values); changed values are rewritten in place, removed ones
  // dropped, new ones added at the end of their section, new sections at the end.
  std::string serialize() const;
  bool empty() const { return sections_.empty(); }

 private:
  struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> values;
  };
  Section* section(std::string_view name);
  const Section* section(std::string_view name) const;
  std::vector<Section> sections_;
  std::vector<std::string> lines_;  // the parsed text, line by line
  std::vector<Section> parsed_;     // the values as parsed, to tell changed ones apart
};

// Reads a whole file (see above for what happens on errors).
ConfigData load_config(const std::filesystem::path& file);

// Reads the file under the folder's lock, lets `change` edit it, then writes a temporary file and
// renames it over the old one. A file that exists but cannot be parsed is left alone: the update is
// refused rather than losing what it holds. Returns false, with the reason in *error, when nothing
// was written.
bool update_config(const std::filesystem::path& file,
                   const std::function<void(ConfigData&)>& change, std::string* error = nullptr);

// True when this process may replace the file (the folder exists and is writable, and so is the file
// when it exists). Used to offer a read-only view to users who may not change machine settings.
bool config_writable(const std::filesystem::path& file);

}  // namespace moxel
