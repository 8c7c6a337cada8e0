#include "platform/config_store.h"

#include <fcntl.h>
#include <grp.h>
#include <ini.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/temp_files.h"

namespace moxel {
namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

std::string lowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = lower(c);
  return out;
}

// The blanks of the INI reader (isspace in the C locale).
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::string_view strip_left(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view strip(std::string_view s) {
  s = strip_left(s);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

// What the INI reader makes of one line, each line read on its own.
struct LineReading {
  enum { blank, header, entry, bad } kind = blank;
  std::string section;  // header
  std::string name, value;
};

// Lines up to this length go to the INI reader whole (its line buffer holds 200 bytes).
constexpr size_t kReaderLine = 190;

// The INI reader run over one line, framed by a section header of its own before it and a probe
// value after it: the probe's section tells whether the line started a section and which.
LineReading read_with_inih(std::string_view body) {
  struct Feed {
    std::string lines[3];
    int next = 0;
    std::vector<std::pair<std::string, std::pair<std::string, std::string>>> calls;
  } feed{{"[\x02]\n", std::string(body) + "\n", "\x01=\n"}, 0, {}};
  auto reader = [](char* buffer, int size, void* stream) -> char* {
    auto* f = static_cast<Feed*>(stream);
    if (f->next == 3 || size < 2) return nullptr;
    const std::string& line = f->lines[f->next++];
    const size_t n = std::min(line.size(), size_t(size) - 1);
    std::memcpy(buffer, line.data(), n);
    buffer[n] = '\0';
    return buffer;
  };
  auto handler = [](void* user, const char* section, const char* name, const char* value) -> int {
    if (name) static_cast<Feed*>(user)->calls.push_back({section, {name, value ? value : ""}});
    return 1;
  };
  const int error = ini_parse_stream(reader, &feed, handler, &feed);
  LineReading r;
  if (error != 0 || feed.calls.empty()) {
    r.kind = LineReading::bad;
    return r;
  }
  const std::string& probe_section = feed.calls.back().first;
  if (feed.calls.size() == 2) {
    r.kind = LineReading::entry;
    r.name = feed.calls.front().second.first;
    r.value = feed.calls.front().second.second;
  } else if (probe_section != "\x02") {
    r.kind = LineReading::header;
    r.section = probe_section;
  }
  return r;
}

LineReading read_line(std::string_view line) {
  // The reader sees a line as a C string: it ends at a NUL.
  line = line.substr(0, line.find('\0'));
  std::string_view body = strip_left(line);  // indentation never matters
  if (body.empty() || body.front() == ';' || body.front() == '#') return {};
  if (body.size() <= kReaderLine) return read_with_inih(body);
  // A longer line: a section header is read from its start (the reader keeps nothing of a header
  // after its ']'); a value's name is read by the INI reader, its value the way that reader reads
  // values: from the first non-blank after the delimiter up to a ';' after a blank, blanks dropped.
  if (body.front() == '[') return read_with_inih(body.substr(0, kReaderLine));
  const size_t delimiter = body.find_first_of("=:");
  if (delimiter == std::string_view::npos || delimiter + 2 > kReaderLine) return {LineReading::bad, {}, {}, {}};
  LineReading r = read_with_inih(std::string(body.substr(0, delimiter + 1)) + "x");
  if (r.kind != LineReading::entry) return r;
  std::string_view value = strip_left(body.substr(delimiter + 1));
  bool after_blank = false;
  size_t end = 0;
  for (; end < value.size(); ++end) {
    if (value[end] == ';' && after_blank) break;
    after_blank = is_blank(value[end]);
  }
  r.value = std::string(strip(value.substr(0, end)));
  return r;
}

// Reports a broken file once per process and reason, so a program reading it often does not flood
// its log.
void report_once(const std::filesystem::path& file, const std::string& what) {
  static std::mutex mutex;
  static std::set<std::string> reported;
  std::lock_guard lock(mutex);
  if (reported.insert(file.string() + '\n' + what).second)
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

// The file a write really replaces: the final target of a chain of symbolic links.
std::filesystem::path link_target(std::filesystem::path file) {
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!std::filesystem::is_symlink(file, ec)) break;
    std::filesystem::path next = std::filesystem::read_symlink(file, ec);
    if (ec) break;
    file = next.is_absolute() ? next : file.parent_path() / next;
  }
  return file;
}

std::filesystem::path folder_of(const std::filesystem::path& file) {
  return file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
}

// Temporary files of a writer are ".<file name>.new-XXXXXX" next to the file.
std::string temp_prefix(const std::filesystem::path& file) {
  return "." + file.filename().string() + ".new-";
}

std::string user_name(uid_t uid) {
  if (const passwd* pw = ::getpwuid(uid)) return pw->pw_name;
  return std::to_string(uid);
}

std::string group_name(gid_t gid) {
  if (const group* gr = ::getgrgid(gid)) return gr->gr_name;
  return std::to_string(gid);
}

bool in_group(gid_t gid) {
  if (::getegid() == gid) return true;
  const int n = ::getgroups(0, nullptr);
  std::vector<gid_t> groups(size_t(std::max(n, 0)));
  const int got = ::getgroups(int(groups.size()), groups.data());
  return std::find(groups.begin(), groups.begin() + std::max(got, 0), gid) != groups.begin() + std::max(got, 0);
}

// Whether this process can give a file it makes the owner and group of `old`.
bool can_give_ownership(const struct stat& old) {
  if (::geteuid() == 0) return true;
  return old.st_uid == ::geteuid() && in_group(old.st_gid);
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
  constexpr size_t kNone = size_t(-1);
  size_t current = kNone;
  size_t start = 0;
  int number = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    Line line;
    line.text = text.substr(start, end - start);
    start = end + 1;
    ++number;
    LineReading r = read_line(line.text);
    switch (r.kind) {
      case LineReading::bad:
        if (error_line) *error_line = number;
        return std::nullopt;
      case LineReading::blank:
        break;
      case LineReading::header:
        current = data.section_at(r.section);
        line.kind = Line::header;
        line.section = current;
        break;
      case LineReading::entry: {
        if (current == kNone) current = data.section_at("");
        line.kind = Line::entry;
        line.section = current;
        Section& s = data.sections_[current];
        auto [it, added] = s.index.try_emplace(lowered(r.name), s.values.size());
        if (added) s.values.emplace_back(r.name, r.value);
        else s.values[it->second].second = r.value;
        line.name = std::move(r.name);
        line.value = std::move(r.value);
        break;
      }
    }
    data.lines_.push_back(std::move(line));
  }
  return data;
}

