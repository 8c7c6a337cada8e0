#pragma once
// The [Restic] section of $MOXEL_SYSCONFDIR/fleet-backup.conf: how this PC stores its nodes' backup
// sets in the shop's shared restic repository. The repository and its password are not here: they
// come from restic's own environment (see docs/fleet-backups.md).
#include <chrono>
#include <filesystem>
#include <string>

namespace kestrel::fleet {

struct FleetConfig {
  std::string program = "restic";  // Program
  std::string host;                // Host: the name this PC's snapshots carry; default its host name
  // Staging: each node's set is backed up into <Staging>/node<n> before restic stores it; the
  // folder keeps the last set, the local first copy.
  std::filesystem::path staging = "/var/lib/moxel/fleet-backup";
  std::chrono::seconds timeout{3600};  // TimeOut: seconds one restic run may take
  // KeepLast, KeepDaily, KeepWeekly, KeepMonthly: the retention of `restic forget` for each node
  // of this PC; all 0: nothing is forgotten.
  unsigned keep_last = 0, keep_daily = 7, keep_weekly = 4, keep_monthly = 12;
};

std::filesystem::path fleet_config_file();
// Reads the file (missing values take the defaults above).
FleetConfig load_fleet_config(const std::filesystem::path& file = fleet_config_file());

}  // namespace kestrel::fleet
