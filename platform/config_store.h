#pragma once
// Configuration store: one INI-style text file per key family, one section per key, values named
// as they always were (IoPortAddress3=0x300). Numbers (DWORDs) accept decimal and 0x-hex.
//
// How a file is read, line by line:
//   - leading blanks never matter: an indented line is an ordinary line, never the continuation
//     of the value above it (a value always ends with its line);
//   - blank lines and lines starting with ';' or '#' are comments, and so is the rest of a value
//     line from a ';' that follows a blank;
//   - "[name]" starts a section (names of more than 49 characters are cut to 49);
//   - "name=value" or "name: value" is a value; blanks around the name and the value are dropped;
//   - lines may be of any length;
//   - any other line makes the file unreadable.
//
// Reading never fails: a missing file is empty, and a file that cannot be read or parsed is reported
// on stderr (naming the line) and then treated as absent, never half-read, so every value falls back
// to its default. Writing is a read-modify-write under a lock on the file's folder, finished by an
// atomic rename, so a reader never sees half a file and two writers lose nothing.
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace moxel {

// Decimal or 0x-hex, the whole text, within 32 bits; nullopt otherwise.
std::optional<uint32_t> parse_dword(std::string_view text);

// Contents of one configuration file: sections and values in file order. Section and value names
// are matched without regard to ASCII case, as the old registry did.
class ConfigData {
 public:
  // Parses INI text; nullopt when a line cannot be read (error_line then holds the first such line,
  // counted from 1).
  static std::optional<ConfigData> parse(const std::string& text, int* error_line = nullptr);

  const std::string* find(std::string_view section, std::string_view name) const;
  // The value as a DWORD; `fallback` when absent or not a number.
  uint32_t dword(std::string_view section, std::string_view name, uint32_t fallback = 0) const;
  // The value as text; `fallback` when absent.
  std::string string(std::string_view section, std::string_view name,
                     std::string fallback = {}) const;

  // Values are single lines: no line break, no blank at either end, no ';' after a blank (such a
  // value would read back differently).
  void set(std::string_view section, std::string_view name, std::string value);
  // Stores a DWORD, in 0x-hex when `hex` (port addresses read better that way), else in decimal.
  void set_dword(std::string_view section, std::string_view name, uint32_t value, bool hex = false);
  bool erase(std::string_view section, std::string_view name);

  // The file's text. Data that came from parse() keeps the lines it was parsed from (comments,
  // blank lines, spelling of unchanged values); changed values are rewritten in place, removed ones
  // dropped, new ones added after the last value of their section, new sections at the end.
  std::string serialize() const;
  bool empty() const;

  struct Entry {
    std::string section, name, value;
    bool operator==(const Entry&) const = default;
  };
  // Every value, section by section in file order.
  std::vector<Entry> entries() const;

 private:
  struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> values;
    std::unordered_map<std::string, size_t> index;  // lower-case name -> position in values
  };
  // One line of the parsed text and what the reader made of it.
  struct Line {
    enum Kind { other, header, entry } kind = other;
    std::string text;
    size_t section = 0;  // index into sections_ (header and entry lines)
    std::string name;    // value lines: the name as read
    std::string value;   // value lines: the value as read
  };
  size_t section_at(std::string_view name);  // made when missing
  const Section* section(std::string_view name) const;
  std::vector<Section> sections_;
  std::unordered_map<std::string, size_t> section_index_;  // lower-case name -> index
  std::vector<Line> lines_;
};

// Reads a whole file (see above for what happens on errors).
ConfigData load_config(const std::filesystem::path& file);

// A configuration file kept parsed: read again only when the file changed (another file, size or
// modification time), so that frequent queries cost a stat, not a parse. Safe from any thread.
class ConfigFile {
 public:
  explicit ConfigFile(std::filesystem::path file) : file_(std::move(file)) {}
  // Starts from contents already read (the snapshot a program started with); the file is looked
  // at again only from the first get() with `refresh`.
  ConfigFile(std::filesystem::path file, ConfigData data);

  // The contents; re-read first when `refresh` and the file changed since the last read.
  std::shared_ptr<const ConfigData> get(bool refresh = true);
  const std::filesystem::path& path() const { return file_; }

 private:
  struct Identity {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{}, ctime{};
    bool operator==(const Identity& o) const;
  };
  static Identity identity_of(const std::filesystem::path& file);
  std::filesystem::path file_;
  std::mutex mutex_;
  std::shared_ptr<const ConfigData> data_;
  std::optional<Identity> identity_;  // of the file data_ was read from; none: read it first
};

// Reads the file under the folder's lock, lets `change` edit it, then writes a temporary file and
// renames it over the old one. The new file keeps the old one's owner, group and mode; when this
// process cannot give it those, nothing is written. A symbolic link is followed: its target is the
// file replaced, the link stays. Temporary files that killed writers left in the folder are removed.
// A file that exists but cannot be parsed is left alone: the update is refused rather than losing
// what it holds. Returns false, with the reason in *error, when nothing was written.
bool update_config(const std::filesystem::path& file,
                   const std::function<void(ConfigData&)>& change, std::string* error = nullptr);

// True when this process may replace the file (the folder exists and is writable, and so is the file
// when it exists, and the process can give the new file the old one's owner). Used to offer a
// read-only view to users who may not change machine settings.
bool config_writable(const std::filesystem::path& file);

}  // namespace moxel
