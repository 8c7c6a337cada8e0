// The boot console's F-ROM operations by name, the same sequences as the boot dialog's buttons:
// delete a module, initialise the whole F-ROM (service mode only).
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <vector>

#include "kestrel/cli/cli.h"
#include "kestrel/console/boot_console.h"

namespace kestrel::cli {
namespace {

// Progress of the sequences on standard error, one line rewritten in place, when it is a terminal.
class StderrView : public IConsoleView {
 public:
  void SetStatus(const std::string& text) override {
    if (!tty_) return;
    std::fprintf(stderr, "\r%-20s\r", text.c_str());
    std::fflush(stderr);
  }

 private:
  bool tty_ = ::isatty(STDERR_FILENO) == 1;
};

// A boot console opened on the command line's node and board, as the dialog opens it.
struct ConsoleSession {
  StderrView view;
  ConsoleContext console_ctx;
  std::optional<CBootConsole> console;

  explicit ConsoleSession(Context& ctx)
      : console_ctx{ctx.itf, ctx.prompter, view, {}, 1, {}, [service = ctx.service] { return service; }} {}

  // The console started and the context's board selected; false with a message on stderr.
  bool Open(Context& ctx) {
    if (!require_console(ctx)) return false;
    ConsoleOptions options;
    options.node = ctx.node;
    console.emplace(console_ctx, std::move(options));
    if (console->Start() != kConsoleResultOk) {
      std::fprintf(stderr, "kestrel-cli: the CNC of node %d refuses its console (status %x)\n", ctx.node,
                   ctx.itf.Status());
      return false;
    }
    if (!console->SelectBoardNumber(ctx.board)) {
      std::fprintf(stderr, "kestrel-cli: the CNC of node %d has no board %d\n", ctx.node, ctx.board);
      return false;
    }
    return true;
  }
};

// Runs a console command; an interface fault is shown as the boot dialog shows it (through the
// prompter, caption "Kestrel32") and fails the command.
int shown_faults(Context& ctx, int (*command)(Context&, const std::vector<std::string>&),
                 const std::vector<std::string>& args) {
  try {
    return command(ctx, args);
  } catch (const CItfErr& e) {
    HandleItfError(e, ctx.prompter, [&ctx] {
      std::fprintf(stderr, "kestrel-cli: the link to node %d was lost\n", ctx.node);
    });
    return kExitFailed;
  }
}

int delete_module(Context& ctx, const std::vector<std::string>& args) {
  ConsoleSession s(ctx);
  if (!s.Open(ctx)) return kExitFailed;
  const int index = s.console->FindModule(args[0]);
  if (index < 0) {
    std::fprintf(stderr, "kestrel-cli: board %d holds no module '%s'\n", s.console_ctx.board.number,
                 args[0].c_str());
    return kExitFailed;
  }
  s.console->SelectModule(index);
  if (!s.console->DeleteModule()) {
    std::fprintf(stderr, "kestrel-cli: module '%s' was not deleted\n", args[0].c_str());
    return kExitFailed;
  }
  return kExitOk;
}

int initialize(Context& ctx, const std::vector<std::string>&) {
  if (!ctx.service) throw UsageError("initialize works in service mode only (--service)");
  ConsoleSession s(ctx);
  if (!s.Open(ctx)) return kExitFailed;
  if (s.console_ctx.board.from_size == 0) {
    std::fprintf(stderr, "kestrel-cli: board %d has no F-ROM\n", s.console_ctx.board.number);
    return kExitFailed;
  }
  if (!s.console->Initialize()) {
    std::fprintf(stderr, "kestrel-cli: the F-ROM of board %d was not initialised\n", s.console_ctx.board.number);
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

std::vector<Command> console_commands() {
  return {
      // "delete" is the file store's: the module's delete carries its own name.
      {"delete-module", "MODULE", "delete an F-ROM module of the board (protected ones with --service)", 1, 1,
       [](Context& ctx, const std::vector<std::string>& args) { return shown_faults(ctx, delete_module, args); }},
      {"initialize", "", "erase the board's whole F-ROM (with --service only)", 0, 0,
       [](Context& ctx, const std::vector<std::string>& args) { return shown_faults(ctx, initialize, args); }},
  };
}

}  // namespace kestrel::cli
