#include "platform/config_store.h"

#include <fcntl.h>
#include <ini.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

namespace moxel {
namespace {

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Reports a broken file once per process, so a daemon re-reading it at every query does not flood
// its log.
void report_once(const std::filesystem::path& file, const std::string& what) {
  static std::mutex mutex;
  static std::set<std::string> reported;
  std::lock_guard lock(mutex);
  if (reported.insert(file.string()).second)
    std::fprintf(stderr, "moxel: %s: %s; using defaults\n", file.c_str(), what.c_str());
}

enum class ReadResult { ok, missing, unreadable, malformed };

ReadResult read_file(const std::filesystem::path& file, ConfigData& out, std::string& why) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    if (errno == ENOENT) return ReadResult::missing;
    why = std::string("cannot be read (") + std::strerror(errno) + ")";
    return ReadResult::unreadable;
  }
  std::stringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) {
    why = "cannot be read";
    return ReadResult::unreadable;
  }
  int line = 0;
  auto parsed = ConfigData::parse(buffer.str(), &line);
  if (!parsed) {
    why = "cannot be parsed (line " + std::to_string(line) + ")";
    return ReadResult::malformed;
  }
  out = std::move(*parsed);
  return ReadResult::ok;
}

class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

}  // namespace

std::optional<uint32_t> parse_dword(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty()) return std::nullopt;
  uint32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<ConfigData> ConfigData::parse(const std::string& text, int* error_line) {
  ConfigData data;
  auto handler = [](void* user, const char* section, const char* name, const char* value) -> int {
    auto* self = static_cast<ConfigData*>(user);
    if (!name) return 1;  // a bare section header
    self->set(section, name, value ? value : "");
    return 1;
  };
  int result = ini_parse_string(text.c_str(), handler, &data);
  if (result != 0) {
    if (error_line) *error_line = result;
    return std::nullopt;
  }
  data.parsed_ = data.sections_;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) data.lines_.push_back(line);
  return data;
}

ConfigData::Section* ConfigData::section(std::string_view name) {
  for (auto& s : sections_)
    if (iequals(s.name, name)) return &s;
  return nullptr;
}

const ConfigData::Section* ConfigData::section(std::string_view name) const {
  return const_cast<ConfigData*>(this)->section(name);
}

const std::string* ConfigData::find(std::string_view section_name, std::string_view name) const {
  if (const Section* s = section(section_name))
    for (const auto& [key, value] : s->values)
      if (iequals(key, name)) return &value;
  return nullptr;
}

uint32_t ConfigData::dword(std::string_view section_name, std::string_view name,
                           uint32_t fallback) const {
  const std::string* value = find(section_name, name);
  if (!value) return fallback;
  return parse_dword(*value).value_or(fallback);
}

std::string ConfigData::string(std::string_view section_name, std::string_view name,
                               std::string fallback) const {
  const std::string* value = find(section_name, name);
  return value ? *value : fallback;
}

void ConfigData::set(std::string_view section_name, std::string_view name, std::string value) {
  Section* s = section(section_name);
  if (!s) {
    sections_.push_back({std::string(section_name), {}});
    s = &sections_.back();
  }
  for (auto& [key, old] : s->values)
    if (iequals(key, name)) {
      old = std::move(value);
      return;
    }
  s->values.emplace_back(std::string(name), std::move(value));
}

void ConfigData::set_dword(std::string_view section_name, std::string_view name, uint32_t value,
                           bool hex) {
  char text[16];
  std::snprintf(text, sizeof text, hex ? "0x%X" : "%u", value);
  set(section_name, name, text);
}

bool ConfigData::erase(std::string_view section_name, std::string_view name) {
  Section* s = section(section_name);
  if (!s) return false;
  for (auto it = s->values.begin(); it != s->values.end(); ++it)
    if (iequals(it->first, name)) {
      s->values.erase(it);
      return true;
    }
  return false;
}

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// What a line of a parsed file is, told apart the way the INI reader reads it: a section header,
// a "name=value" or "name: value" line, or anything else (comment, blank, continuation).
struct LineKind {
  enum { section, value, other } kind = other;
  std::string_view name;
};

LineKind classify(std::string_view line) {
  if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) return {};  // continuation
  std::string_view t = trim(line);
  if (t.empty() || t.front() == ';' || t.front() == '#') return {};
  if (t.front() == '[') {
    size_t end = t.find(']');
    return {LineKind::section, end == std::string_view::npos ? t.substr(1) : t.substr(1, end - 1)};
  }
  size_t delimiter = t.find_first_of("=:");
  if (delimiter == std::string_view::npos) return {};
  return {LineKind::value, trim(t.substr(0, delimiter))};
}

}  // namespace

