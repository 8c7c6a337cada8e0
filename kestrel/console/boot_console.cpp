#include "kestrel/console/boot_console.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <fstream>

#include "kestrel/cncitf/boot_func.h"
#include "kestrel/cncitf/file_store.h"
#include "kestrel/console/tables.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using moxel::Answer;
using moxel::Buttons;
using moxel::Icon;

constexpr const char* kMcard = "Mcard";
constexpr const char* kRemovable = "Removable";
constexpr const char* kFolder = "Folder";
constexpr const char* kDefaultFolder = "c:\\";

// The kernel's removable attribute of a sysfs block-device folder: 1, 0, or -1 when it has none.
int removable_attribute(const fs::path& dir) {
  std::ifstream in(dir / "removable");
  int value = 0;
  if (!(in >> value)) return -1;
  return value == 1 ? 1 : 0;
}

// A call whose status the caller examines: CItfErr when the interface was already unusable and
// nothing was asked.
void call(CCncItf& itf, uint16_t function, uint16_t i1 = 0) {
  if (itf.Call(function, i1, 0, 0, 0, 1) != 0) throw CItfErr(itf.ErrorState());
}

}  // namespace

int FolderOnRemovableDevice(const std::string& folder, const fs::path& sysfs_root) {
  struct stat st;
  if (folder.empty() || ::stat(folder.c_str(), &st) != 0) return 0;
  // /sys/dev/block/MAJ:MIN links to the device's folder; a file system without a block device
  // behind it (tmpfs, network, overlay) has an anonymous device number with no such link.
  const fs::path link = sysfs_root / "dev" / "block" /
                        (std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev)));
  std::error_code ec;
  const fs::path dir = fs::canonical(link, ec);
  if (ec) return 0;
  int removable = removable_attribute(dir);
  // A partition carries no removable attribute of its own: its disk, the folder above it, does.
  if (removable < 0 && fs::exists(dir / "partition", ec)) removable = removable_attribute(dir.parent_path());
  return removable == 1 ? 1 : 0;
}

void HandleItfError(const CItfErr& error, moxel::Prompter& prompter,
                    const std::function<void()>& link_lost) {
  switch (error.code()) {
    case 0:
      prompter.tell(kConsoleCaption, error.text(), Icon::exclamation);
      break;
    case 1:
      if (link_lost) link_lost();
      break;
    default:
      prompter.tell(kConsoleCaption, error.text(), Icon::stop);
      break;
  }
}

CBootConsole::CBootConsole(ConsoleContext& ctx, ConsoleOptions options)
    : ctx_(ctx), options_(std::move(options)) {
  const std::string section = CKestrelProfile::NodeSection(options_.node);
  ctx_.store.mcard = options_.profile.GetInt(section, kMcard, 1);
  ctx_.store.removable = options_.profile.GetInt(section, kRemovable, 1);
  ctx_.store.folder = options_.profile.GetString(section, kFolder, kDefaultFolder);
}

// --- start and boards ---

int CBootConsole::Start() {
  call(ctx_.itf, 0x002);
  if (ctx_.itf.Status() != 0) return kConsoleResultFatal;
  ctx_.naming_value = ctx_.itf.Image().o2;
  boards_ = ReadBoards(ctx_.itf);
  board_index_ = -1;
  tab_ = ConsoleTab::system_data;
  if (boards_.empty())
    SetTab(tab_);
  else
    SelectBoard(0);
  return kConsoleResultOk;
}

std::vector<std::string> CBootConsole::BoardLines() const {
  std::vector<std::string> lines;
  for (const BoardRecord& b : boards_) lines.push_back(board_line(b));
  return lines;
}

void CBootConsole::SelectBoard(int index) {
  if (index < 0 || size_t(index) >= boards_.size()) return;
  board_index_ = index;
  ctx_.board = boards_[size_t(index)];
  call(ctx_.itf, 0x005, ctx_.board.number);
  SetTab(tab_);
}

bool CBootConsole::SelectBoardNumber(int number) {
  for (size_t i = 0; i < boards_.size(); ++i) {
    if (number < 0 || boards_[i].number == number) {
      SelectBoard(int(i));
      return true;
    }
  }
  return false;
}

// --- tabs ---

void CBootConsole::SetTab(ConsoleTab tab) {
  tab_ = tab;
  switch (tab) {
    case ConsoleTab::system_data:
      initialize_shown_ = ctx_.service_mode();
      ListModules();
      break;
    case ConsoleTab::sram:
      break;
    case ConsoleTab::file:
      if (options_.auto_list()) ListFiles();
      break;
  }
}

