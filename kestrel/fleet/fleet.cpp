#include "kestrel/fleet/fleet.h"

#include <stdlib.h>

#include <system_error>

namespace kestrel::fleet {
namespace {

namespace fs = std::filesystem;

std::string size_text(uint64_t bytes) {
  char text[32];
  if (bytes >= (uint64_t(1) << 20))
    std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / double(1 << 20));
  else
    std::snprintf(text, sizeof text, "%llu KB", static_cast<unsigned long long>((bytes + 1023) / 1024));
  return text;
}

// A fresh folder in the temporary folder, removed with its contents at the end.
struct ScratchFolder {
  fs::path path;
  std::string error;
  ScratchFolder() {
    std::error_code ec;
    std::string name = (fs::temp_directory_path(ec) / "kestrel-restore-XXXXXX").string();
    if (::mkdtemp(name.data()))
      path = name;
    else
      error = "cannot make a temporary folder " + name;
  }
  ~ScratchFolder() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
  }
};

}  // namespace

fs::path staging_folder(const FleetConfig& config, int node) {
  return config.staging / ("node" + std::to_string(node));
}

int BackupNodes(const ResticRepo& repo, const std::vector<NodeInfo>& nodes, const NodeBackup& backup,
                std::FILE* log, const std::string& time) {
  bool all_ok = true;
  for (const NodeInfo& node : nodes) {
    const fs::path folder = staging_folder(repo.config(), node.node);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
      std::fprintf(log, "node %d: cannot make %s: %s\n", node.node, folder.c_str(), ec.message().c_str());
      all_ok = false;
      continue;
    }
    if (!backup(node, folder)) {
      std::fprintf(log, "node %d: the backup failed; nothing stored in the repository\n", node.node);
      all_ok = false;
      continue;
    }
    std::string id, error;
    if (repo.Backup(node, folder, &id, &error, time)) {
      std::fprintf(log, "node %d: stored as snapshot %s\n", node.node, id.c_str());
    } else {
      std::fprintf(log, "node %d: %s\nnode %d: the local backup stays in %s\n", node.node, error.c_str(), node.node,
                   folder.c_str());
      all_ok = false;
    }
  }
  std::string error;
  if (!repo.Forget(&error)) {
    std::fprintf(log, "retention: %s\n", error.c_str());
    all_ok = false;
  }
  return all_ok ? 0 : 1;
}

void PrintHistory(const std::vector<Snapshot>& list, std::FILE* out) {
  std::fprintf(out, "%-8s  %-16s  %-16s  %4s  %-19s  %-8s  %s\n", "ID", "Date", "Host", "Node", "Name", "Board", "Size");
  for (const Snapshot& s : list)
    std::fprintf(out, "%-8s  %-16s  %-16s  %4d  %-19s  %-8s  %s\n", s.short_id.c_str(), local_time_text(s.time).c_str(),
                 s.host.c_str(), s.node.node, s.node.name.c_str(), s.node.board.c_str(), size_text(s.size).c_str());
}

int RestoreNode(const ResticRepo& repo, int node, const std::string& host, const std::string& from,
                moxel::Prompter& prompter, const NodeRestore& restore, std::FILE* out) {
  std::string error;
  auto list = repo.Snapshots(node, host, &error);
  if (!list) {
    std::fprintf(stderr, "kestrel-cli: %s\n", error.c_str());
    return 1;
  }
  const Snapshot* chosen = select_snapshot(*list, from, &error);
  if (!chosen) {
    std::fprintf(stderr, "kestrel-cli: node %d%s%s: %s\n", node, host.empty() ? "" : " of host ", host.c_str(),
                 error.c_str());
    return 1;
  }
  ScratchFolder scratch;
  if (scratch.path.empty()) {
    std::fprintf(stderr, "kestrel-cli: %s\n", scratch.error.c_str());
    return 1;
  }
  auto folder = repo.Restore(*chosen, scratch.path, &error);
  if (!folder) {
    std::fprintf(stderr, "kestrel-cli: %s\n", error.c_str());
    return 1;
  }
  const NodeInfo& n = chosen->node;
  std::fprintf(out,
               "Node %d (%s) will be overwritten:\n"
               "  board %s, SRAM %s\n"
               "  from snapshot %s of %s, taken on host %s\n",
               node, n.name.c_str(), n.board.c_str(), n.sram_size ? size_text(n.sram_size).c_str() : "size unknown",
               chosen->short_id.c_str(), local_time_text(chosen->time).c_str(), chosen->host.c_str());
  std::fflush(out);
  const std::string question = "Restore the SRAM of node " + std::to_string(node) + " from snapshot " +
                               chosen->short_id + " OK?";
  if (prompter.ask("kestrel-cli", question, moxel::Buttons::yes_no, moxel::Icon::question, moxel::Answer::no) !=
      moxel::Answer::yes) {
    std::fprintf(out, "Nothing restored.\n");
    return 1;
  }
  return restore(*chosen, *folder) ? 0 : 1;
}

}  // namespace kestrel::fleet
