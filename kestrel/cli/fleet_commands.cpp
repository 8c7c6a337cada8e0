// The fleet commands: the nodes' SRAM sets in the shop's shared restic repository.
#include <memory>
#include <optional>
#include <vector>

#include "kestrel/cli/fleet_commands.h"
#include "kestrel/cncitf/itf_err.h"
#include "kestrel/console/tables.h"
#include "kestrel/fleet/fleet.h"
#include "platform/named_lock.h"

namespace kestrel::cli {
namespace {

using namespace kestrel::fleet;

// The words of the fleet commands: --host NAME, --from X.
struct FleetArgs {
  std::string host;
  std::string from;
};

FleetArgs parse_fleet_args(const std::vector<std::string>& args, const FleetConfig& config, bool with_from) {
  FleetArgs parsed;
  parsed.host = config.host;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& opt = args[i];
    if (i + 1 >= args.size()) throw UsageError("'" + opt + "' needs a value, or is no option here");
    const std::string& value = args[++i];
    if (opt == "--host") {
      if (value.empty()) throw UsageError("--host needs a host name");
      parsed.host = value;
    } else if (opt == "--from" && with_from) {
      parsed.from = value;
    } else {
      throw UsageError("unknown option '" + opt + "'");
    }
  }
  return parsed;
}

// One node's own connection.
struct NodeLink {
  cnbus::CCnbusClient client;
  std::unique_ptr<CCncItf> itf;
  std::optional<Context> ctx;

  // Fails (false) when the node is not present.
  bool open(int node, moxel::Prompter& prompter, std::FILE* out, const AllNodesRequest& request,
            const std::string& folder = {}) {
    if (!client.SelectNode(node)) return false;
    itf = std::make_unique<CCncItf>(client);
    ctx.emplace(Context{node, client, *itf, prompter, out, folder, request.board, request.service});
    return true;
  }
};

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return text;
}

// The board a node's set holds the SRAM of: the one of --board, else the first the CNC lists; or,
// given a name, the board of that name.
std::optional<BoardRecord> pick_board(Context& ctx, const std::string& name = {}) {
  for (const BoardRecord& b : ReadBoards(ctx.itf)) {
    if (name.empty() ? (ctx.board < 0 || b.number == ctx.board) : trimmed(b.name) == name) return b;
  }
  return std::nullopt;
}

// Answers the sequence's own first question Yes: the operator has confirmed already.
class ConfirmedPrompter : public moxel::Prompter {
 public:
  explicit ConfirmedPrompter(moxel::Prompter& inner) : inner_(inner) {}
  moxel::Answer ask(const std::string& caption, const std::string& text, moxel::Buttons buttons,
                    moxel::Icon icon, moxel::Answer preset) override {
    if (!confirmed_ && buttons == moxel::Buttons::yes_no) {
      confirmed_ = true;
      return moxel::Answer::yes;
    }
    return inner_.ask(caption, text, buttons, icon, preset);
  }
  void beep() override { inner_.beep(); }

 private:
  moxel::Prompter& inner_;
  bool confirmed_ = false;
};

int history(Context& ctx, const std::vector<std::string>& args) {
  const ResticRepo repo(load_fleet_config());
  const FleetArgs a = parse_fleet_args(args, repo.config(), false);
  std::string error;
  const int node = ctx.node_given ? ctx.node : -1;
  auto list = repo.Snapshots(node, a.host, &error);
  if (!list) {
    std::fprintf(stderr, "kestrel-cli: %s\n", error.c_str());
    return kExitFailed;
  }
  if (list->empty()) {
    std::fprintf(ctx.out, "no snapshots of %s from host %s\n",
                 node < 0 ? "any node" : ("node " + std::to_string(node)).c_str(), a.host.c_str());
    return kExitOk;
  }
  PrintHistory(*list, ctx.out);
  return kExitOk;
}

}  // namespace

