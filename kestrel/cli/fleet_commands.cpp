// The fleet commands: the nodes' backup sets in the shop's shared restic repository
// (fleet-backup.conf, docs/fleet-backups.md). restic finds the repository and its password in its
// own environment.
#include <optional>
#include <vector>

#include "kestrel/cli/cli.h"
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

}  // namespace

std::vector<Command> fleet_commands() {
  return {
      {"history", "[--node N] [--host NAME]",
       "the snapshots in the shared restic repository (this PC's unless --host), all nodes or node N", 0, 4, history},
  };
}

}  // namespace kestrel::cli
