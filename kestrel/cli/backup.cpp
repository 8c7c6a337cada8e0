#include "kestrel/cli/backup.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <optional>
#include <regex>

#include "kestrel/cli/console_prompter.h"
#include "kestrel/cncitf/itf_err.h"
#include "kestrel/console/boot_console.h"
#include "kestrel/console/tables.h"
#include "kestrel/console/transfers.h"
#include "platform/config_store.h"

namespace kestrel::cli {
namespace {

namespace fs = std::filesystem;

// Progress on standard error while it is a terminal: the log of backup and restore line by line,
// and the status and percentage of a load or save, overwritten in place.
class TerminalView : public IConsoleView {
 public:
  TerminalView() : tty_(::isatty(2) == 1) {}
  ~TerminalView() override {
    if (tty_ && open_line_) std::fputc('\n', stderr);
  }
  void SetLog(const std::string& text) override {
    log_ = text;
    if (!tty_) return;
    // Lines completed since the last call, then the line in progress.
    size_t start = 0, end;
    int line = 0;
    std::string partial;
    while ((end = text.find('\n', start)) != std::string::npos) {
      if (line++ >= printed_lines_) std::fprintf(stderr, "\r\033[K%s\n", text.substr(start, end - start).c_str());
      start = end + 1;
    }
    printed_lines_ = std::max(printed_lines_, line);
    std::fprintf(stderr, "\r\033[K%s", text.substr(start).c_str());
    open_line_ = start < text.size();
    std::fflush(stderr);
  }
  void SetStatus(const std::string& text) override {
    status_ = text;
    Show(-1);
  }
  void SetProgressRange(int range) override { range_ = range; }
  void SetProgress(int position) override {
    Show(range_ > 0 ? std::clamp(position * 100 / range_, 0, 100) : -1);
  }
  // The last line of the log: what became of the last part.
  std::string LastLogLine() const {
    std::string text = log_;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
  }

 private:
  void Show(int percent) {
    if (!tty_) return;
    if (percent >= 0)
      std::fprintf(stderr, "\r\033[K%s %3d%%", status_.c_str(), percent);
    else
      std::fprintf(stderr, "\r\033[K%s", status_.c_str());
    open_line_ = true;
    std::fflush(stderr);
  }
  bool tty_;
  bool open_line_ = false;
  int printed_lines_ = 0;
  int range_ = 0;
  std::string log_, status_;
};

// The board the transfers work on, selected in the CNC, and the naming value of the backup files.
// Empty, with the reason in *why, when the CNC has no such board or refuses it.
std::optional<BoardRecord> select_board(Context& ctx, uint16_t* naming, std::string* why) {
  const std::vector<BoardRecord> boards = ReadBoards(ctx.itf);
  auto it = ctx.board < 0 ? boards.begin()
                          : std::find_if(boards.begin(), boards.end(),
                                         [&](const BoardRecord& b) { return b.number == ctx.board; });
  if (it == boards.end()) {
    *why = ctx.board < 0 ? "the CNC lists no boards" : "the CNC has no board " + std::to_string(ctx.board);
    return std::nullopt;
  }
  ctx.itf.Call(0x005, it->number, 0, 0, 0, 1);
  if (ctx.itf.Status() != 0) {
    *why = "the CNC refused board " + std::to_string(it->number);
    return std::nullopt;
  }
  ctx.itf.Call(0x002, 0, 0, 0, 0, 1);
  if (ctx.itf.Status() != 0) {
    *why = "the CNC refused its identification (function 0x002)";
    return std::nullopt;
  }
  *naming = ctx.itf.Image().o2;
  return *it;
}

// Where the files are: the memory card (removable), or a folder, removable when it lies on a
// removable block device (as the console's location setting decides).
StoreSettings store_for(const std::string& folder) {
  if (folder.empty()) return {1, 1, ""};
  return {0, FolderOnRemovableDevice(folder), folder};
}

std::string where(const std::string& folder) { return folder.empty() ? "the memory card" : folder; }

std::string board_text(const BoardRecord& b) {
  std::string name = b.name.substr(0, b.name.find_last_not_of(' ') + 1);
  return "board " + std::to_string(b.number) + " (" + name + ")";
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : " ") + n;
  return out;
}

int report(Context& ctx, const std::string& line, int status) {
  std::fprintf(ctx.out, "node %d: %s\n", ctx.node, line.c_str());
  std::fflush(ctx.out);
  return status;
}

std::string itf_error_text(const CItfErr& e) {
  if (e.code() == 1) return "the link was lost";
  return e.text().empty() ? "interface error " + std::to_string(e.code()) : e.text();
}

enum class Direction { backup, restore };

int transfer_node(Context& ctx, const std::string& folder, Direction direction, bool verify) {
  const char* what = direction == Direction::backup ? "backup" : "restore";
  const std::string problem = console_problem(ctx);
  if (!problem.empty()) return report(ctx, std::string(what) + " FAILED: " + problem, kExitFailed);
  if (direction == Direction::backup && !folder.empty()) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) return report(ctx, "backup FAILED: cannot make " + folder + ": " + ec.message(), kExitFailed);
  }
  TerminalView view;
  BoundedRetryPrompter prompter(ctx.prompter);
  try {
    uint16_t naming = 1;
    std::string why;
    const auto board = select_board(ctx, &naming, &why);
    if (!board) return report(ctx, std::string(what) + " FAILED: " + why, kExitFailed);
    if (board->sram_size == 0)
      return report(ctx, std::string(what) + " FAILED: " + board_text(*board) + " has no SRAM", kExitFailed);
    ConsoleContext console{ctx.itf, prompter, view, *board, naming, store_for(folder)};
    console.service_mode = [service = ctx.service] { return service; };
    const TransferOutcome outcome =
        direction == Direction::backup ? BackupSram(console) : RestoreSram(console);
    if (outcome == TransferOutcome::declined) return report(ctx, std::string(what) + " not done: declined", kExitFailed);
    if (outcome == TransferOutcome::failed)
      return report(ctx, std::string(what) + " FAILED: " + view.LastLogLine(), kExitFailed);
    const std::string files = joined(BackupFileNames(console));
    if (verify && !VerifySramBackup(console, &why))
      return report(ctx, "backup FAILED verification: " + why, kExitFailed);
    const std::string line = direction == Direction::backup
                                 ? "backup of " + board_text(*board) + " into " + where(folder) + ": " + files
                                 : "restore of " + board_text(*board) + " from " + where(folder) + ": " + files;
    return report(ctx, line + (verify ? " (verified)" : ""), kExitOk);
  } catch (const CItfErr& e) {
    return report(ctx, std::string(what) + " FAILED: " + itf_error_text(e), kExitFailed);
  }
}

