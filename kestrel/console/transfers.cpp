#include "kestrel/console/transfers.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "kestrel/cncitf/boot_func.h"
#include "kestrel/cncitf/file_store.h"
#include "kestrel/console/tables.h"

namespace kestrel {
namespace {

using moxel::Answer;
using moxel::Buttons;
using moxel::Icon;

constexpr const char* kCaption = "Kestrel32";

void Tell(ConsoleContext& ctx, const std::string& text, Icon icon = Icon::exclamation) {
  ctx.prompter.tell(kCaption, text, icon);
}

bool AskYes(ConsoleContext& ctx, const std::string& text) {
  return ctx.prompter.ask(kCaption, text, Buttons::yes_no, Icon::question, Answer::yes) == Answer::yes;
}

std::string FullMediumText(const ConsoleContext& ctx) {
  return ctx.store.mcard ? "Memory card is full." : "Disk is full.";
}

std::string ChangeMediumText(const ConsoleContext& ctx) {
  return ctx.store.mcard ? "Change memory card then continue?" : "Change disk then continue?";
}

std::string FileNotFoundText(const std::string& name) {
  return "File " + name + " not found.";
}

// The message after a file could not be created: the card that cannot be used, else a full medium.
void TellCreateFailure(ConsoleContext& ctx, const CCncFileStore& store) {
  if (store.IsOnCard() && store.LastCardError() == kCardNotAvailable)
    Tell(ctx, "Memory card is not available.\nChenge memory card.");
  else
    Tell(ctx, FullMediumText(ctx));
}

bool OpenStore(ConsoleContext& ctx, CCncFileStore& store) {
  return store.OpenStore(ctx.store.mcard, ctx.store.folder) != 0;
}

bool FileExists(CCncFileStore& store, const std::string& name) {
  CFileEntry entry;
  const bool found = store.FindFirst(name, &entry) != 0;
  store.EndFind();
  return found;
}

// SRAM blocks of a part of `length` bytes (the last one may be partly the part's).
uint32_t BlockCount(uint32_t length) { return (length + kSramBlockSize - 1) / kSramBlockSize; }

// Reads up to `length` bytes, going on after short reads; the bytes read.

uint32_t ReadFull(CCncFileStore& store, uint8_t* buffer, uint32_t length) {
  uint32_t done = 0;
  while (done < length) {
    const uint32_t got = store.Read(buffer + done, length - done);
    if (got == 0) break;
    done += got;
  }
  return done;
}

// One backup part: its file and the SRAM bytes it holds.
struct Part {
  std::string name;
  uint32_t offset, length;
};

std::vector<Part> Parts(const ConsoleContext& ctx) {
  const uint32_t sram = ctx.board.sram_size, size = BackupPartSize(sram);
  std::vector<Part> parts;
  for (const std::string& name : BackupFileNames(ctx)) {
    const uint32_t offset = uint32_t(parts.size()) * size;
    parts.push_back({name, offset, std::min(size, sram - offset)});
  }
  return parts;
}

// ---- backup ----

enum PartResult { kPartDone = 1, kPartNoStore = 2, kPartFailed = 4 };

int WritePart(ConsoleContext& ctx, const std::string& name, uint32_t offset, uint32_t length,
              bool first_part) {
  CCncFileStore store(ctx.itf, ctx.prompter);
  if (!OpenStore(ctx, store)) return kPartNoStore;
  const bool card = store.IsOnCard();
  if (card && !store.CheckWritable()) return kPartFailed;
  if (FileExists(store, name)) {
    if (card && store.IsFlashCard()) {
      Tell(ctx, "Couldn't overwrite.\nThis is a flash type memory card.\nFormat the memory card.");
      return kPartFailed;
    }
    if (first_part && !AskYes(ctx, "Backup file overwrite OK?")) return kPartFailed;
    // The card has no rename: the old file goes first. In a folder the old file stays until the
    // new one is complete.
    if (card) store.DeleteFile(name, 0);
  }
  if (!(card ? store.CreateFile(name) : store.CreateReplacement(name))) {
    TellCreateFailure(ctx, store);
    return kPartFailed;
  }
  CBootFunc boot(ctx.itf, &ctx.prompter);
  bool written = true;
  boot.ReadSramBlocks(ctx.board.sram_code, int(offset / kSramBlockSize), int(BlockCount(length)), !card,
                      [&](const uint8_t* block) {
                        written = store.Write(block, kSramBlockSize) == kSramBlockSize;
                        if (written) ctx.view.Pump();
                        return written;
                      });
  if (!written) {
    Tell(ctx, FullMediumText(ctx));
    store.CloseFile();  // in a folder this drops the unfinished replacement
    if (card) store.DeleteFile(name, 0);
    return kPartFailed;
  }
  if (!store.CloseFile()) {
    Tell(ctx, FullMediumText(ctx));
    if (card) store.DeleteFile(name, 0);
    return kPartFailed;
  }
  return kPartDone;
}

// ---- restore ----

enum class ReadOutcome { done, no_store, no_file, short_file };

// Writes the part file `name` into the SRAM from `offset`, at most `length` bytes. A short file
// leaves the blocks it filled written and reports the bytes it lacked in *missing.
ReadOutcome ReadPart(ConsoleContext& ctx, const std::string& log, const std::string& name,
                     uint32_t offset, uint32_t length, uint32_t* missing) {
  CCncFileStore store(ctx.itf, ctx.prompter);
  if (!OpenStore(ctx, store)) return ReadOutcome::no_store;
  if (!store.OpenFile(name, 0)) return ReadOutcome::no_file;
  ctx.view.SetLog(log + name + " -> READING");
  CBootFunc boot(ctx.itf, &ctx.prompter);
  // `at`: the bytes of the part filled so far; the blocks before it are written or on their way.
  uint32_t at = 0;
  boot.WriteSramBlocks(ctx.board.sram_code, int(offset / kSramBlockSize), int(BlockCount(length)),
                       !store.IsOnCard(), [&](uint8_t* block) {
                         if (at > 0) ctx.view.Pump();
                         const uint32_t got = ReadFull(store, block, kSramBlockSize);
                         at += got;
                         return got == kSramBlockSize;
                       });
  store.CloseFile();
  if (at < length) {
    *missing = length - at;
    return ReadOutcome::short_file;
  }
  return ReadOutcome::done;
}

// ---- load ----

std::string Upper(std::string text) {
  for (char& c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The first module of the list whose line begins with `name` (as the list shows names, at most 8
// characters of it, ignoring case).
const ModuleRecord* FindModule(const std::vector<ModuleRecord>& modules, const std::string& name) {
  const std::string key = Upper(name.substr(0, 8));
  if (key.empty()) return nullptr;
  for (const ModuleRecord& m : modules)
    if (Upper(module_line(m)).starts_with(key)) return &m;
  return nullptr;
}

// Reads one 32 KB piece into `at`, padding what the file lacks with 0xFF.
void ReadPiece(CCncFileStore& store, uint8_t* at) {
  const uint32_t got = ReadFull(store, at, kFilePieceSize);
  std::fill(at + got, at + kFilePieceSize, uint8_t(0xFF));
}

bool LoadData(ConsoleContext& ctx, CCncFileStore& store, int first, int count, bool interleaved) {
  CBootFunc boot(ctx.itf, &ctx.prompter);
  int position = 0;
  auto step = [&] { ctx.view.SetProgress(++position); };
  auto write = [&](int block, const uint8_t* data) {
    if (boot.WriteBlock(block, data) == 1) {
      step();
      return true;
    }
    Tell(ctx, "Flash ROM write error.");
    return false;
  };
  ctx.view.SetProgressRange(count * 5);
  if (!interleaved) {
    std::vector<uint8_t> block(kFromBlockSize);
    for (int b = 0; b < count; ++b) {
      for (uint32_t piece = 0; piece < kFromBlockSize; piece += kFilePieceSize) {
        ReadPiece(store, block.data() + piece);
        step();
      }
      if (!write(first + b, block.data())) return false;
      ctx.view.Pump();
    }
    return true;
  }
  std::vector<uint8_t> pair(2 * kFromBlockSize), a(kFromBlockSize), b(kFromBlockSize);
  for (int n = 0; n < count; n += 2) {
    for (uint32_t piece = 0; piece < pair.size(); piece += kFilePieceSize) {
      ReadPiece(store, pair.data() + piece);
      step();
    }
    for (uint32_t i = 0; i < kFromBlockSize; ++i) {
      a[i] = pair[2 * i];
      b[i] = pair[2 * i + 1];
    }
    if (!write(first + n, a.data()) || !write(first + n + 1, b.data())) return false;
    ctx.view.Pump();
  }
  return true;
}

// ---- save ----

bool WriteAll(CCncFileStore& store, const uint8_t* data, uint32_t length) {
  return store.Write(data, length) == length;
}

}  // namespace

uint32_t BackupPartSize(uint32_t sram_size) { return std::min(sram_size, kBackupPartLimit); }

std::string BackupFileName(uint16_t naming_value, uint32_t sram_size, const std::string& extension,
                           int part) {
  char name[64];
  if (naming_value == 0) {
    std::snprintf(name, sizeof name, "FILE%d.%s", part + 1, extension.c_str());
  } else if (sram_size < kBackupPartLimit) {
    std::snprintf(name, sizeof name, "SRAM%d%c.%s", int(sram_size / 1024), char('A' + part),
                  extension.c_str());
  } else {
    std::snprintf(name, sizeof name, "SRAM%.1f%c.%s", sram_size / (1024.0 * 1024.0),
                  char('A' + part), extension.c_str());
    name[5] = '_';
  }
  return name;
}

std::vector<std::string> BackupFileNames(const ConsoleContext& ctx) {
  std::vector<std::string> names;
  const uint32_t part = BackupPartSize(ctx.board.sram_size);
  int k = 0;
  for (uint32_t offset = 0; part > 0 && offset < ctx.board.sram_size; offset += part, ++k)
    names.push_back(BackupFileName(ctx.naming_value, ctx.board.sram_size, ctx.board.extension, k));
  return names;
}

TransferOutcome BackupSram(ConsoleContext& ctx) {
  if (!AskYes(ctx, "Backup SRAM data OK?")) return TransferOutcome::declined;
  const std::vector<Part> parts = Parts(ctx);
  std::string log;
  for (const Part& p : parts) {
    for (;;) {
      ctx.view.SetLog(log + p.name + " -> WRITING ");
      const int result = WritePart(ctx, p.name, p.offset, p.length, &p == &parts.front());
      if (result == kPartDone) {
        log += p.name + " -> COMPLETE\n";
        ctx.view.SetLog(log);
        break;
      }
      ctx.view.SetLog(log + p.name + " -> FAIL");
      // A store that cannot be opened has said why (and a card has had its own Retry/Cancel
      // question): the backup ends. A failed part on a removable medium may be written again.
      if (!(result != kPartNoStore && ctx.store.removable && AskYes(ctx, ChangeMediumText(ctx))))
        return TransferOutcome::failed;
    }
  }
  return TransferOutcome::done;
}

TransferOutcome RestoreSram(ConsoleContext& ctx) {
  if (!AskYes(ctx, "Restore SRAM data OK?")) return TransferOutcome::declined;
  std::string log;
  for (const Part& p : Parts(ctx)) {
    for (;;) {
      ctx.view.SetLog(log + p.name);
      uint32_t missing = 0;
      const ReadOutcome result = ReadPart(ctx, log, p.name, p.offset, p.length, &missing);
      if (result == ReadOutcome::done) {
        log += p.name + " -> COMPLETE\n";
        ctx.view.SetLog(log);
        break;
      }
      if (result == ReadOutcome::no_store) return TransferOutcome::failed;
      ctx.view.SetLog(log + p.name + " -> FAIL");
      if (result == ReadOutcome::short_file) {
        Tell(ctx, "File " + p.name + " is " + std::to_string(missing) +
                      " bytes shorter than its part of the SRAM (" + std::to_string(p.length) +
                      " bytes).\nThe SRAM was restored only up to the end of the file.");
        return TransferOutcome::failed;
      }
      if (!ctx.store.removable) {
        Tell(ctx, FileNotFoundText(p.name));
        return TransferOutcome::failed;
      }
      if (!AskYes(ctx, FileNotFoundText(p.name) + "\n" + ChangeMediumText(ctx)))
        return TransferOutcome::failed;
    }
  }
  return TransferOutcome::done;
}

bool VerifySramBackup(ConsoleContext& ctx, std::string* why) {
  CCncFileStore store(ctx.itf, ctx.prompter);
  if (!OpenStore(ctx, store)) {
    *why = "the file store cannot be opened: " + store.LastErrorText();
    return false;
  }
  CBootFunc boot(ctx.itf, &ctx.prompter);
  std::vector<uint8_t> file_block(kSramBlockSize);
  for (const auto& [name, offset, length] : Parts(ctx)) {
    if (!store.OpenFile(name, 0)) {
      *why = name + ": cannot be opened";
      return false;
    }
    uint32_t at = 0;  // the bytes of the part compared so far
    bool same = true;
    boot.ReadSramBlocks(ctx.board.sram_code, int(offset / kSramBlockSize), int(BlockCount(length)),
                        !store.IsOnCard(), [&](const uint8_t* sram_block) {
                          const uint32_t got = ReadFull(store, file_block.data(), kSramBlockSize);
                          if (got < kSramBlockSize) {
                            *why = name + ": ends at byte " + std::to_string(at + got) + " of " +
                                   std::to_string(length);
                            return same = false;
                          }
                          const auto diff = std::mismatch(sram_block, sram_block + kSramBlockSize,
                                                          file_block.begin());
                          if (diff.first != sram_block + kSramBlockSize) {
                            char text[160];
                            std::snprintf(text, sizeof text, "%s: byte %u holds %02x, the SRAM %02x",
                                          name.c_str(), unsigned(at + (diff.first - sram_block)),
                                          *diff.second, *diff.first);
                            *why = text;
                            return same = false;
                          }
                          at += kSramBlockSize;
                          ctx.view.Pump();
                          return true;
                        });
    if (!same) {
      store.CloseFile();
      return false;
    }
    uint8_t extra = 0;
    const bool longer = store.Read(&extra, 1) != 0;
    store.CloseFile();
    if (longer) {
      *why = name + ": longer than its " + std::to_string(length) + " bytes";
      return false;
    }
  }
  return true;
}

bool LoadModuleFile(ConsoleContext& ctx, const std::vector<ModuleRecord>& modules,
                    const std::string& file) {
  ctx.view.SetStatus("Loading: " + file);
  CCncFileStore store(ctx.itf, ctx.prompter);
  if (!OpenStore(ctx, store)) return false;
  std::vector<uint8_t> header(kLoadHeaderSize);
  if (!store.OpenFile(file, 0)) {
    Tell(ctx, "File read error.");
    return false;
  }
  const uint32_t got = ReadFull(store, header.data(), kLoadHeaderSize);
  store.CloseFile();
  if (got < kLoadHeaderSize) {
    Tell(ctx, "File read error.");
    return false;
  }
  CBootFunc boot(ctx.itf, &ctx.prompter);
  int first = 0, count = 0, interleaved = 0;
  std::string name;
  if (!boot.AnnounceLoadFile(header.data(), &first, &count, &interleaved, &name)) return false;
  if (const ModuleRecord* old = FindModule(modules, name); old && old->first_block != first) {
    for (int b = old->first_block; b < old->first_block + old->block_count; ++b) {
      if (boot.EraseBlock(b) != 1) {
        Tell(ctx, "Delete error.");
        return false;
      }
    }
  }
  if (!store.OpenFile(file, 0) || ReadFull(store, header.data(), kModuleHeaderSize) < kModuleHeaderSize) {
    store.CloseFile();
    Tell(ctx, "File read error.");
    return false;
  }
  const bool loaded = LoadData(ctx, store, first, count, interleaved != 0);
  store.CloseFile();
  return loaded;
}

int LoadModuleFiles(ConsoleContext& ctx, const std::vector<std::string>& files) {
  int loaded = 0;
  for (const std::string& file : files) {
    if (LoadModuleFile(ctx, ReadModules(ctx.itf), file)) ++loaded;
    ctx.view.SetProgress(0);
    ctx.view.SetStatus("");
  }
  return loaded;
}

std::optional<SavePlan> PrepareSave(ConsoleContext& ctx, const ModuleRecord* module) {
  if (!module) return std::nullopt;
  if (module->protected_module && !ctx.service_mode()) {
    Tell(ctx, "PROTECT FILE.");
    return std::nullopt;
  }
  CCncFileStore store(ctx.itf, ctx.prompter);
  if (!OpenStore(ctx, store)) return std::nullopt;
  SavePlan plan{*module, module_line(*module), {}};
  plan.source = plan.source.substr(0, plan.source.find('\t'));
  while (!plan.source.empty() && std::isspace(static_cast<unsigned char>(plan.source.back())))
    plan.source.pop_back();
  std::string base = plan.source.substr(0, plan.source.find('.'));
  std::replace(base.begin(), base.end(), ' ', '_');
  for (int n = 0; n < 32; ++n) {
    char target[64];
    std::snprintf(target, sizeof target, "%s.%03d", base.c_str(), n);
    if (!FileExists(store, target)) {
      plan.target = target;
      return plan;
    }
  }
  Tell(ctx, "Max file extention over.\nDelete backup files.");
  return std::nullopt;
}

bool SaveModule(ConsoleContext& ctx, const SavePlan& plan) {
  CCncFileStore store(ctx.itf, ctx.prompter);
  if (!OpenStore(ctx, store)) return false;
  if (store.IsOnCard() && !store.CheckWritable()) return false;
  if (!store.CreateFile(plan.target)) {
    TellCreateFailure(ctx, store);
    return false;
  }
  const ModuleRecord& m = plan.module;
  CBootFunc boot(ctx.itf, &ctx.prompter);
  auto fail = [&] {
    Tell(ctx, FullMediumText(ctx));
    store.CloseFile();
    store.DeleteFile(plan.target, 0);
    return false;
  };
  uint8_t header[kModuleHeaderSize];
  if (!boot.ModuleHeader(m.first_block, header)) {
    std::memset(header, 0, sizeof header);
    std::memcpy(header, "MOXELROM", 8);
    std::memcpy(header + 58, m.interleaved ? "01" : "00", 2);
  }
  if (!WriteAll(store, header, kModuleHeaderSize)) return fail();
  int position = 1;
  ctx.view.SetProgressRange(m.block_count * 5 + 1);
  ctx.view.SetProgress(position);
  auto write_pieces = [&](const uint8_t* data, uint32_t length) {
    for (uint32_t at = 0; at < length; at += kFilePieceSize) {
      ctx.view.SetProgress(++position);
      if (!WriteAll(store, data + at, kFilePieceSize)) return false;
    }
    return true;
  };
  if (!m.interleaved || m.plain_copy) {
    std::vector<uint8_t> block(kFromBlockSize);
    for (int b = 0; b < m.block_count; ++b) {
      boot.ReadBlock(m.first_block + b, block.data());
      if (!write_pieces(block.data(), kFromBlockSize)) return fail();
      ctx.view.Pump();
    }
  } else {
    std::vector<uint8_t> a(kFromBlockSize), b(kFromBlockSize), merged(2 * kFromBlockSize);
    for (int n = 0; n < m.block_count; n += 2) {
      boot.ReadBlockPair(m.first_block + n, a.data(), b.data());
      for (uint32_t i = 0; i < kFromBlockSize; ++i) {
        merged[2 * i] = a[i];
        merged[2 * i + 1] = b[i];
      }
      if (!write_pieces(merged.data(), uint32_t(merged.size()))) return fail();
      ctx.view.Pump();
    }
  }
  if (!store.CloseFile()) {
    Tell(ctx, FullMediumText(ctx));
    store.DeleteFile(plan.target, 0);
    return false;
  }
  return true;
}

}  // namespace kestrel
