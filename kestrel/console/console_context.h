#pragma once
// What the boot console's sequences share: the node's interface, the prompter for every question
// and message, the view that shows their progress, the current board, the naming value, where the
// files live, and the service-mode switch. The boot dialog (kestrel/ui) and kestrel-cli each build
// one and run the same sequences on it; nothing here knows about a window.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kestrel/cncitf/boot_records.h"
#include "kestrel/cncitf/cnc_itf.h"
#include "platform/prompter.h"

namespace kestrel {

// Where the node's files are kept ("Mcard", "Removable", "Folder" of the node's profile section).
struct StoreSettings {
  int mcard = 1;      // 1: the memory card in the CNC; 0: the PC folder
  int removable = 1;  // 1: the medium may be changed during a backup or restore
  std::string folder;
};

// How a sequence shows its progress. Every call comes from the thread that runs the sequence; a
// window forwards them to its GUI thread, kestrel-cli to stderr. The defaults show nothing.
class IConsoleView {
 public:
  virtual ~IConsoleView() = default;
  // The running log of backup and restore (the whole text each time).
  virtual void SetLog(const std::string& /*text*/) {}
  // The one-line status of a transfer ("Loading: NAME", "%d/%d" of Initialize; "" empties it).
  virtual void SetStatus(const std::string& /*text*/) {}
  // The progress bar: range 0 .. `range`, then positions in it.
  virtual void SetProgressRange(int /*range*/) {}
  virtual void SetProgress(int /*position*/) {}
  // Called between blocks of long work so the owner can process what is pending.
  virtual void Pump() {}
};

struct ConsoleContext {
  CCncItf& itf;
  moxel::Prompter& prompter;
  IConsoleView& view;
  BoardRecord board;             // the current board
  uint16_t naming_value = 1;     // O2 of function 0x002: chooses the backup file names
  StoreSettings store;
  // Read at each protection check: service mode may be switched while the console is open.
  std::function<bool()> service_mode = [] { return false; };
};

}  // namespace kestrel
