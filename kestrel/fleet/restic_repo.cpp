#include "kestrel/fleet/restic_repo.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <system_error>

namespace kestrel::fleet {
namespace {

namespace fs = std::filesystem;

// restic splits a --tag value at commas: a comma in a node name becomes "_".
std::string tag(const std::string& name, std::string value) {
  std::replace(value.begin(), value.end(), ',', '_');
  return name + "=" + value;
}

uint64_t set_size(const fs::path& folder) {
  uint64_t total = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec)) total += it->file_size(ec);
  }
  return total;
}

std::optional<uint64_t> number(const std::string& text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    v = v * 10 + uint64_t(c - '0');
  }
  return v;
}

bool is_hex(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

}  // namespace

std::string local_time_text(int64_t time) {
  std::time_t t = time;
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm);
  return text;
}

std::optional<int64_t> parse_restic_time(const std::string& text) {
  std::tm tm{};
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                  &tm.tm_min, &tm.tm_sec, &consumed) != 6 || consumed != 19)
    return std::nullopt;
  size_t at = 19;
  if (at < text.size() && text[at] == '.') {
    ++at;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
  }
  int64_t offset = 0;
  const std::string zone = text.substr(at);
  if (zone != "Z") {
    int hours = 0, minutes = 0, used = 0;
    if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') ||
        std::sscanf(zone.c_str() + 1, "%2d:%2d%n", &hours, &minutes, &used) != 2 || used != 5)
      return std::nullopt;
    offset = (hours * 60 + minutes) * 60 * (zone[0] == '-' ? -1 : 1);
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return int64_t(timegm(&tm)) - offset;
}

std::optional<std::vector<Snapshot>> parse_snapshots(const std::string& json, std::string* error) {
  QJsonParseError parse_error{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &parse_error);
  if (!doc.isArray()) {
    *error = "restic's snapshot list is not readable: " + parse_error.errorString().toStdString();
    return std::nullopt;
  }
  std::vector<Snapshot> list;
  for (const QJsonValue& value : doc.array()) {
    const QJsonObject o = value.toObject();
    Snapshot s;
    for (const QJsonValue& t : o.value("tags").toArray()) {
      const std::string text = t.toString().toStdString();
      const size_t eq = text.find('=');
      if (eq == std::string::npos) continue;
      const std::string name = text.substr(0, eq), v = text.substr(eq + 1);
      if (name == "node") {
        if (auto n = number(v); n && *n <= 7) s.node.node = int(*n);
      } else if (name == "nodename") {
        s.node.name = v;
      } else if (name == "board") {
        s.node.board = v;
      } else if (name == "sram") {
        if (auto n = number(v); n && *n <= 0xFFFFFFFFu) s.node.sram_size = uint32_t(*n);
      } else if (name == "size") {
        s.size = number(v).value_or(0);
      }
    }
    auto time = parse_restic_time(o.value("time").toString().toStdString());
    s.id = o.value("id").toString().toStdString();
    s.short_id = o.value("short_id").toString().toStdString();
    s.host = o.value("hostname").toString().toStdString();
    const QJsonArray paths = o.value("paths").toArray();
    if (!paths.isEmpty()) s.path = paths.first().toString().toStdString();
    // Snapshots that are not a node's set (other users of a shared repository) are left out.
    if (s.node.node < 0 || !time || s.id.empty() || s.path.empty()) continue;
    s.time = *time;
    list.push_back(std::move(s));
  }
  std::stable_sort(list.begin(), list.end(), [](const Snapshot& a, const Snapshot& b) { return a.time < b.time; });
  return list;
}

const Snapshot* select_snapshot(const std::vector<Snapshot>& list, const std::string& from, std::string* error) {
  if (list.empty()) {
    *error = "there is no snapshot to restore from";
    return nullptr;
  }
  if (from == "latest") return &list.back();
  int year = 0, month = 0, day = 0, used = 0;
  if (from.size() == 10 && std::sscanf(from.c_str(), "%4d-%2d-%2d%n", &year, &month, &day, &used) == 3 && used == 10) {
    for (auto it = list.rbegin(); it != list.rend(); ++it)
      if (local_time_text(it->time).compare(0, from.size(), from) == 0) return &*it;
    *error = "no snapshot was taken on " + from;
    return nullptr;
  }
  if (!is_hex(from)) {
    *error = "'" + from + "' is neither latest, a snapshot ID nor a date YYYY-MM-DD";
    return nullptr;
  }
  const Snapshot* found = nullptr;
  for (const Snapshot& s : list) {
    if (s.id.compare(0, from.size(), from) != 0) continue;
    if (found) {
      *error = "more than one snapshot starts with " + from;
      return nullptr;
    }
    found = &s;
  }
  if (!found) *error = "no snapshot " + from + " among these";
  return found;
}