int restic_backup(moxel::Prompter& prompter, std::FILE* out,
                  const AllNodesRequest& request, int node, bool verify) {
  FleetConfig config = load_fleet_config();
  if (!request.folder.empty()) config.staging = request.folder;
  const ResticRepo repo(config);
  // Two backups at once (the timer's and one from a shell) would write the same staging folders.
  std::error_code ec;
  std::filesystem::create_directories(config.staging, ec);
  moxel::NamedLock lock(kStagingLock, config.staging, 0600);
  if (!lock.try_lock()) {
    std::fprintf(out, "backup FAILED: %s\n",
                 lock.valid() ? ("another fleet backup is running on " + config.staging.string()).c_str()
                              : ("cannot use the staging folder " + config.staging.string()).c_str());
    return kExitFailed;
  }
  std::vector<NodeInfo> nodes;
  bool all_ok = true;
  for (int n = node < 0 ? 0 : node; n <= (node < 0 ? 7 : node); ++n) {
    NodeLink link;
    if (!link.open(n, prompter, out, request)) {
      if (node >= 0) {
        std::fprintf(out, "node %d: backup FAILED: the node is not present\n", n);
        all_ok = false;
      }
      continue;
    }
    if (const std::string problem = console_problem(*link.ctx); !problem.empty()) {
      std::fprintf(out, "node %d: %s%s\n", n, node < 0 ? "skipped: " : "backup FAILED: ", problem.c_str());
      all_ok = all_ok && node < 0;  // --all takes the nodes that wait in their boot console
      continue;
    }
    std::optional<BoardRecord> board;
    try {
      board = pick_board(*link.ctx);
    } catch (const CItfErr& e) {
      // One node's lost link fails that node; the others go on.
      std::fprintf(out, "node %d: backup FAILED: %s\n", n, e.code() == 1 ? "the link was lost" : e.text().c_str());
      all_ok = false;
      continue;
    }
    if (!board) {
      std::fprintf(out, "node %d: backup FAILED: the CNC has no board %d\n", n, request.board);
      all_ok = false;
      continue;
    }
    nodes.push_back({n, link.client.GetNodeName(), trimmed(board->name), board->sram_size});
  }
  if (nodes.empty() && node < 0) {
    std::fprintf(out, "no node waits in its boot console\n");
    return kExitFailed;
  }
  const int status = BackupNodes(repo, nodes, [&](const NodeInfo& info, const std::filesystem::path& folder) {
    NodeLink link;
    return link.open(info.node, prompter, out, request, folder.string()) &&
           backup_node(*link.ctx, folder.string(), verify) == kExitOk;
  }, out);
  std::fflush(out);
  return all_ok && status == 0 ? kExitOk : kExitFailed;
}

int restic_restore(Context& ctx, const std::vector<std::string>& args) {
  const ResticRepo repo(load_fleet_config());
  const FleetArgs a = parse_fleet_args(args, repo.config(), true);
  if (a.from.empty()) throw UsageError("usage: kestrel-cli restore --from SNAPSHOT|latest|DATE [--host NAME]");
  if (!require_console(ctx)) return kExitFailed;
  return RestoreNode(repo, ctx.node, a.host, a.from, ctx.prompter, [&](const Snapshot& s, const std::filesystem::path& folder) {
    auto board = pick_board(ctx, s.node.board);
    if (!board) {
      std::fprintf(ctx.out, "node %d: restore FAILED: the CNC has no board %s\n", ctx.node, s.node.board.c_str());
      return false;
    }
    ConfirmedPrompter confirmed(ctx.prompter);
    Context on_board{ctx.node, ctx.client, ctx.itf, confirmed, ctx.out, folder.string(), board->number, ctx.service};
    return restore_node(on_board, folder.string()) == kExitOk;
  }, ctx.out);
}

std::vector<Command> fleet_commands() {
  return {
      {"history", "[--host NAME]",
       "the snapshots in the shared restic repository: this PC's (or NAME's), of every node or of --node N", 0, 2,
       history, false},
  };
}

}  // namespace kestrel::cli