size_t ConfigData::section_at(std::string_view name) {
  auto [it, added] = section_index_.try_emplace(lowered(name), sections_.size());
  if (added) sections_.push_back({std::string(name), {}, {}});
  return it->second;
}

const ConfigData::Section* ConfigData::section(std::string_view name) const {
  auto it = section_index_.find(lowered(name));
  return it == section_index_.end() ? nullptr : &sections_[it->second];
}

bool ConfigData::empty() const {
  return std::all_of(sections_.begin(), sections_.end(), [](const Section& s) { return s.values.empty(); });
}

std::vector<ConfigData::Entry> ConfigData::entries() const {
  std::vector<Entry> all;
  for (const Section& s : sections_)
    for (const auto& [name, value] : s.values) all.push_back({s.name, name, value});
  return all;
}

const std::string* ConfigData::find(std::string_view section_name, std::string_view name) const {
  const Section* s = section(section_name);
  if (!s) return nullptr;
  auto it = s->index.find(lowered(name));
  return it == s->index.end() ? nullptr : &s->values[it->second].second;
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
  Section& s = sections_[section_at(section_name)];
  auto [it, added] = s.index.try_emplace(lowered(name), s.values.size());
  if (added) s.values.emplace_back(std::string(name), std::move(value));
  else s.values[it->second].second = std::move(value);
}

void ConfigData::set_dword(std::string_view section_name, std::string_view name, uint32_t value,
                           bool hex) {
  char text[16];
  std::snprintf(text, sizeof text, hex ? "0x%X" : "%u", value);
  set(section_name, name, text);
}

bool ConfigData::erase(std::string_view section_name, std::string_view name) {
  auto sit = section_index_.find(lowered(section_name));
  if (sit == section_index_.end()) return false;
  Section& s = sections_[sit->second];
  auto it = s.index.find(lowered(name));
  if (it == s.index.end()) return false;
  s.values.erase(s.values.begin() + std::ptrdiff_t(it->second));
  s.index.clear();
  for (size_t i = 0; i < s.values.size(); ++i) s.index.emplace(lowered(s.values[i].first), i);
  return true;
}