// The console context of the module commands: the chosen board and the store of the command line.
struct ModuleConsole {
  explicit ModuleConsole(Context& ctx) : prompter(ctx.prompter) {}
  BoundedRetryPrompter prompter;
  TerminalView view;
  std::optional<ConsoleContext> console;
};

bool open_module_console(Context& ctx, ModuleConsole* mc) {
  if (!require_console(ctx)) return false;
  uint16_t naming = 1;
  std::string why;
  const auto board = select_board(ctx, &naming, &why);
  if (!board) {
    std::fprintf(stderr, "kestrel-cli: %s\n", why.c_str());
    return false;
  }
  mc->console.emplace(ConsoleContext{ctx.itf, mc->prompter, mc->view, *board, naming, store_for(ctx.folder)});
  mc->console->service_mode = [service = ctx.service] { return service; };
  return true;
}

std::string trimmed(const std::string& text) {
  return text.substr(0, text.find_last_not_of(' ') + 1);
}

bool same_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

int backup_command(Context& ctx, const std::vector<std::string>& args) {
  const BackupOptions options = parse_backup_options(args);
  if (options.dated && ctx.folder.empty()) throw UsageError("--dated needs --folder DIR");
  const std::string folder = options.dated ? (fs::path(ctx.folder) / dated_folder_name()).string() : ctx.folder;
  const int status = backup_node(ctx, folder, options.verify);
  if (status == kExitOk && options.keep > 0 && !prune_dated_folders(ctx.folder, options.keep)) return kExitFailed;
  return status;
}

int restore_command(Context& ctx, const std::vector<std::string>&) { return restore_node(ctx, ctx.folder); }

int save_command(Context& ctx, const std::vector<std::string>& args) {
  ModuleConsole mc(ctx);
  if (!open_module_console(ctx, &mc)) return kExitFailed;
  const std::vector<ModuleRecord> modules = ReadModules(ctx.itf);
  auto it = std::find_if(modules.begin(), modules.end(),
                         [&](const ModuleRecord& m) { return same_name(trimmed(m.name), args[0]); });
  if (it == modules.end()) {
    std::fprintf(stderr, "kestrel-cli: the board holds no module %s\n", args[0].c_str());
    return kExitFailed;
  }
  const auto plan = PrepareSave(*mc.console, &*it);
  if (!plan) return kExitFailed;
  if (!SaveModule(*mc.console, *plan)) return kExitFailed;
  std::fprintf(ctx.out, "saved %s as %s in %s\n", plan->source.c_str(), plan->target.c_str(),
               where(ctx.folder).c_str());
  return kExitOk;
}

