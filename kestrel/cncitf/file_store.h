#pragma once
// CCncFileStore: where the boot console keeps system files and SRAM backups, either the memory card
// in the CNC (every operation a CNC function call, data through the transfer buffer) or a folder on
// the PC, behind one small file interface. Questions and messages go through the prompter.
//
// Card paths are "A:\" + name, as the CNC's file system wants them. A folder is a Linux folder: its
// root ends with "/", and a name never leaves it ("..", "/" and "\" inside a name are refused).
// Reads and writes in a folder loop over short transfers and report the bytes really moved; a
// folder file written for writing is synced before Close file reports success. For backups that
// must never lose the good copy, CreateReplacement writes a new file under a temporary name and
// puts it in place of the old one only once it is complete and synced.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kestrel/cncitf/card_channel.h"
#include "kestrel/cncitf/cnc_itf.h"
#include "platform/prompter.h"

namespace kestrel {

// One entry of a listing.
struct CFileEntry {
  std::string name;
  // Last-write time (UTC); empty when the card's date and time words are not a valid date.
  std::optional<std::chrono::system_clock::time_point> time;
  uint64_t size = 0;
};

// The 43-byte search record of the card (the DOS find record) and what a caller gets from it.
constexpr size_t kCardEntrySize = 43;
CFileEntry DecodeCardEntry(const uint8_t* entry);
// A DOS date and time (local time, two-second resolution) as UTC; empty when not a valid date.
std::optional<std::chrono::system_clock::time_point> DosTimeToUtc(uint16_t date, uint16_t time);

// Listing texts of the boot console's File tab: "%dKB" with a remainder counting as one more KB,
// and the local date and time in the user's locale ("" when there is no time).
std::string FileSizeText(uint64_t size);
std::string FileTimeText(const std::optional<std::chrono::system_clock::time_point>& time);

// Error detail of a card that cannot be used (function 0x42B, and a create on such a card).
constexpr uint32_t kCardNotAvailable = 0x2002F;
// Error detail of function 0x42C for a card that is not formatted.
constexpr uint32_t kCardNotFormatted = 35;
// The most one card read or write moves: the transfer buffer's block.
constexpr uint32_t kCardTransferLimit = 0x40000;
// Caption of the store's message boxes.
constexpr const char* kStoreCaption = "Kestrel32";

class CCncFileStore {
 public:
  // `itf` is the dialog's CNC interface; not owned, used only for the memory card. Failures of the
  // store's card calls leave as CItfErr.
  explicit CCncFileStore(CCncItf& itf, moxel::Prompter& prompter = moxel::prompter());
  // The same over any channel to the card's functions (tests).
  explicit CCncFileStore(CCardChannel& channel, moxel::Prompter& prompter = moxel::prompter());
  ~CCncFileStore();
  CCncFileStore(const CCncFileStore&) = delete;
  CCncFileStore& operator=(const CCncFileStore&) = delete;

  // 1 when the card is ready; 0 when the operator cancelled (each not-ready state asks Retry or
  // Cancel).
  int CheckCard();
  // 0, after a message, when the card is write protected; else 1.
  int CheckWritable();
  int IsFlashCard();

  // 1, or 0 when the store cannot be used (card not ready or not formatted, folder missing).
  int OpenStore(int on_card, const std::string& folder);
  void CloseStore();

  // Creation fails when the file exists.
  int CreateFile(const std::string& name);
  // Folder only: a new file that takes the place of `name` (existing or not) when Close file
  // succeeds after every write moved all its bytes; until then the old file is untouched. Close
  // file then reports 0 and leaves the old file; so does destroying the store with it open.
  int CreateReplacement(const std::string& name);
  int OpenFile(const std::string& name, int for_writing);
  int CloseFile();

  // Bytes moved; 0 on failure. A card transfer is at most kCardTransferLimit bytes.
  uint32_t Read(uint8_t* buffer, uint32_t length);
  uint32_t Write(const uint8_t* buffer, uint32_t length);

  // Lists files (not folders) matching `pattern` ("*.*" is every file).
  int FindFirst(const std::string& pattern, CFileEntry* entry);
  int FindNext(CFileEntry* entry);
  void EndFind();

  int DeleteFile(const std::string& name, int show_messages);
  int FormatCard();

  // O4 of the last function call while the store is open on the card, else 0.
  uint32_t LastCardError() const;
  // Why the last operation failed, for programs that report in text (empty when it did not fail).
  const std::string& LastErrorText() const { return error_text_; }

  bool IsStoreOpen() const { return store_open_; }
  bool IsOnCard() const { return on_card_; }
  const std::string& Root() const { return root_; }

 private:
  void Tell(const std::string& text, moxel::Icon icon = moxel::Icon::exclamation);
  int Fail(const std::string& why);
  // Writes `text` with its NUL to the transfer buffer at `offset` from its base.
  void PutString(const std::string& text, uint32_t offset = 0);
  // Card call with wait; the result's status.
  uint16_t CardCall(uint16_t function, uint16_t i1 = 0, uint32_t i3 = 0, uint32_t i4 = 0);
  // The card identifier and preparation (0x302, 0x401, 0x402), then `function` with I1 = the card
  // and `text` in the transfer buffer; its status. *prepared stays false when the identifier
  // could not be read.
  uint16_t PreparedCardCall(uint16_t function, const char* text, bool* prepared);
  // The folder path of a name; empty (with the reason recorded) when the name would leave it.
  std::string FolderPath(const std::string& name);
  int OpenFolderFile(const std::string& name, int flags, bool for_writing);
  int CardOpen(const std::string& name, uint16_t function, uint16_t i1, bool for_writing);
  uint32_t CardWrite(const uint8_t* buffer, uint32_t length);
  int FolderFindNext(CFileEntry* entry);
  int CardFound(CFileEntry* entry);
  // Removes an unfinished replacement without touching the file it was to replace.
  void DropReplacement();

  std::unique_ptr<CCardChannel> own_channel_;
  CCardChannel& channel_;
  moxel::Prompter& prompter_;
  bool store_open_ = false;
  bool on_card_ = false;
  bool file_open_ = false;
  bool write_mode_ = false;
  int fd_ = -1;               // folder file
  uint16_t card_file_ = 0;    // card file handle
  std::string root_;
  uint16_t card_ = 0;
  uint8_t card_entry_[kCardEntrySize] = {};
  // Folder search: the matching file names, and the next to look at.
  std::vector<std::string> found_;
  size_t found_next_ = 0;
  // Folder replacement in progress: the temporary file, the name it replaces, and whether every
  // write so far moved all its bytes.
  std::string temp_path_, final_path_;
  bool writes_complete_ = true;
  std::string error_text_;
};

}  // namespace kestrel
