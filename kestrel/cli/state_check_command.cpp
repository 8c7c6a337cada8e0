// state-check: the interface state check that the boot thread runs before it starts a node's
// programs, once, from a shell.
#include <vector>

#include "kestrel/cli/cli.h"
#include "kestrel/cncitf/cnc_state_check.h"

namespace kestrel::cli {
namespace {

int state_check(Context& ctx, const std::vector<std::string>& args) {
  int limit = CCncStateCheck::kDefaultLimit;
  if (!args.empty()) {
    if (args.size() != 2 || args[0] != "--limit") throw UsageError("usage: kestrel-cli state-check [--limit S]");
    limit = int(number_arg(args[1], "--limit", CCncStateCheck::kDefaultLimit));
  }
  // The check's stop box is printed here, once, as the command's answer.
  moxel::ScriptedPrompter boxes;
  bool link_lost = false;
  CCncStateCheck check(ctx.client, [&] { link_lost = true; }, boxes);
  check.SetLimit(limit);
  if (check.Run()) {
    std::fputs("passed\n", ctx.out);
    return kExitOk;
  }
  if (link_lost) {
    std::fprintf(stderr, "kestrel-cli: the link to node %d was lost\n", ctx.node);
    return kExitFailed;
  }
  std::fprintf(ctx.out, "%s\n", CCncStateCheck::MessageText(check.GetMessage()));
  return kExitFailed;
}

}  // namespace

std::vector<Command> state_check_commands() {
  return {
      {"state-check", "[--limit S]",
       "check the CNC's interface state as before starting the node's programs (limits S s, default 30)",
       0, 2, state_check},
  };
}

}  // namespace kestrel::cli