bool ResticRepo::run(const std::vector<std::string>& args, ResticResult* result, std::string* error) const {
  *result = runner_.run(args);
  if (result->ok()) return true;
  *error = "restic " + args.front() + " failed: " + result->failure_text();
  return false;
}

bool ResticRepo::Backup(const NodeInfo& node, const fs::path& folder, std::string* id, std::string* error,
                        const std::string& time) const {
  std::vector<std::string> args = {"backup", "--json", "--host", config_.host,
                                   "--tag", tag("host", config_.host),
                                   "--tag", tag("node", std::to_string(node.node)),
                                   "--tag", tag("nodename", node.name),
                                   "--tag", tag("board", node.board),
                                   "--tag", tag("size", std::to_string(set_size(folder)))};
  if (node.sram_size) args.insert(args.end(), {"--tag", tag("sram", std::to_string(node.sram_size))});
  if (!time.empty()) args.insert(args.end(), {"--time", time});
  args.insert(args.end(), {"--", folder.string()});
  ResticResult r;
  if (!run(args, &r, error)) return false;
  // The last line of the JSON stream is the summary with the new snapshot's ID.
  const size_t start = r.out.rfind('\n', r.out.size() > 1 ? r.out.size() - 2 : 0);
  const std::string last = r.out.substr(start == std::string::npos ? 0 : start + 1);
  const QJsonObject summary = QJsonDocument::fromJson(QByteArray::fromStdString(last)).object();
  *id = summary.value("snapshot_id").toString().toStdString();
  if (summary.value("message_type").toString() != "summary" || id->empty()) {
    *error = "restic backup did not report the snapshot it made";
    return false;
  }
  return true;
}

bool ResticRepo::Forget(std::string* error) const {
  std::vector<std::string> args = {"forget", "--prune", "--tag", tag("host", config_.host), "--group-by", "host,paths"};
  const std::pair<const char*, unsigned> keep[] = {{"--keep-last", config_.keep_last},
                                                   {"--keep-daily", config_.keep_daily},
                                                   {"--keep-weekly", config_.keep_weekly},
                                                   {"--keep-monthly", config_.keep_monthly}};
  bool any = false;
  for (auto [flag, count] : keep) {
    if (count == 0) continue;
    args.insert(args.end(), {flag, std::to_string(count)});
    any = true;
  }
  if (!any) return true;
  ResticResult r;
  return run(args, &r, error);
}

std::optional<std::vector<Snapshot>> ResticRepo::Snapshots(int node, const std::string& host, std::string* error) const {
  std::vector<std::string> args = {"snapshots", "--json"};
  if (!host.empty()) args.insert(args.end(), {"--host", host});
  if (node >= 0) args.insert(args.end(), {"--tag", tag("node", std::to_string(node))});
  ResticResult r;
  if (!run(args, &r, error)) return std::nullopt;
  return parse_snapshots(r.out, error);
}

std::optional<fs::path> ResticRepo::Restore(const Snapshot& snapshot, const fs::path& target, std::string* error) const {
  // A recorded path with ".." in it (written by some other program into the shared repository)
  // must not lead outside the folder restic restores into.
  const fs::path folder = (target / fs::path(snapshot.path).relative_path()).lexically_normal();
  const fs::path inside = folder.lexically_relative(target.lexically_normal());
  if (inside.empty() || *inside.begin() == "..") {
    *error = "the snapshot " + snapshot.short_id + " names a folder outside its own: " + snapshot.path;
    return std::nullopt;
  }
  ResticResult r;
  if (!run({"restore", snapshot.id, "--target", target.string()}, &r, error)) return std::nullopt;
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    *error = "the restored snapshot " + snapshot.short_id + " holds no folder " + snapshot.path;
    return std::nullopt;
  }
  return folder;
}

}  // namespace kestrel::fleet
