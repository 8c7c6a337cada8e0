#include "cncsim/card.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <vector>

namespace cncsim {
namespace fs = std::filesystem;

namespace {

constexpr uint8_t kAttrReadOnly = 0x01;
constexpr uint8_t kAttrDirectory = 0x10;
constexpr uint8_t kAttrArchive = 0x20;
constexpr uint8_t kFindMagic = 0xC5;  // byte 15 of a find record this card made

bool name_char(char c) {
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= '0' && c <= '9') return true;
  return std::strchr("!#$%&'()-@^_`{}~", c) != nullptr && c != '\0';
}

char upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

// Splits "A:\NAME.EXT" into its name; false when the path names a folder below the root or another
// drive.
bool strip_drive(const std::string& path, std::string* rest) {
  std::string p = path;
  if (p.size() >= 2 && p[1] == ':') {
    if (upper(p[0]) != 'A') return false;
    p.erase(0, 2);
  }
  if (!p.empty() && p[0] == '\\') p.erase(0, 1);
  if (p.find('\\') != std::string::npos || p.find('/') != std::string::npos) return false;
  *rest = p;
  return true;
}

// The 11-character FCB form ("NAME    EXT") of a name or pattern; '*' fills its part with '?'.
// False when a part is too long or holds a character that no card name may hold.
bool fcb_form(const std::string& text, bool wildcards, std::array<char, 11>* out) {
  out->fill(' ');
  size_t dot = text.find('.');
  std::string base = text.substr(0, dot);
  std::string ext = dot == std::string::npos ? "" : text.substr(dot + 1);
  if (base.empty() || ext.find('.') != std::string::npos) return false;
  auto fill = [&](const std::string& part, size_t at, size_t width) {
    size_t k = 0;
    for (char c : part) {
      c = upper(c);
      if (wildcards && c == '*') {
        while (k < width) (*out)[at + k++] = '?';
        return true;
      }
      if (k >= width) return false;
      if (!name_char(c) && !(wildcards && c == '?')) return false;
      (*out)[at + k++] = c;
    }
    return true;
  };
  return fill(base, 0, 8) && fill(ext, 8, 3);
}

bool fcb_match(const std::array<char, 11>& pattern, const std::array<char, 11>& name) {
  for (size_t i = 0; i < 11; ++i)
    if (pattern[i] != '?' && pattern[i] != name[i]) return false;
  return true;
}

uint64_t clusters(uint64_t bytes) { return (bytes + kClusterSize - 1) / kClusterSize; }

void put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
uint16_t get16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

CardResult fail(uint32_t error) { return CardResult{error}; }

}  // namespace

std::string card_name(const std::string& name) {
  std::array<char, 11> fcb;
  if (name.find_first_of("*?") != std::string::npos || !fcb_form(name, false, &fcb)) return {};
  std::string out(fcb.begin(), fcb.begin() + 8);
  out.erase(out.find_last_not_of(' ') + 1);
  std::string ext(fcb.begin() + 8, fcb.end());
  ext.erase(ext.find_last_not_of(' ') + 1);
  if (!ext.empty()) out += "." + ext;
  return out;
}

