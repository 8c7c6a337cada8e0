#pragma once
// The shop's shared restic repository as this PC uses it: each node's backup set stored as one
// snapshot tagged with the host, node, node name and board; the snapshots listed and picked; one
// restored into a folder; the retention applied to this PC's snapshots.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "kestrel/fleet/fleet_config.h"
#include "kestrel/fleet/restic_runner.h"

namespace kestrel::fleet {

// The node a set belongs to, as its tags record it.
struct NodeInfo {
  int node = 0;
  std::string name;        // the node name of lorand.conf
  std::string board;       // the board's name
  uint32_t sram_size = 0;  // bytes; 0 when unknown
};

struct Snapshot {
  std::string id, short_id, host;
  std::string path;  // the folder that was backed up
  int64_t time = 0;  // seconds since the epoch
  NodeInfo node{-1, {}, {}, 0};
  uint64_t size = 0;  // bytes of the set's files
};

// "YYYY-MM-DD HH:MM" in local time.
std::string local_time_text(int64_t time);
// restic's time stamps ("2026-12-10T14:24:32.374849131Z", "...+01:00"); nullopt when malformed.
std::optional<int64_t> parse_restic_time(const std::string& text);
// The snapshots of `restic snapshots --json` that carry a node tag, oldest first; nullopt with
// *error when the text is no such list.
std::optional<std::vector<Snapshot>> parse_snapshots(const std::string& json, std::string* error);
// The snapshot `from` names among `list` (oldest first): "latest"; a snapshot ID or a prefix of
// one that no other shares; or a local date "YYYY-MM-DD", the last snapshot of that day. nullptr
// with *error otherwise.
const Snapshot* select_snapshot(const std::vector<Snapshot>& list, const std::string& from, std::string* error);

class ResticRepo {
 public:
  explicit ResticRepo(FleetConfig config)
      : config_(std::move(config)), runner_(config_.program, config_.timeout) {}

  const FleetConfig& config() const { return config_; }

  // Stores `folder` as a snapshot of `node` taken by this host. `time` ("YYYY-MM-DD HH:MM:SS",
  // local) dates it other than now. The snapshot's short ID in *id.
  bool Backup(const NodeInfo& node, const std::filesystem::path& folder, std::string* id, std::string* error,
              const std::string& time = {}) const;
  // Applies the retention to this host's node snapshots, each node's folder on its own, and
  // prunes what no snapshot uses any more. Nothing to do (all keep values 0) is success.
  bool Forget(std::string* error) const;
  // The node snapshots of `host` (every host when empty), of `node` only when it is 0 or more.
  std::optional<std::vector<Snapshot>> Snapshots(int node, const std::string& host, std::string* error) const;
  // Restores `snapshot` under `target` and gives the folder there that holds its set.
  std::optional<std::filesystem::path> Restore(const Snapshot& snapshot, const std::filesystem::path& target,
                                               std::string* error) const;

 private:
  bool run(const std::vector<std::string>& args, ResticResult* result, std::string* error) const;

  FleetConfig config_;
  ResticRunner runner_;
};

}  // namespace kestrel::fleet
