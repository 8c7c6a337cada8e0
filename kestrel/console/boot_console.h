#pragma once
// CBootConsole: the boot dialog of one node without its widgets. It holds the board table, the
// current board and tab, the F-ROM module list, the file-store listing and the node's file
// location, answers which buttons are shown and enabled, and runs the operations behind the
// buttons of the "System Data" and "File" tabs, the location settings, the link check and the
// closing calls. The boot dialog maps its controls onto these calls; kestrel-cli and the tests
// drive the same object with a console or scripted prompter.
//
// Every call runs on the node's own thread (the one that owns the node's CCncItf); the queries are
// cheap copies of what the last operation left. An interface fault leaves any call as CItfErr;
// HandleItfError shows it the way the console shows every such fault.
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "kestrel/boot/boot_profile.h"
#include "kestrel/cncitf/boot_records.h"
#include "kestrel/cncitf/itf_err.h"
#include "kestrel/console/console_context.h"
#include "platform/prompter.h"

namespace kestrel {

class CCncFileStore;

// The caption of every message box of the console.
constexpr const char* kConsoleCaption = "Kestrel32";
// Dialog results: the ordinary end ("&Close") and the end forced by a fatal fault or a refused start.
constexpr int kConsoleResultOk = 1;
constexpr int kConsoleResultFatal = 3;
// Offset of the PC flags word in the communication area; bit 0 is cleared when the console closes.
constexpr uint32_t kPcFlagsOffset = 0x04;

enum class ConsoleTab { system_data = 0, sram = 1, file = 2 };

// One of the five action buttons (1016 to 1020, left to right in that order).
struct ConsoleButton {
  std::string text;  // "" for a hidden button
  bool visible = false;
  bool enabled = false;
};

// One row of the File tab: name, "%dKB", local date and time.
struct FileRow {
  std::string name, size, date;
};

struct ConsoleOptions {
  int node = 0;
  // The profile whose "Node%d" section keeps the file location (default: the user's own file).
  CKestrelProfile profile;
  // Read each time the File tab is set up: list the file store at once (the -R switch clears it).
  std::function<bool()> auto_list = [] { return true; };
  // Where sysfs is mounted; tests point it at a fake tree.
  std::filesystem::path sysfs_root = "/sys";
};

// 1 when `folder` lies on a block device that the kernel marks removable (the partition's disk
// for a partition); 0 when it is on a fixed disk, on no block device (tmpfs, network, overlay) or
// does not exist.
int FolderOnRemovableDevice(const std::string& folder,
                            const std::filesystem::path& sysfs_root = "/sys");

// Shows an interface fault as the console shows every one, with caption "Kestrel32": code 0 its
// own text; code 1 nothing, but `link_lost` is called (the program pops its status window up);
// codes 2 to 8 their fixed texts with the stop icon.
void HandleItfError(const CItfErr& error, moxel::Prompter& prompter,
                    const std::function<void()>& link_lost = {});

class CBootConsole {
 public:
  // `ctx` (its interface, prompter, view) outlives the console. The node's file location is read
  // from the profile into ctx.store.
  CBootConsole(ConsoleContext& ctx, ConsoleOptions options);
  CBootConsole(const CBootConsole&) = delete;
  CBootConsole& operator=(const CBootConsole&) = delete;

  // --- start and boards ---
  // Function 0x002 (its O2 becomes the naming value), the board table of 0x004, the first board
  // selected and the System Data tab set up. kConsoleResultOk, or kConsoleResultFatal when 0x002
  // ended with a nonzero status (the console must not open). CItfErr on an interface fault; for
  // CNC types other than 3 the interface raises a refused 0x002 itself, as CItfErr code 0.
  int Start();
  const std::vector<BoardRecord>& Boards() const { return boards_; }
  // The combo box lines, one per board.
  std::vector<std::string> BoardLines() const;
  // -1 before Start or when the CNC lists no board.
  int CurrentBoard() const { return board_index_; }
  // Makes board `index` of the table current: function 0x005 with its number, ctx.board follows,
  // and the current tab is set up again. An index outside the table does nothing.
  void SelectBoard(int index);
  // The board with that number (-1: the first); false when the CNC lists no such board.
  bool SelectBoardNumber(int number);

