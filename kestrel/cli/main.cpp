// kestrel-cli [--node N | --all] [--yes] [--card | --folder DIR] COMMAND [ARGS]: the boot console's
// operations from a shell. Exit status: 0 done; 1 the CNC refused, a transfer failed, or an
// interface error (its text on stderr); 2 bad usage, no lorandd, or no such node.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cnbusclient/cnbus_client.h"
#include "kestrel/cli/backup.h"
#include "kestrel/cli/cli.h"
#include "kestrel/cli/console_prompter.h"
#include "kestrel/cncitf/cnc_itf.h"
#include "platform/config_store.h"

using namespace kestrel::cli;

namespace {

void usage(std::FILE* to) {
  std::fputs("usage: kestrel-cli [--node N | --all] [--board B] [--service] [--yes] [--card | --folder DIR] COMMAND [ARGS]\n"
             "  --node N   the CNC node (0 to 7, default 0)\n"
             "  --all      backup or restore: every node that waits in its boot console, one line each;\n"
             "             with --folder DIR each node's files are in DIR/node<N>\n"
             "  --board B  the board of the boot console's commands (its number; default the first)\n"
             "  --service  service mode: protected modules may be deleted and saved, the F-ROM initialised\n"
             "  --yes      answer every question yes instead of asking on the terminal, except those\n"
             "             that wait for someone at the machine (change the memory card or disk, the\n"
             "             card's Retry/Cancel): these are answered No/Cancel, so a script never loops\n"
             "  --card     the file commands work on the memory card in the CNC (the default)\n"
             "  --folder DIR  the file commands work on the PC folder DIR\n"
             "commands:\n", to);
  for (const Command& c : all_commands()) {
    std::string head = std::string(c.name) + (*c.args ? " " : "") + c.args;
    std::fprintf(to, "  %-28s %s\n", head.c_str(), c.help);
  }
}

int usage_error(const std::string& text) {
  std::fprintf(stderr, "kestrel-cli: %s\n", text.c_str());
  std::fputs("(kestrel-cli --help lists the commands)\n", stderr);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  int node = 0;
  bool yes = false;
  bool all = false;
  bool service = false;
  int board = -1;
  std::string folder;  // empty: the memory card
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const std::string opt = argv[i];
    if (opt == "--help" || opt == "-h") {
      usage(stdout);
      return kExitOk;
    }
    if (opt == "--yes" || opt == "-y") {
      yes = true;
    } else if (opt == "--all") {
      all = true;
    } else if (opt == "--service") {
      service = true;
    } else if (opt == "--board" && i + 1 < argc) {
      auto b = moxel::parse_dword(argv[++i]);
      if (!b || *b > 0xFFFF) return usage_error(std::string("--board takes a board number, not '") + argv[i] + "'");
      board = int(*b);
    } else if (opt == "--card") {
      folder.clear();
    } else if (opt == "--folder" && i + 1 < argc) {
      folder = argv[++i];
      if (folder.empty()) return usage_error("--folder needs a folder");
    } else if (opt == "--node" && i + 1 < argc) {
      auto n = moxel::parse_dword(argv[++i]);
      if (!n || *n > 7) return usage_error(std::string("--node takes 0 to 7, not '") + argv[i] + "'");
      node = int(*n);
    } else {
      return usage_error("unknown option '" + opt + "'");
    }
  }
  if (i >= argc) return usage_error("no command");
  const std::string name = argv[i++];
  const std::vector<std::string> args(argv + i, argv + argc);
  const Command* command = nullptr;
  for (const Command& c : all_commands())
    if (name == c.name) command = &c;
  if (!command) return usage_error("unknown command '" + name + "'");
  if (args.size() < command->min_args || args.size() > command->max_args)
    return usage_error(std::string("usage: kestrel-cli ") + command->name + " " + command->args);

  if (all && name != "backup" && name != "restore") return usage_error("--all goes with backup and restore");

  cnbus::CCnbusClient client;
  if (!client.IsAvailable()) {
    std::fputs("kestrel-cli: lorandd does not answer (is it running?)\n", stderr);
    return kExitUsage;
  }
  if (all) {
    ConsolePrompter prompter(yes);
    moxel::set_prompter(&prompter);
    int status = kExitFailed;
    try {
      status = run_all_nodes(client, prompter, stdout, {name, args, folder, board, service});
    } catch (const UsageError& e) {
      status = usage_error(e.what());
    }
    moxel::set_prompter(nullptr);
    return status;
  }
  if (!client.SelectNode(node)) {
    std::fprintf(stderr, "kestrel-cli: node %d is not present\n", node);
    return kExitUsage;
  }
  ConsolePrompter prompter(yes);
  moxel::set_prompter(&prompter);
  int status = kExitFailed;
  try {
    kestrel::CCncItf itf(client);
    Context ctx{node, client, itf, prompter, stdout, folder, board, service};
    status = command->run(ctx, args);
  } catch (const UsageError& e) {
    status = usage_error(e.what());
  } catch (const kestrel::CItfErr& e) {
    if (e.code() == 1)
      std::fprintf(stderr, "kestrel-cli: the link to node %d was lost\n", node);
    else
      std::fprintf(stderr, "%s\n", e.text().c_str());
    status = kExitFailed;
  }
  moxel::set_prompter(nullptr);
  return status;
}