void dos_stamp(int64_t unix_time, uint16_t* date, uint16_t* time) {
  time_t t = time_t(unix_time);
  std::tm local{};
  if (!localtime_r(&t, &local) || local.tm_year < 80) {
    *date = (0 << 9) | (1 << 5) | 1;
    *time = 0;
    return;
  }
  int year = std::min(local.tm_year - 80, 127);
  *date = uint16_t(year << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
  *time = uint16_t(local.tm_hour << 11 | local.tm_min << 5 | std::min(local.tm_sec, 59) / 2);
}

CardSettings CardSettings::from_config(const moxel::ConfigData& config, uint32_t node) {
  CardSettings s;
  auto value = [&](const char* stem, uint32_t fallback) {
    return config.dword("Simulator", std::string(stem) + std::to_string(node), fallback);
  };
  s.inserted = value("CardInserted", s.inserted) != 0;
  s.battery_alarm = value("CardBatteryAlarm", s.battery_alarm) != 0;
  s.protect = value("CardProtect", s.protect) != 0;
  s.flash = value("CardFlash", s.flash) != 0;
  s.capacity = value("CardCapacity", s.capacity);
  s.max_open = std::clamp<uint32_t>(value("CardMaxOpen", s.max_open), 1, 0xFFFE);
  return s;
}

MemoryCard::MemoryCard(const fs::path& node_dir, const CardSettings& settings, std::string* warning)
    : settings_(settings) {
  fs::path dir = node_dir;
  if (dir.empty()) {
    char name[] = "/tmp/cncsim-card-XXXXXX";
    if (mkdtemp(name)) private_dir_ = dir = name;
  }
  folder_ = dir / "card";
  label_file_ = dir / "card.label";
  std::error_code ec;
  bool fresh = !fs::exists(folder_, ec);
  fs::create_directories(folder_, ec);
  if (ec && warning) *warning = "memory card folder " + folder_.string() + ": " + ec.message();
  // A new card comes formatted and empty.
  if (fresh && !ec) std::ofstream(label_file_) << "MOXEL LTD\n";
}

MemoryCard::~MemoryCard() {
  std::lock_guard lock(mutex_);
  close_all_locked();
  if (!private_dir_.empty()) {
    std::error_code ec;
    fs::remove_all(private_dir_, ec);
  }
}

bool MemoryCard::formatted_locked() const {
  std::error_code ec;
  return fs::exists(label_file_, ec);
}

uint32_t MemoryCard::ready_check_locked() const {
  if (!settings_.inserted) return kCardNotReady;
  if (!mounted_) return kCardNotMounted;
  return kCardOk;
}

uint32_t MemoryCard::path_check_locked(const std::string& path, std::string* name) {
  if (uint32_t e = ready_check_locked()) return e;
  std::string rest;
  if (!strip_drive(path, &rest)) return kCardPathNotFound;
  *name = card_name(rest);
  return name->empty() ? kCardBadName : kCardOk;
}

CardResult MemoryCard::status() {
  std::lock_guard lock(mutex_);
  CardResult r;
  if (!settings_.inserted) r.o1 = 1;
  else if (settings_.battery_alarm) r.o1 = 2;
  else if (settings_.protect) r.o1 = 4;
  r.o2 = settings_.flash ? 1 : 0;
  return r;
}

CardResult MemoryCard::identifier() {
  CardResult r;
  r.o1 = kCardId;
  return r;
}

CardResult MemoryCard::prepare() { return {}; }

CardResult MemoryCard::open_volume(uint16_t card, const std::string& drive) {
  std::lock_guard lock(mutex_);
  if (card != kCardId) return fail(kCardBadParameter);
  if (!settings_.inserted) return fail(kCardNotReady);
  if (drive != "A:" && drive != "a:") return fail(kCardPathNotFound);
  if (!formatted_locked()) return fail(kCardNotFormatted);
  mounted_ = true;
  return {};
}

CardResult MemoryCard::close_volume(uint16_t card) {
  std::lock_guard lock(mutex_);
  if (card != kCardId) return fail(kCardBadParameter);
  close_all_locked();
  mounted_ = false;
  return {};
}

CardResult MemoryCard::format(uint16_t card, const std::string& label) {
  std::lock_guard lock(mutex_);
  if (card != kCardId) return fail(kCardBadParameter);
  if (!settings_.inserted) return fail(kCardNotReady);
  if (unavailable_) return fail(kCardUnavailable);
  if (settings_.protect) return fail(kCardWriteProtected);
  close_all_locked();
  mounted_ = false;
  if (!erase_locked()) return fail(kCardAccessDenied);
  std::ofstream out(label_file_, std::ios::trunc);
  out << label.substr(0, 11) << "\n";
  return out ? CardResult{} : fail(kCardAccessDenied);
}

CardResult MemoryCard::open_locked(const std::string& name, bool writing, bool create) {
  if (open_.size() >= settings_.max_open) return fail(kCardTooManyOpen);
  if (writing && settings_.protect) return fail(kCardWriteProtected);
  if (create && unavailable_) return fail(kCardUnavailable);
  fs::path file = folder_ / name;
  struct stat st;
  bool exists = ::stat(file.c_str(), &st) == 0;
  if (create && exists) return fail(kCardExists);
  if (!create && !exists) return fail(kCardNotFound);
  if (exists && S_ISDIR(st.st_mode)) return fail(kCardAccessDenied);
  if (writing && exists && !(st.st_mode & S_IWUSR)) return fail(kCardAccessDenied);
  int flags = O_CLOEXEC | (writing ? O_RDWR : O_RDONLY) | (create ? O_CREAT | O_EXCL : 0);
  int fd = ::open(file.c_str(), flags, 0644);
  if (fd < 0) return fail(errno == EEXIST ? kCardExists : kCardAccessDenied);
  // Handles are 16-bit and never 0; a handle still open is not given out again.
  uint16_t handle = next_handle_;
  while (handle == 0 || open_.count(handle)) ++handle;
  next_handle_ = uint16_t(handle + 1);
  open_[handle] = OpenFile{name, fd, writing, 0};
  CardResult r;
  r.o1 = handle;
  return r;
}

CardResult MemoryCard::create(const std::string& path) {
  std::lock_guard lock(mutex_);
  std::string name;
  if (uint32_t e = path_check_locked(path, &name)) return fail(e);
  return open_locked(name, true, true);
}

CardResult MemoryCard::open(const std::string& path, bool for_writing) {
  std::lock_guard lock(mutex_);
  std::string name;
  if (uint32_t e = path_check_locked(path, &name)) return fail(e);
  return open_locked(name, for_writing, false);
}

CardResult MemoryCard::close(uint16_t handle) {
  std::lock_guard lock(mutex_);
  if (!settings_.inserted) return fail(kCardNotReady);
  auto it = open_.find(handle);
  if (it == open_.end()) return fail(kCardBadHandle);
  bool good = it->second.writing ? ::fsync(it->second.fd) == 0 : true;
  good = ::close(it->second.fd) == 0 && good;
  open_.erase(it);
  return good ? CardResult{} : fail(kCardAccessDenied);
}

CardResult MemoryCard::read(uint16_t handle, std::span<uint8_t> out) {
  std::lock_guard lock(mutex_);
  if (!settings_.inserted) return fail(kCardNotReady);
  auto it = open_.find(handle);
  if (it == open_.end()) return fail(kCardBadHandle);
  OpenFile& f = it->second;
  if (f.writing) return fail(kCardAccessDenied);
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::pread(f.fd, out.data() + done, out.size() - done, off_t(f.position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  f.position += done;
  CardResult r;
  r.o3 = uint32_t(done);
  return r;
}

CardResult MemoryCard::write(uint16_t handle, std::span<const uint8_t> data) {
  std::lock_guard lock(mutex_);
  if (!settings_.inserted) return fail(kCardNotReady);
  auto it = open_.find(handle);
  if (it == open_.end()) return fail(kCardBadHandle);
  OpenFile& f = it->second;
  if (!f.writing) return fail(kCardAccessDenied);
  if (settings_.protect) return fail(kCardWriteProtected);
  struct stat st;
  if (::fstat(f.fd, &st) != 0) return fail(kCardAccessDenied);
  uint64_t size = uint64_t(st.st_size);
  // The file may grow into its own last cluster and into the clusters still free.
  uint64_t used = used_locked();
  uint64_t free_clusters = clusters(settings_.capacity) > clusters(used)
                               ? clusters(settings_.capacity) - clusters(used) : 0;
  uint64_t limit = (clusters(size) + free_clusters) * kClusterSize;
  uint64_t fits = limit > f.position ? limit - f.position : 0;
  size_t want = size_t(std::min<uint64_t>(data.size(), fits));
  size_t done = 0;
  while (done < want) {
    ssize_t n = ::pwrite(f.fd, data.data() + done, want - done, off_t(f.position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  f.position += done;
  CardResult r;
  r.o3 = uint32_t(done);
  if (done < data.size()) r.error = kCardFull;
  return r;
}

CardResult MemoryCard::remove(const std::string& path) {
  std::lock_guard lock(mutex_);
  std::string name;
  if (uint32_t e = path_check_locked(path, &name)) return fail(e);
  if (settings_.protect) return fail(kCardWriteProtected);
  if (settings_.flash) return fail(kCardAccessDenied);
  for (const auto& [h, f] : open_)
    if (f.name == name) return fail(kCardAccessDenied);
  fs::path file = folder_ / name;
  struct stat st;
  if (::stat(file.c_str(), &st) != 0) return fail(kCardNotFound);
  if (S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR)) return fail(kCardAccessDenied);
  return ::unlink(file.c_str()) == 0 ? CardResult{} : fail(kCardAccessDenied);
}

std::vector<MemoryCard::Listed> MemoryCard::entries_locked() {
  std::vector<Listed> list;
  DIR* dir = ::opendir(folder_.c_str());
  if (!dir) return list;
  while (dirent* d = ::readdir(dir)) {
    std::string name = d->d_name;
    if (card_name(name) != name) continue;  // not a card name: not on the card's file system
    struct stat st;
    if (::stat((folder_ / name).c_str(), &st) != 0) continue;
    Listed e{name, kAttrArchive, 0, 0, 0};
    if (S_ISDIR(st.st_mode)) e.attributes = kAttrDirectory;
    else if (!(st.st_mode & S_IWUSR)) e.attributes = kAttrReadOnly | kAttrArchive;
    if (!S_ISDIR(st.st_mode)) e.size = uint32_t(std::min<uint64_t>(uint64_t(st.st_size), 0xFFFFFFFF));
    dos_stamp(st.st_mtim.tv_sec, &e.dos_date, &e.dos_time);
    list.push_back(e);
  }
  ::closedir(dir);
  std::sort(list.begin(), list.end(), [](const Listed& a, const Listed& b) { return a.name < b.name; });
  return list;
}

uint64_t MemoryCard::used_locked() {
  uint64_t used = 0;
  for (const Listed& e : entries_locked()) used += clusters(e.size) * kClusterSize;
  return used;
}

uint64_t MemoryCard::used_bytes() {
  std::lock_guard lock(mutex_);
  return used_locked();
}

CardResult MemoryCard::find_from_locked(FindEntry& entry, size_t index) {
  std::array<char, 11> pattern;
  std::memcpy(pattern.data(), entry.data() + 1, 11);
  std::vector<Listed> list = entries_locked();
  for (size_t i = index; i < list.size(); ++i) {
    std::array<char, 11> fcb;
    fcb_form(list[i].name, false, &fcb);
    if (!fcb_match(pattern, fcb)) continue;
    const Listed& e = list[i];
    put16(entry.data() + 13, uint16_t(std::min<size_t>(i + 1, 0xFFFF)));
    entry[15] = kFindMagic;
    entry[21] = e.attributes;
    put16(entry.data() + 22, e.dos_time);
    put16(entry.data() + 24, e.dos_date);
    put32(entry.data() + 26, e.size);
    std::memset(entry.data() + 30, 0, 13);
    std::memcpy(entry.data() + 30, e.name.data(), std::min<size_t>(e.name.size(), 12));
    return {};
  }
  return fail(kCardNoMoreFiles);
}

CardResult MemoryCard::find_first(const std::string& path, FindEntry& entry) {
  std::lock_guard lock(mutex_);
  if (uint32_t e = ready_check_locked()) return fail(e);
  std::string rest;
  if (!strip_drive(path, &rest)) return fail(kCardPathNotFound);
  std::array<char, 11> pattern;
  if (!fcb_form(rest, true, &pattern)) return fail(kCardBadName);
  entry.fill(0);
  entry[0] = 1;  // drive A
  std::memcpy(entry.data() + 1, pattern.data(), 11);
  return find_from_locked(entry, 0);
}

CardResult MemoryCard::find_next(FindEntry& entry) {
  std::lock_guard lock(mutex_);
  if (uint32_t e = ready_check_locked()) return fail(e);
  if (entry[0] != 1 || entry[15] != kFindMagic) return fail(kCardNoMoreFiles);
  return find_from_locked(entry, get16(entry.data() + 13));
}

void MemoryCard::close_all_locked() {
  for (auto& [h, f] : open_) ::close(f.fd);
  open_.clear();
}

void MemoryCard::set_inserted(bool on) {
  std::lock_guard lock(mutex_);
  if (!on) {
    close_all_locked();
    mounted_ = false;
  }
  settings_.inserted = on;
}

void MemoryCard::set_battery_alarm(bool on) {
  std::lock_guard lock(mutex_);
  settings_.battery_alarm = on;
}

void MemoryCard::set_protect(bool on) {
  std::lock_guard lock(mutex_);
  settings_.protect = on;
}

void MemoryCard::set_flash(bool on) {
  std::lock_guard lock(mutex_);
  settings_.flash = on;
}

void MemoryCard::set_unavailable(bool on) {
  std::lock_guard lock(mutex_);
  unavailable_ = on;
}

void MemoryCard::set_capacity(uint32_t bytes) {
  std::lock_guard lock(mutex_);
  settings_.capacity = bytes;
}

void MemoryCard::make_unformatted() {
  std::lock_guard lock(mutex_);
  close_all_locked();
  mounted_ = false;
  erase_locked();
  std::error_code ec;
  fs::remove(label_file_, ec);
}

bool MemoryCard::erase_locked() {
  // The names first: a folder is not emptied while it is being read.
  std::error_code ec;
  std::vector<fs::path> names;
  for (const auto& e : fs::directory_iterator(folder_, ec)) names.push_back(e.path());
  bool ok = !ec;
  for (const fs::path& p : names) {
    fs::remove_all(p, ec);
    ok = ok && !ec;
  }
  return ok;
}

std::string MemoryCard::list() {
  std::lock_guard lock(mutex_);
  std::ostringstream out;
  uint64_t used = 0;
  for (const Listed& e : entries_locked()) {
    char line[96];
    std::snprintf(line, sizeof line, "%-12s %10u  %04d-%02d-%02d %02d:%02d:%02d  %s%s%s\n",
                  e.name.c_str(), unsigned(e.size), 1980 + (e.dos_date >> 9), (e.dos_date >> 5) & 15,
                  e.dos_date & 31, e.dos_time >> 11, (e.dos_time >> 5) & 63, (e.dos_time & 31) * 2,
                  e.attributes & kAttrDirectory ? "D" : "", e.attributes & kAttrReadOnly ? "R" : "",
                  e.attributes & kAttrArchive ? "A" : "");
    out << line;
    used += clusters(e.size) * kClusterSize;
  }
  uint64_t capacity = settings_.capacity;
  out << (capacity > used ? capacity - used : 0) << " bytes free of " << capacity << "\n";
  return out.str();
}

std::string MemoryCard::describe() {
  std::lock_guard lock(mutex_);
  std::ostringstream out;
  out << "card " << (settings_.inserted ? "inserted" : "removed")
      << (formatted_locked() ? "" : " unformatted") << (settings_.battery_alarm ? " battery-alarm" : "")
      << (settings_.protect ? " protected" : "") << (settings_.flash ? " flash" : "")
      << (unavailable_ ? " unavailable" : "") << (mounted_ ? " volume-open" : "")
      << " open-files " << open_.size() << "/" << settings_.max_open << " capacity "
      << settings_.capacity << "\n";
  return out.str();
}

}  // namespace cncsim