std::array<ConsoleButton, 5> CBootConsole::Buttons() const {
  const bool from = ctx_.board.from_size > 0;
  const bool sram = ctx_.board.sram_size > 0;
  const bool module = module_index_ >= 0;
  auto shown = [](const char* text, bool enabled) { return ConsoleButton{text, true, enabled}; };
  switch (tab_) {
    case ConsoleTab::system_data:
      return {shown("&Load...", from), shown("&Save", module), shown("C&heck", module),
              shown("&Delete", module), ConsoleButton{"&Initialize", initialize_shown_, from}};
    case ConsoleTab::sram:
      return {shown("&Backup", sram), shown("&Restore", sram), {}, {}, {}};
    case ConsoleTab::file:
      return {shown("&Delete", true), shown("&Format", ctx_.store.mcard != 0), shown("&Refresh", true),
              {}, {}};
  }
  return {};
}

// --- System Data tab ---

void CBootConsole::ListModules() {
  modules_.clear();
  module_index_ = -1;
  if (board_index_ < 0 || ctx_.board.from_size == 0) return;
  modules_ = ReadModules(ctx_.itf);
}

std::vector<std::string> CBootConsole::ModuleLines() const {
  std::vector<std::string> lines;
  for (const ModuleRecord& m : modules_) lines.push_back(module_line(m));
  return lines;
}

void CBootConsole::SelectModule(int index) {
  module_index_ = index >= 0 && size_t(index) < modules_.size() ? index : -1;
}

int CBootConsole::FindModule(const std::string& name) const {
  auto trimmed = [](std::string s) {
    s.resize(std::min<size_t>(s.size(), 8));
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    return s;
  };
  const std::string wanted = trimmed(name);
  for (size_t i = 0; i < modules_.size(); ++i)
    if (trimmed(modules_[i].name) == wanted) return int(i);
  return -1;
}

std::string CBootConsole::CheckText() {
  if (module_index_ < 0) return {};
  const ModuleRecord& m = modules_[size_t(module_index_)];
  CBootFunc boot(ctx_.itf, &ctx_.prompter);
  std::string text;
  for (int i = 0; i < m.block_count; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "%d %s\r\n", i, boot.CheckText(m.first_block + i).c_str());
    text += line;
  }
  return text;
}

bool CBootConsole::DeleteModule() {
  if (module_index_ < 0) return false;
  const ModuleRecord m = modules_[size_t(module_index_)];
  if (m.protected_module && !ctx_.service_mode()) {
    ctx_.prompter.tell(kConsoleCaption, "PROTECT FILE.", Icon::exclamation);
    return false;
  }
  if (ctx_.prompter.ask(kConsoleCaption, "Delete OK?", Buttons::yes_no, Icon::question, Answer::yes) !=
      Answer::yes)
    return false;
  CBootFunc boot(ctx_.itf, &ctx_.prompter);
  bool erased = true;
  for (int i = 0; i < m.block_count; ++i) {
    if (!boot.EraseBlock(m.first_block + i)) {
      // An interface that a fault made unusable answers every call at once: that is the fault's,
      // not an erase that the CNC refused.
      if (ctx_.itf.ErrorState() != 0) throw CItfErr(ctx_.itf.ErrorState());
      ctx_.prompter.tell(kConsoleCaption, "Delete error.", Icon::exclamation);
      erased = false;
      break;
    }
  }
  ListModules();
  return erased;
}

bool CBootConsole::Initialize() {
  // The same rule as the button: service mode, and a board with F-ROM.
  if (!ctx_.service_mode() || ctx_.board.from_size == 0) return false;
  for (const char* question : {"Flash ROM initialize OK?", "ARE YOU SURE?"})
    if (ctx_.prompter.ask(kConsoleCaption, question, Buttons::yes_no, Icon::question, Answer::no) !=
        Answer::yes)
      return false;
  call(ctx_.itf, 0x107);
  const uint16_t status = ctx_.itf.Status();
  bool done = status == 0;
  if (status == 1) {
    // The CNC leaves the erasing to the PC, block by block.
    CBootFunc boot(ctx_.itf, &ctx_.prompter);
    const int blocks = int(ctx_.board.from_size / kFromBlockSize);
    done = true;
    for (int b = 0; b < blocks; ++b) {
      char progress[32];
      std::snprintf(progress, sizeof progress, "%d/%d", b + 1, blocks);
      ctx_.view.SetStatus(progress);
      if (!boot.EraseBlock(b)) {
        if (ctx_.itf.ErrorState() != 0) {
          ctx_.view.SetStatus("");
          throw CItfErr(ctx_.itf.ErrorState());
        }
        done = false;
        break;
      }
      ctx_.view.Pump();
    }
  }
  ctx_.prompter.tell(kConsoleCaption, done ? "Flash ROM initialize complete." : "Flash ROM erase error.",
                     done ? Icon::information : Icon::exclamation);
  if (status == 1) ctx_.view.SetStatus("");
  ListModules();
  return done;
}