std::string ConfigData::serialize() const {
  constexpr size_t kNone = size_t(-1);
  // Per section: the names its parsed lines hold, and the line after which its new values go
  // (the last header or value line of the section).
  std::vector<std::unordered_map<std::string, bool>> known(sections_.size());
  std::vector<size_t> insert_after(sections_.size(), kNone);
  for (size_t i = 0; i < lines_.size(); ++i) {
    const Line& line = lines_[i];
    if (line.kind == Line::other) continue;
    insert_after[line.section] = i;
    if (line.kind == Line::entry) known[line.section].emplace(lowered(line.name), true);
  }
  auto added_lines = [&](size_t section) {
    std::string text;
    for (const auto& [key, value] : sections_[section].values)
      if (!known[section].count(lowered(key))) text += key + '=' + value + '\n';
    return text;
  };

  std::string out;
  for (size_t i = 0; i < lines_.size(); ++i) {
    const Line& line = lines_[i];
    if (line.kind == Line::entry) {
      const Section& s = sections_[line.section];
      auto it = s.index.find(lowered(line.name));
      if (it != s.index.end()) {  // else erased
        const std::string& now = s.values[it->second].second;
        out += (now == line.value ? line.text : line.name + '=' + now) + '\n';
      }
    } else {
      out += line.text + '\n';
    }
    if (line.kind != Line::other && insert_after[line.section] == i) out += added_lines(line.section);
  }
  for (size_t s = 0; s < sections_.size(); ++s) {
    if (insert_after[s] != kNone || sections_[s].values.empty()) continue;
    if (out.size() > 1 && out[out.size() - 2] != '\n') out += '\n';
    out += '[' + sections_[s].name + "]\n" + added_lines(s);
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

bool ConfigFile::Identity::operator==(const Identity& o) const {
  return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
         mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
         ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
}

ConfigFile::Identity ConfigFile::identity_of(const std::filesystem::path& file) {
  Identity id;
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return id;
  id.exists = true;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.size = st.st_size;
  id.mtime = st.st_mtim;
  id.ctime = st.st_ctim;
  return id;
}

ConfigFile::ConfigFile(std::filesystem::path file, ConfigData data)
    : file_(std::move(file)), data_(std::make_shared<const ConfigData>(std::move(data))) {}

std::shared_ptr<const ConfigData> ConfigFile::get(bool refresh) {
  std::lock_guard lock(mutex_);
  if (data_ && !refresh) return data_;
  Identity now = identity_of(file_);
  if (data_ && identity_ && *identity_ == now) return data_;
  // The identity is taken before the read: a file replaced during it is read again next time.
  data_ = std::make_shared<const ConfigData>(load_config(file_));
  identity_ = now;
  return data_;
}

bool update_config(const std::filesystem::path& file,
                   const std::function<void(ConfigData&)>& change, std::string* error) {
  const std::filesystem::path target = link_target(file);
  auto fail = [&](const std::string& why) {
    if (error) *error = file.string() + ": " + why;
    return false;
  };
  const std::filesystem::path folder = folder_of(target);
  FdGuard dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return fail(std::string("folder cannot be opened: ") + std::strerror(errno));
  while (::flock(dir.get(), LOCK_EX) != 0)
    if (errno != EINTR) return fail(std::string("cannot be locked: ") + std::strerror(errno));
  // With the lock held no live writer has a temporary file.
  const std::string prefix = temp_prefix(target);
  remove_stale_temps(folder, prefix);

  ConfigData data;
  std::string why;
  switch (read_file(target, data, why)) {
    case ReadResult::ok:
    case ReadResult::missing:
      break;
    case ReadResult::unreadable:
    case ReadResult::malformed:
      return fail(why + "; left unchanged");
  }

  struct stat old {};
  const bool existed = ::stat(target.c_str(), &old) == 0;
  if (existed && !can_give_ownership(old))
    return fail("only its owner " + user_name(old.st_uid) + " (in group " + group_name(old.st_gid) +
                ") or root may replace it without changing its owner; left unchanged");
  change(data);

  std::string temp = (folder / (prefix + "XXXXXX")).string();
  FdGuard out(::mkstemp(temp.data()));
  if (out.get() < 0) return fail(std::string("cannot be written: ") + std::strerror(errno));
  struct stat made {};
  bool ok = ::fstat(out.get(), &made) == 0;
  // Owner first: a change of owner clears set-id bits that the mode then puts back.
  if (ok && existed && (made.st_uid != old.st_uid || made.st_gid != old.st_gid))
    ok = ::fchown(out.get(), old.st_uid, old.st_gid) == 0;
  ok = ok && ::fchmod(out.get(), existed ? (old.st_mode & 07777) : 0644) == 0 &&
       write_all(out.get(), data.serialize()) && ::fsync(out.get()) == 0 &&
       ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) {
    int saved = errno;
    ::unlink(temp.c_str());
    return fail(std::string("cannot be written: ") + std::strerror(saved) + "; left unchanged");
  }
  ::fsync(dir.get());
  return true;
}

bool config_writable(const std::filesystem::path& file) {
  const std::filesystem::path target = link_target(file);
  if (::access(folder_of(target).c_str(), W_OK | X_OK) != 0) return false;
  struct stat st {};
  if (::stat(target.c_str(), &st) != 0) return errno == ENOENT;
  return ::access(target.c_str(), W_OK) == 0 && can_give_ownership(st);
}

}  // namespace moxel