int load_command(Context& ctx, const std::vector<std::string>& args) {
  ModuleConsole mc(ctx);
  if (!open_module_console(ctx, &mc)) return kExitFailed;
  int status = kExitOk;
  for (const std::string& file : args) {
    if (LoadModuleFile(*mc.console, ReadModules(ctx.itf), file)) {
      std::fprintf(ctx.out, "loaded %s\n", file.c_str());
    } else {
      std::fprintf(ctx.out, "FAILED to load %s\n", file.c_str());
      status = kExitFailed;
    }
    mc.view.SetProgress(0);
    mc.view.SetStatus("");
  }
  return status;
}

}  // namespace

int backup_node(Context& ctx, const std::string& folder, bool verify) {
  return transfer_node(ctx, folder, Direction::backup, verify);
}

int restore_node(Context& ctx, const std::string& folder) {
  return transfer_node(ctx, folder, Direction::restore, false);
}

BackupOptions parse_backup_options(const std::vector<std::string>& args) {
  BackupOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--verify") {
      options.verify = true;
    } else if (args[i] == "--dated") {
      options.dated = true;
    } else if (args[i] == "--keep" && i + 1 < args.size()) {
      const auto n = moxel::parse_dword(args[++i]);
      if (!n || *n < 1 || *n > 10000) throw UsageError("--keep takes a number of folders from 1, not '" + args[i] + "'");
      options.keep = int(*n);
    } else {
      throw UsageError("backup takes --verify, --dated and --keep N, not '" + args[i] + "'");
    }
  }
  if (options.keep > 0 && !options.dated) throw UsageError("--keep goes with --dated");
  return options;
}

std::string dated_folder_name() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char name[16];
  std::strftime(name, sizeof name, "%Y-%m-%d", &local);
  return name;
}

bool prune_dated_folders(const std::string& base, int keep) {
  static const std::regex dated(R"(\d{4}-\d{2}-\d{2})");
  std::vector<fs::path> folders;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(base, ec))
    if (entry.is_directory() && std::regex_match(entry.path().filename().string(), dated))
      folders.push_back(entry.path());
  if (ec) {
    std::fprintf(stderr, "kestrel-cli: cannot list %s: %s\n", base.c_str(), ec.message().c_str());
    return false;
  }
  std::sort(folders.begin(), folders.end());  // the names sort by date
  bool ok = true;
  for (size_t i = 0; i + keep < folders.size(); ++i) {
    fs::remove_all(folders[i], ec);
    if (ec) {
      std::fprintf(stderr, "kestrel-cli: cannot remove %s: %s\n", folders[i].c_str(), ec.message().c_str());
      ok = false;
    }
  }
  return ok;
}

int run_all_nodes(cnbus::CCnbusClient& client, moxel::Prompter& prompter, std::FILE* out,
                  const AllNodesRequest& request) {
  const bool backup = request.command == "backup";
  BackupOptions options;
  if (backup) options = parse_backup_options(request.args);
  else if (!request.args.empty()) throw UsageError("restore takes no arguments");
  if (options.dated && request.folder.empty()) throw UsageError("--dated needs --folder DIR");
  const fs::path base = options.dated ? fs::path(request.folder) / dated_folder_name() : fs::path(request.folder);
  int ran = 0, failed = 0;
  for (int node = 0; node < 8; ++node) {
    if (client.SelectNode(node) != 1) continue;
    CCncItf itf(client);
    const std::string folder = request.folder.empty() ? "" : (base / ("node" + std::to_string(node))).string();
    Context ctx{node, client, itf, prompter, out, folder, request.board, request.service};
    if (const std::string problem = console_problem(ctx); !problem.empty()) {
      report(ctx, "skipped: " + problem, kExitOk);
      continue;
    }
    ++ran;
    const int status = backup ? backup_node(ctx, folder, options.verify) : restore_node(ctx, folder);
    if (status != kExitOk) ++failed;
  }
  if (ran == 0) {
    std::fprintf(out, "no node waits in its boot console\n");
    return kExitFailed;
  }
  // Old backups go only after a night in which every node was backed up.
  if (failed == 0 && options.keep > 0 && !prune_dated_folders(request.folder, options.keep)) return kExitFailed;
  return failed == 0 ? kExitOk : kExitFailed;
}

std::vector<Command> transfer_commands() {
  return {
      {"backup", "[--verify] [--dated [--keep N]]",
       "back the board's SRAM up into the store (--verify: compare again; --dated: into DIR/YYYY-MM-DD, "
       "keeping the N newest)", 0, 4, backup_command},
      {"restore", "", "restore the board's SRAM from the backup files in the store", 0, 0, restore_command},
      {"save", "MODULE", "save an F-ROM module into the store as MODULE.000 to .031", 1, 1, save_command},
      {"load", "FILE...", "load module files of the store into the F-ROM", 1, 64, load_command},
  };
}

}  // namespace kestrel::cli
