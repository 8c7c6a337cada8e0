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

std::string ConfigData::serialize() const {
  std::string out;
  for (const auto& s : sections_) {
    if (!out.empty()) out += '\n';
    out += '[' + s.name + "]\n";
    for (const auto& [key, value] : s.values) out += key + '=' + value + '\n';
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
  std::string temp = (folder / ("." + file.filename().string() + ".XXXXXX")).string();
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
