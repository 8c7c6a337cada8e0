// The file commands: the boot console's file store (the memory card in the CNC, or a PC folder
// with --folder DIR) listed, written, read, deleted and formatted from a shell.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "kestrel/cli/cli.h"
#include "kestrel/cli/console_prompter.h"
#include "kestrel/cncitf/file_store.h"

namespace kestrel::cli {
namespace {

// One card read or write moves at most this much (a multiple of 1024, so writes are pipelined).
constexpr uint32_t kPiece = kCardTransferLimit;
// The store of the command line's choice, open; the command fails when it cannot be opened.
struct OpenStore {
  BoundedRetryPrompter prompter;
  CCncFileStore store;
  bool open = false;

  explicit OpenStore(Context& ctx) : prompter(ctx.prompter), store(ctx.itf, prompter) {
    if (ctx.folder.empty() && !require_console(ctx)) return;
    open = store.OpenStore(ctx.folder.empty() ? 1 : 0, ctx.folder) == 1;
    if (!open) report("the file store cannot be used");
  }
  // Writing on the card: not while its protect switch is on.
  bool writable() { return !store.IsOnCard() || store.CheckWritable() == 1; }
  void report(const std::string& what) {
    const std::string& why = store.LastErrorText();
    std::fprintf(stderr, "kestrel-cli: %s%s%s\n", what.c_str(), why.empty() ? "" : ": ", why.c_str());
  }
};

int files(Context& ctx, const std::vector<std::string>&) {
  OpenStore s(ctx);
  if (!s.open) return kExitFailed;
  CFileEntry e;
  for (int ok = s.store.FindFirst("*.*", &e); ok; ok = s.store.FindNext(&e)) {
    if (e.name == "." || e.name == "..") continue;
    std::fprintf(ctx.out, "%-12s %8s  %s\n", e.name.c_str(), FileSizeText(e.size).c_str(),
                 FileTimeText(e.time).c_str());
  }
  s.store.EndFind();
  return kExitOk;
}

int put(Context& ctx, const std::vector<std::string>& args) {
  const std::string& local = args[0];
  const std::string& name = args[1];
  std::vector<uint8_t> data;
  if (!read_file(local, &data)) return kExitFailed;
  OpenStore s(ctx);
  if (!s.open || !s.writable()) return kExitFailed;
  if (!s.store.CreateFile(name)) {
    s.report("cannot create " + name);
    return kExitFailed;
  }
  for (size_t at = 0; at < data.size();) {
    uint32_t piece = uint32_t(std::min<size_t>(kPiece, data.size() - at));
    uint32_t n = s.store.Write(data.data() + at, piece);
    if (n != piece) {
      s.report(name + ": " + std::to_string(at + n) + " of " + std::to_string(data.size()) +
               " bytes written");
      s.store.CloseFile();
      s.store.DeleteFile(name, 0);  // a partial file is no copy
      return kExitFailed;
    }
    at += piece;
  }
  if (!s.store.CloseFile()) {
    s.report("cannot close " + name);
    s.store.DeleteFile(name, 0);
    return kExitFailed;
  }
  return kExitOk;
}

int get(Context& ctx, const std::vector<std::string>& args) {
  const std::string& name = args[0];
  const std::string& local = args[1];
  OpenStore s(ctx);
  if (!s.open) return kExitFailed;
  if (!s.store.OpenFile(name, 0)) {
    s.report("cannot open " + name);
    return kExitFailed;
  }
  std::vector<uint8_t> data;
  std::vector<uint8_t> piece(kPiece);
  for (;;) {
    uint32_t n = s.store.Read(piece.data(), kPiece);
    if (n == 0) break;
    data.insert(data.end(), piece.begin(), piece.begin() + n);
  }
  // A read that failed (rather than reaching the end) says why.
  if (!s.store.LastErrorText().empty()) {
    s.report("cannot read " + name);
    s.store.CloseFile();
    return kExitFailed;
  }
  s.store.CloseFile();
  return write_file(local, data.data(), data.size()) ? kExitOk : kExitFailed;
}

int remove(Context& ctx, const std::vector<std::string>& args) {
  OpenStore s(ctx);
  if (!s.open || !s.writable()) return kExitFailed;
  if (!s.store.DeleteFile(args[0], 1)) {
    s.report("cannot delete " + args[0]);
    return kExitFailed;
  }
  return kExitOk;
}

int format(Context& ctx, const std::vector<std::string>&) {
  if (!ctx.folder.empty()) throw UsageError("format works on the memory card only");
  if (!require_console(ctx)) return kExitFailed;
  BoundedRetryPrompter prompter(ctx.prompter);
  CCncFileStore store(ctx.itf, prompter);
  if (!store.CheckCard() || !store.CheckWritable()) return kExitFailed;
  if (prompter.ask(kStoreCaption, "Format OK?", moxel::Buttons::yes_no, moxel::Icon::question,
                   moxel::Answer::no) != moxel::Answer::yes)
    return kExitFailed;
  return store.FormatCard() ? kExitOk : kExitFailed;
}

int card_status(Context& ctx, const std::vector<std::string>&) {
  if (!require_console(ctx)) return kExitFailed;
  ctx.itf.Call(0x301, 0, 0, 0, 0, 1);
  const MailboxImage& m = ctx.itf.Image();
  static const char* const states[] = {"ready", "not attached", "battery alarm", "not ready"};
  std::fprintf(ctx.out, "card %s%s%s\n", states[m.o1 & 3], m.o1 == 4 ? ", write protected" : "",
               m.o2 == 1 ? ", flash type" : "");
  return kExitOk;
}

}  // namespace

std::vector<Command> file_commands() {
  return {
      {"files", "", "list the file store: name, size, local date and time", 0, 0, files},
      {"put", "LOCAL NAME", "copy a local file into the file store as NAME (a new file)", 2, 2, put},
      {"get", "NAME LOCAL", "copy NAME from the file store into a local file", 2, 2, get},
      {"delete", "NAME", "delete NAME from the file store", 1, 1, remove},
      {"format", "", "format the memory card (asks first unless --yes)", 0, 0, format},
      {"card-status", "", "the memory card's state: attached, battery, protect, flash", 0, 0,
       card_status},
  };
}

}  // namespace kestrel::cli
