#pragma once
// The fleet operations of kestrel-cli over the shared repository: back nodes up into their staging
// folders and store each set; list a node's snapshots; restore a node from one of them. The work on
// the CNC itself (the normal backup and restore sequences) comes in as function objects, so this
// layer knows nothing of the link.
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "kestrel/fleet/restic_repo.h"
#include "platform/prompter.h"

namespace kestrel::fleet {

// Writes the node's backup set into `folder` (which exists); false when the backup failed (it has
// said why).
using NodeBackup = std::function<bool(const NodeInfo& node, const std::filesystem::path& folder)>;
// Restores the node from the set in `folder`, the snapshot telling whose set it is; false on failure.
using NodeRestore = std::function<bool(const Snapshot& snapshot, const std::filesystem::path& folder)>;

// <Staging>/node<n>.
std::filesystem::path staging_folder(const FleetConfig& config, int node);

// For each node: the normal backup into its staging folder, then `restic backup` of that folder.
// Then the retention, once. A node whose backup failed stores nothing; a restic failure leaves the
// staging folder as it is (it stays the local copy). Progress and errors, one line each, on `log`.
// 0 when every node was stored and the retention ran; 1 otherwise.
int BackupNodes(const ResticRepo& repo, const std::vector<NodeInfo>& nodes, const NodeBackup& backup,
                std::FILE* log, const std::string& time = {});

// The snapshots as a table: ID, local date, host, node, node name, board, size.
void PrintHistory(const std::vector<Snapshot>& list, std::FILE* out);

// Picks the snapshot of `node` from `host` that `from` names (see select_snapshot), restores it into
// a temporary folder, shows what will be overwritten, asks (Yes/No, preset No) and then runs
// `restore` on the folder; the temporary folder is removed at the end. 0 done; 1 otherwise.
int RestoreNode(const ResticRepo& repo, int node, const std::string& host, const std::string& from,
                moxel::Prompter& prompter, const NodeRestore& restore, std::FILE* out);

}  // namespace kestrel::fleet