// --- File tab ---

bool CBootConsole::OpenStore(CCncFileStore& store) {
  if (store.OpenStore(ctx_.store.mcard, ctx_.store.folder)) return true;
  files_.clear();
  return false;
}

void CBootConsole::ListFiles() {
  files_.clear();
  CCncFileStore store(ctx_.itf, ctx_.prompter);
  if (!OpenStore(store)) return;
  CFileEntry entry;
  for (int found = store.FindFirst("*.*", &entry); found; found = store.FindNext(&entry)) {
    if (entry.name == "." || entry.name == "..") continue;
    files_.push_back({entry.name, FileSizeText(entry.size), FileTimeText(entry.time)});
  }
  store.EndFind();
  store.CloseStore();
}

bool CBootConsole::DeleteFiles(const std::vector<std::string>& names) {
  bool all = true;
  {
    CCncFileStore store(ctx_.itf, ctx_.prompter);
    if (!OpenStore(store)) return false;
    if (store.IsOnCard() && !store.CheckWritable()) {
      store.CloseStore();
      return false;
    }
    for (const std::string& name : names)
      if (!store.DeleteFile(name, 1)) all = false;
    store.CloseStore();
  }
  ListFiles();
  return all;
}

bool CBootConsole::FormatCard() {
  if (!ctx_.store.mcard) return false;
  {
    CCncFileStore store(ctx_.itf, ctx_.prompter);
    if (!store.CheckCard()) {
      files_.clear();
      return false;
    }
    if (!store.CheckWritable()) return false;
    if (ctx_.prompter.ask(kConsoleCaption, "Format OK?", Buttons::yes_no, Icon::question, Answer::no) !=
        Answer::yes)
      return false;
    if (!store.FormatCard()) {
      files_.clear();
      return false;
    }
  }
  ListFiles();
  return true;
}

bool CBootConsole::CheckCardForLoad() {
  if (!ctx_.store.mcard) return true;
  return CCncFileStore(ctx_.itf, ctx_.prompter).CheckCard() == 1;
}

// --- location ---

bool CBootConsole::ApplyLocation(bool on_card, const std::string& folder) {
  ctx_.store.mcard = on_card ? 1 : 0;
  ctx_.store.folder = folder;
  ctx_.store.removable = on_card ? 1 : FolderOnRemovableDevice(folder, options_.sysfs_root);
  const std::string section = CKestrelProfile::NodeSection(options_.node);
  const CKestrelProfile& profile = options_.profile;
  const bool written = profile.SetInt(section, kMcard, ctx_.store.mcard) &&
                       profile.SetInt(section, kRemovable, ctx_.store.removable) &&
                       profile.SetString(section, kFolder, ctx_.store.folder);
  if (tab_ == ConsoleTab::file) SetTab(tab_);
  return written;
}

// --- link and close ---

void CBootConsole::CheckLink() {
  if (!ctx_.itf.CheckLink()) throw CItfErr(1);
}

uint16_t CBootConsole::Close() {
  CCncItf& itf = ctx_.itf;
  try {
    // The board selection ends with the console; whether the CNC took it matters no more.
    itf.Call(0x005, 0, 0, 0, 0, 1);
  } catch (const CItfErr&) {
  }
  try {
    if (itf.Call(0x001, 0, 0, 0, 0, 1) != 0) return 0xFFFF;
  } catch (const CItfErr&) {
    return 0xFFFF;
  }
  const uint16_t status = itf.Status();
  if (status == 0) {
    try {
      const uint32_t flags = itf.AreaBase() + kPcFlagsOffset;
      itf.WriteWord(flags, uint16_t(itf.ReadWord(flags) & ~1u));
    } catch (const CItfErr&) {
      // The CNC has left its console all the same; the flag stays for its next start.
    }
  }
  return status;
}

}  // namespace kestrel
