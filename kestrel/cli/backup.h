#pragma once
// kestrel-cli's transfers: SRAM backup and restore, module save and load, on the boot console's
// own sequences (kestrel/console/transfers.h), for one node or for every node in its console.
//
// A backup or restore reports one line per node on the context's output: "node N: ..." saying
// what was written or read, or why it failed. Questions go to the context's prompter.
#include <string>
#include <vector>

#include "cnbusclient/cnbus_client.h"
#include "kestrel/cli/cli.h"
#include "platform/prompter.h"

namespace kestrel::cli {

// Backs the SRAM of the node's board (ctx.board, or the first the CNC lists) up into `folder`
// (created when missing), or onto the node's memory card when `folder` is empty. With `verify`
// the SRAM is read again afterwards and compared with the files written. kExitOk or kExitFailed;
// interface errors are reported, not thrown.
int backup_node(Context& ctx, const std::string& folder, bool verify);
// Restores the SRAM of the node's board from the backup files in `folder` (or on the card).
int restore_node(Context& ctx, const std::string& folder);

// The words after "backup": --verify, --dated (into a folder named by today's date, YYYY-MM-DD,
// under the folder given), --keep N (with --dated: afterwards only the N newest dated folders
// stay). UsageError on anything else.
struct BackupOptions {
  bool verify = false;
  bool dated = false;
  int keep = 0;  // 0: keep every dated folder
};
BackupOptions parse_backup_options(const std::vector<std::string>& args);
// Today's folder name, YYYY-MM-DD in local time.
std::string dated_folder_name();
// Removes all but the `keep` newest YYYY-MM-DD folders in `base` (other entries are left alone).
// Reports what it could not remove on stderr; false then.
bool prune_dated_folders(const std::string& base, int keep);

// Everything the command line gave that is not per node.
struct AllNodesRequest {
  std::string command;  // "backup" or "restore"
  std::vector<std::string> args;
  std::string folder;  // empty: each node's memory card; else each node's files in folder/node<N>
  int board = -1;
  bool service = false;
};
// --all: runs the backup or restore on every present node whose CNC waits in its boot console,
// one line per node (nodes not in their console are listed as skipped). kExitOk when every node
// run succeeded and at least one ran.
int run_all_nodes(cnbus::CCnbusClient& client, moxel::Prompter& prompter, std::FILE* out,
                  const AllNodesRequest& request);

// "backup", "restore", "save" and "load" for one node.
std::vector<Command> transfer_commands();

}  // namespace kestrel::cli