std::string ConfigData::serialize() const {
  std::string out;
  // Values of `s` not in `parsed_s` (new ones), as lines.
  auto added_lines = [](const Section& s, const Section* parsed_s) {
    std::string text;
    for (const auto& [key, value] : s.values) {
      bool known = false;
      if (parsed_s)
        for (const auto& parsed_value : parsed_s->values) known |= iequals(parsed_value.first, key);
      if (!known) text += key + '=' + value + '\n';
    }
    return text;
  };
  auto parsed_section = [&](std::string_view name) -> const Section* {
    for (const auto& p : parsed_)
      if (iequals(p.name, name)) return &p;
    return nullptr;
  };

  // The parsed lines, section by section, each section's new values after its last value line.
  std::string current;  // section of the lines being copied
  std::string pending;  // lines held back after the section's last value line
  auto close_section = [&] {
    if (const Section* s = section(current)) out += added_lines(*s, parsed_section(current));
    out += pending;
    pending.clear();
  };
  for (const std::string& line : lines_) {
    LineKind k = classify(line);
    if (k.kind == LineKind::section) {
      close_section();
      current = std::string(k.name);
      out += line + '\n';
      continue;
    }
    if (k.kind == LineKind::other) {
      pending += line + '\n';
      continue;
    }
    out += pending;
    pending.clear();
    const std::string* now = find(current, k.name);
    if (!now) continue;  // erased
    const Section* before = parsed_section(current);
    const std::string* was = nullptr;
    if (before)
      for (const auto& [key, value] : before->values)
        if (iequals(key, k.name)) was = &value;
    out += (was && *was == *now) ? line + '\n' : std::string(k.name) + '=' + *now + '\n';
  }
  close_section();

  for (const auto& s : sections_) {
    if (parsed_section(s.name)) continue;
    if (!out.empty() && out.back() == '\n' && out.size() > 1 && out[out.size() - 2] != '\n')
      out += '\n';
    out += '[' + s.name + "]\n" + added_lines(s, nullptr);
  }
  return out;
}

ConfigData load_config(const std::filesystem::path& file) {
  ConfigData data;
  std::string why;
  switch (read_file(file, data, why)) {
    case ReadResult::ok:
      return data;
    case ReadResult::missing:
      return {};
    case ReadResult::unreadable:
    case ReadResult::malformed:
      report_once(file, why);
      return {};
  }
  return {};
}

bool update_config(const std::filesystem::path& file,
                   const std::function<void(ConfigData&)>& change, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = file.string() + ": " + why;
    return false;
  };
  std::filesystem::path folder = file.parent_path().empty() ? "." : file.parent_path();
  FdGuard dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return fail(std::string("folder cannot be opened: ") + std::strerror(errno));
  while (::flock(dir.get(), LOCK_EX) != 0)
    if (errno != EINTR) return fail(std::string("cannot be locked: ") + std::strerror(errno));

  ConfigData data;
  std::string why;
  switch (read_file(file, data, why)) {
    case ReadResult::ok:
    case ReadResult::missing:
      break;
    case ReadResult::unreadable:
    case ReadResult::malformed:
      return fail(why + "; left unchanged");
  }
  change(data);

  mode_t mode = 0644;
  struct stat old {};
  if (::stat(file.c_str(), &old) == 0) mode = old.st_mode & 07777;
  std::string temp_name = ".";
  temp_name += file.filename().string();
  temp_name += ".XXXXXX";
  std::string temp = (folder / temp_name).string();
  FdGuard out(::mkstemp(temp.data()));
  if (out.get() < 0) return fail(std::string("cannot be written: ") + std::strerror(errno));
  bool ok = ::fchmod(out.get(), mode) == 0 && write_all(out.get(), data.serialize()) &&
            ::fsync(out.get()) == 0 && ::rename(temp.c_str(), file.c_str()) == 0;
  if (!ok) {
    int saved = errno;
    ::unlink(temp.c_str());
    return fail(std::string("cannot be written: ") + std::strerror(saved));
  }
  ::fsync(dir.get());
  return true;
}

bool config_writable(const std::filesystem::path& file) {
  std::filesystem::path folder = file.parent_path().empty() ? "." : file.parent_path();
  if (::access(folder.c_str(), W_OK | X_OK) != 0) return false;
  return ::access(file.c_str(), F_OK) != 0 || ::access(file.c_str(), W_OK) == 0;
}

}  // namespace moxel
