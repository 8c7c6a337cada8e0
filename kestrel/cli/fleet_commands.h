#pragma once
// kestrel-cli's fleet backups: the nodes' SRAM sets stored in the shop's shared restic repository
// and restored from it (fleet-backup.conf, docs/fleet-backups.md). restic finds the repository and
// its password in its own environment.
#include <cstdio>
#include <string>
#include <vector>

#include "kestrel/cli/backup.h"
#include "kestrel/cli/cli.h"

namespace kestrel::cli {

// Held in the staging folder while a fleet backup runs.
constexpr const char* kStagingLock = "fleet-backup";

// backup --restic: the normal backup of node `node` (-1: of every node in its boot console) into
// its staging folder (request.folder/node<N>, or the configured Staging), each set then stored in
// the repository, then the retention; refused while another fleet backup holds the staging
// folder. One line per node on `out`. kExitOk when every node was
// backed up and stored and the retention ran.
int restic_backup(moxel::Prompter& prompter, std::FILE* out,
                  const AllNodesRequest& request, int node, bool verify);

// restore --from SNAPSHOT|latest|DATE [--host NAME]: the node's set taken from the repository into
// a temporary folder, what it overwrites shown and asked about, then the normal restore from it.
int restic_restore(Context& ctx, const std::vector<std::string>& args);

}  // namespace kestrel::cli
