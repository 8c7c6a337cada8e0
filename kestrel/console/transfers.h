#pragma once
// The boot console's four transfers of whole data sets between the CNC and its file store: a load
// file into the F-ROM, an F-ROM module into a file, the SRAM into backup files and back. Each runs
// on the calling thread (the node's thread), shows its progress through the context's view and
// asks every question through the context's prompter. Interface faults leave as CItfErr; the
// caller ends the console as it does for any other call.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kestrel/cncitf/boot_records.h"
#include "kestrel/console/console_context.h"

namespace kestrel {

// Files are read and written in 32 KB pieces; a backup part is at most 512 KB.
constexpr uint32_t kFilePieceSize = 0x8000;
constexpr uint32_t kBackupPartLimit = 0x80000;

// ---- SRAM backup files ----

// The size of each backup part: 512 KB, or the whole SRAM when that is smaller.
uint32_t BackupPartSize(uint32_t sram_size);
// The file name of part `part` (from 0): "FILE%d.%s" for naming value 0, else "SRAM%d%c.%s" below
// 512 KB and "SRAM%.1f%c.%s" (with its sixth character made "_") from 512 KB.
std::string BackupFileName(uint16_t naming_value, uint32_t sram_size, const std::string& extension,
                           int part);
// Every part's file name for the context's board and naming value, in address order.
std::vector<std::string> BackupFileNames(const ConsoleContext& ctx);

// How a whole backup or restore ended.
enum class TransferOutcome {
  done,      // every part written / read
  declined,  // the first question was answered No: nothing done
  failed,    // ended early (the log and the messages say why)
};

// "&Backup": asks "Backup SRAM data OK?", then writes every part, with the log lines and the
// questions to change the medium. In a PC folder each part replaces the old file only once it is
// complete and synced; on the memory card the old file is deleted before the new one is created.
TransferOutcome BackupSram(ConsoleContext& ctx);
// "&Restore": asks "Restore SRAM data OK?", then writes every part's file into the SRAM. A part
// file shorter than its part ends the restore with " -> FAIL" and a message giving the missing
// bytes; the blocks written before stay written.
TransferOutcome RestoreSram(ConsoleContext& ctx);

// Reads the SRAM again and compares it with the backup files in the store. true when every part
// file holds exactly what the SRAM holds; otherwise false with the first difference in *why.
bool VerifySramBackup(ConsoleContext& ctx, std::string* why);

// ---- Load of F-ROM modules ----

// Loads one store file into the F-ROM: "Loading: NAME" in the status, the header check of the
// board, the erase of an older module of the same name at another place, the blocks (0xFF padded,
// split byte by byte for an interleaved module) with progress 0 .. block count x 5. `modules` is
// the current F-ROM directory. true when every block was written.
bool LoadModuleFile(ConsoleContext& ctx, const std::vector<ModuleRecord>& modules,
                    const std::string& file);
// Loads `files` in order, reading the directory again before each and emptying the status and
// progress after each (as the load dialog does). The number of files loaded.
int LoadModuleFiles(ConsoleContext& ctx, const std::vector<std::string>& files);

// ---- Save of an F-ROM module ----

struct SavePlan {
  ModuleRecord module;
  std::string source;  // the module's list line up to the tab, right-trimmed ("From:")
  std::string target;  // "%s.%03d" of the first free number ("To:")
};

// What the copy dialog does on opening: nothing for no module; "PROTECT FILE." for a protected
// module outside service mode; the first free target name 0..31, or "Max file extention
// over.\nDelete backup files." when all exist. Empty when the save cannot go on.
std::optional<SavePlan> PrepareSave(ConsoleContext& ctx, const ModuleRecord* module);
// OK of the copy dialog: writes the module's header (read from the CNC, or synthesised) and its
// data (merged byte by byte for an interleaved module without the plain-copy flag) into the
// target file, progress 0 .. block count x 5 + 1. A short write or a failed close shows the
// full-medium message and deletes the partial file. true when the file is complete.
bool SaveModule(ConsoleContext& ctx, const SavePlan& plan);

}  // namespace kestrel