  // --- tabs and what is enabled ---
  // Sets the tab up: System Data rebuilds the module list (and fixes whether "&Initialize" is
  // shown from the service mode at this moment), File lists the store when auto-list is on.
  void SetTab(ConsoleTab tab);
  ConsoleTab Tab() const { return tab_; }
  // The five action buttons of the current tab for the current board, module selection, memory
  // card flag and service mode.
  std::array<ConsoleButton, 5> Buttons() const;
  bool ServiceMode() const { return ctx_.service_mode(); }

  // --- System Data tab ---
  // Empties and rebuilds the module table (function 0x104; empty for a board without F-ROM).
  void ListModules();
  const std::vector<ModuleRecord>& Modules() const { return modules_; }
  // The list box lines "%.8s\t(%d)".
  std::vector<std::string> ModuleLines() const;
  // -1 for no selection; an index outside the list clears it.
  void SelectModule(int index);
  int SelectedModule() const { return module_index_; }
  // The index of the first module of that name (8 characters, blanks at the end ignored); -1.
  int FindModule(const std::string& name) const;
  // The check text of every block of the selected module, "%d %s\r\n" per block.
  std::string CheckText();
  // Delete of the selected module: "PROTECT FILE." for a protected module outside service mode,
  // "Delete OK?", the blocks erased from the first on, "Delete error." on the first failure; the
  // module list rebuilt after any erasing. True when every block was erased.
  bool DeleteModule();
  // Initialize of the whole F-ROM (service mode and a board with F-ROM only; false at once
  // otherwise): two questions with No as default, function 0x107, the PC's block-by-block erase
  // with "%d/%d" progress when the CNC asks for it, the closing message, the status emptied and
  // the module list rebuilt. True when the F-ROM was initialised.
  bool Initialize();

  // --- File tab ---
  // Lists the store ("*.*" without "." and ".."); a store that cannot be opened empties the list.
  void ListFiles();
  const std::vector<FileRow>& Files() const { return files_; }
  // Deletes the named files (for the memory card, not when it is write protected), then lists
  // again. True when every file was deleted.
  bool DeleteFiles(const std::vector<std::string>& names);
  // Formats the memory card after the card check (Retry/Cancel), the write-protection check and
  // "Format OK?" (No default), then lists again; a cancelled check or failed format empties the
  // list. True when the card was formatted.
  bool FormatCard();
  // Before Load: on the memory card, the card check (attached, battery; Retry or Cancel). True
  // when Load may go on (always for a PC folder).
  bool CheckCardForLoad();

  // --- location ---
  // Applies the location dialog's choice: the memory card (`on_card`) or the PC folder `folder`.
  // The removable flag becomes 1 for the card, else FolderOnRemovableDevice; "Mcard",
  // "Removable" and "Folder" are written to the node's section; the File tab is set up again when
  // it is current. False when the profile could not be written (ctx.store is set all the same).
  bool ApplyLocation(bool on_card, const std::string& folder);
  const StoreSettings& Store() const { return ctx_.store; }

  // --- link and close ---
  // The periodic link check: CItfErr code 1 when the link is down.
  void CheckLink();
  // The closing calls: 0x005 with 0, then 0x001; when 0x001 succeeded, bit 0 of the PC flags word
  // cleared. 0x001's status, or 0xFFFF when it failed or could not be made. Never throws.
  uint16_t Close();

 private:
  // Opens the node's store; false (and the list emptied) when it cannot be used.
  bool OpenStore(CCncFileStore& store);

  ConsoleContext& ctx_;
  ConsoleOptions options_;
  std::vector<BoardRecord> boards_;
  int board_index_ = -1;
  ConsoleTab tab_ = ConsoleTab::system_data;
  bool initialize_shown_ = false;
  std::vector<ModuleRecord> modules_;
  int module_index_ = -1;
  std::vector<FileRow> files_;
};

}  // namespace kestrel
