// The fleet commands: the nodes' backup sets in the shop's shared restic repository
// (fleet-backup.conf, docs/fleet-backups.md). restic finds the repository and its password in its
// own environment.
#include <memory>
#include <optional>
#include <vector>

#include "kestrel/cli/cli.h"
#include "kestrel/console/tables.h"
#include "kestrel/console/transfers.h"
#include "kestrel/fleet/fleet.h"

namespace kestrel::cli {
namespace {

using namespace kestrel::fleet;

// The options of the fleet commands after the command's name: --node N, --host NAME, --from X.
struct FleetArgs {
  std::optional<int> node;
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
    if (opt == "--node") {
      parsed.node = int(number_arg(value, "--node", 7));
    } else if (opt == "--host") {
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

// One node's own connection, for the commands that go over several nodes.
struct NodeLink {
  cnbus::CCnbusClient client;
  std::unique_ptr<CCncItf> itf;
  std::optional<Context> ctx;

  // Fails (false) when the node is not present.
  bool open(int node, const Context& like) {
    if (!client.SelectNode(node)) return false;
    itf = std::make_unique<CCncItf>(client);
    ctx.emplace(Context{node, client, *itf, like.prompter, like.out, like.folder, like.board, like.service});
    return true;
  }
};

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return text;
}

// The board whose SRAM a node's set holds: the one of --board, else the first the CNC lists; or,
// given a name, the board of that name.
std::optional<BoardRecord> pick_board(Context& ctx, const std::string& name = {}) {
  for (const BoardRecord& b : ReadBoards(ctx.itf)) {
    if (name.empty() ? (ctx.board < 0 || b.number == ctx.board) : trimmed(b.name) == name) return b;
  }
  return std::nullopt;
}

// The naming value of the backup file names (O2 of function 0x002); 1 when the CNC refuses it.
uint16_t naming_value(Context& ctx) {
  ctx.itf.Call(0x002);
  return ctx.itf.Status() == 0 ? ctx.itf.Image().o2 : 1;
}

// The SRAM sequences of the boot console on a PC folder.
ConsoleContext folder_console(Context& ctx, moxel::Prompter& prompter, IConsoleView& view,
                              const BoardRecord& board, const std::filesystem::path& folder) {
  return ConsoleContext{ctx.itf, prompter, view, board, naming_value(ctx), StoreSettings{0, 0, folder.string() + "/"},
                        [] { return false; }};
}

// The log of a sequence, each finished line once, on standard error.
class LogView : public IConsoleView {
 public:
  explicit LogView(int node) : node_(node) {}
  void SetLog(const std::string& text) override {
    size_t end;
    while ((end = text.find('\n', shown_)) != std::string::npos) {
      std::fprintf(stderr, "node %d: %s\n", node_, text.substr(shown_, end - shown_).c_str());
      shown_ = end + 1;
    }
  }

 private:
  int node_;
  size_t shown_ = 0;
};

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

// backup --restic [--all]: the node (or every node in its boot console) backed up into its staging
// folder and stored in the repository, then the retention.
int restic_backup(Context& ctx, bool all) {
  const ResticRepo repo(load_fleet_config());
  std::vector<NodeInfo> nodes;
  bool all_ok = true;
  for (int n = all ? 0 : ctx.node; n <= (all ? 7 : ctx.node); ++n) {
    NodeLink link;
    if (!link.open(n, ctx)) continue;
    if (!require_console(*link.ctx)) {
      all_ok = all_ok && all;  // --all takes the nodes in their boot console
      continue;
    }
    auto board = pick_board(*link.ctx);
    if (!board) {
      std::fprintf(stderr, "kestrel-cli: node %d has no board %d\n", n, ctx.board);
      all_ok = false;
      continue;
    }
    nodes.push_back({n, link.client.GetNodeName(), trimmed(board->name), board->sram_size});
  }
  const int status = BackupNodes(repo, nodes, [&](const NodeInfo& node, const std::filesystem::path& folder) {
    NodeLink link;
    if (!link.open(node.node, ctx)) return false;
    auto board = pick_board(*link.ctx);
    if (!board) return false;
    LogView view(node.node);
    ConsoleContext console = folder_console(*link.ctx, ctx.prompter, view, *board, folder);
    return BackupSram(console) == TransferOutcome::done;
  }, stderr);
  return all_ok && status == 0 ? kExitOk : kExitFailed;
}

// restore --from SNAPSHOT|latest|DATE [--host NAME]: the set from the repository into the node.
int restic_restore(Context& ctx, const ResticRepo& repo, const FleetArgs& a) {
  if (!require_console(ctx)) return kExitFailed;
  return RestoreNode(repo, ctx.node, a.host, a.from, ctx.prompter, [&](const Snapshot& s, const std::filesystem::path& folder) {
    auto board = pick_board(ctx, s.node.board);
    if (!board) {
      std::fprintf(stderr, "kestrel-cli: node %d has no board %s\n", ctx.node, s.node.board.c_str());
      return false;
    }
    LogView view(ctx.node);
    ConfirmedPrompter confirmed(ctx.prompter);
    ConsoleContext console = folder_console(ctx, confirmed, view, *board, folder);
    return RestoreSram(console) == TransferOutcome::done;
  }, ctx.out);
}

int history(Context& ctx, const std::vector<std::string>& args) {
  const ResticRepo repo(load_fleet_config());
  const FleetArgs a = parse_fleet_args(args, repo.config(), false);
  std::string error;
  auto list = repo.Snapshots(a.node.value_or(-1), a.host, &error);
  if (!list) {
    std::fprintf(stderr, "kestrel-cli: %s\n", error.c_str());
    return kExitFailed;
  }
  if (list->empty()) {
    std::fprintf(ctx.out, "no snapshots of %s%s from host %s\n", a.node ? "node " : "every node",
                 a.node ? std::to_string(*a.node).c_str() : "", a.host.c_str());
    return kExitOk;
  }
  PrintHistory(*list, ctx.out);
  return kExitOk;
}

int backup(Context& ctx, const std::vector<std::string>& args) {
  bool all = false, restic = false;
  for (const std::string& a : args) {
    if (a == "--all") all = true;
    else if (a == "--restic") restic = true;
    else throw UsageError("unknown option '" + a + "'");
  }
  if (!restic) throw UsageError("usage: kestrel-cli backup [--all] --restic");
  return restic_backup(ctx, all);
}

int restore(Context& ctx, const std::vector<std::string>& args) {
  const ResticRepo repo(load_fleet_config());
  const FleetArgs a = parse_fleet_args(args, repo.config(), true);
  if (a.from.empty()) throw UsageError("usage: kestrel-cli restore [--node N] --from SNAPSHOT|latest|DATE [--host NAME]");
  if (!a.node || *a.node == ctx.node) return restic_restore(ctx, repo, a);
  NodeLink link;
  if (!link.open(*a.node, ctx)) {
    std::fprintf(stderr, "kestrel-cli: node %d is not present\n", *a.node);
    return kExitUsage;
  }
  return restic_restore(*link.ctx, repo, a);
}

}  // namespace

std::vector<Command> fleet_commands() {
  return {
      {"backup", "[--all] --restic", "back the node (every node in its boot console) up and store it in the shared restic repository", 1, 2, backup},
      {"restore", "[--node N] --from SNAPSHOT|latest|DATE [--host NAME]", "restore the node's SRAM from a snapshot in the shared restic repository", 2, 6, restore},
      {"history", "[--node N] [--host NAME]",
       "the snapshots in the shared restic repository (this PC's unless --host), all nodes or node N", 0, 4, history},
  };
}

}  // namespace kestrel::cli
