#pragma once
// The memory card in a simulated CNC: a DOS-like file system that the CNC's boot software keeps on
// the card and serves to the PC through its mailbox functions (card status, identifier, volume
// open and close, format, create, open, close, read, write, delete, find first and find next).
//
// The card is a folder, "card" in the node's state folder: one host file per card file, named in
// upper-case 8.3 form; its time stamp is the file's modification time, its attributes follow the
// host file (0x10 folder, 0x01 not writable, else 0x20 archive). The volume label lives beside it
// in "card.label"; a card without a label file is unformatted. What the card's hardware decides
// (inserted, battery, protect switch, flash type, capacity, open-file limit) comes from the
// node's settings and can be changed at run time, as a test or an operator pulls the card.
//
// Every member is safe to call from any thread.
#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <span>
#include <string>

#include "platform/config_store.h"

namespace cncsim {

// Error details the card functions report (status 1, the detail in the error word and in O4).
// The numbers are those of DOS where DOS has one.
enum CardError : uint32_t {
  kCardOk = 0,
  kCardNotFound = 2,        // no such file
  kCardPathNotFound = 3,    // a folder in the path does not exist
  kCardTooManyOpen = 4,     // the open-file limit is reached
  kCardAccessDenied = 5,    // read-only file, flash card delete, folder, wrong open mode
  kCardBadHandle = 6,       // not an open file (also every handle of a pulled card)
  kCardNotMounted = 15,     // the volume is not open
  kCardNoMoreFiles = 18,    // find: no further match
  kCardWriteProtected = 19,
  kCardNotReady = 21,       // no card in the slot
  kCardNotFormatted = 35,
  kCardFull = 39,
  kCardExists = 80,
  kCardBadParameter = 87,   // a transfer outside the shared memory, a bad card number
  kCardBadName = 123,       // not an 8.3 name
  kCardUnavailable = 0x2002F,  // the card cannot be formatted
};

// Per-node card settings, from section [Simulator] of lorand.conf (stem + decimal node number).
struct CardSettings {
  bool inserted = true;           // CardInserted<n>
  bool battery_alarm = false;     // CardBatteryAlarm<n>
  bool protect = false;           // CardProtect<n>: the write-protect switch
  bool flash = false;             // CardFlash<n>: a flash card (files are not deleted one by one)
  uint32_t capacity = 2u << 20;   // CardCapacity<n>, bytes (whole clusters of 512 bytes count)
  uint32_t max_open = 4;          // CardMaxOpen<n>: files open at once

  static CardSettings from_config(const moxel::ConfigData& config, uint32_t node);
};

// What a card function answers: status 0, or 1 with the detail; outputs O1 to O3.
struct CardResult {
  uint32_t error = kCardOk;
  uint16_t o1 = 0, o2 = 0;
  uint32_t o3 = 0;
  bool ok() const { return error == kCardOk; }
};

constexpr size_t kFindEntrySize = 43;
using FindEntry = std::array<uint8_t, kFindEntrySize>;
constexpr uint32_t kClusterSize = 512;
// The card identifier that function 0x302 answers and the volume functions expect.
constexpr uint16_t kCardId = 1;

class MemoryCard {
 public:
  // `node_dir` is the node's state folder (the card goes into node_dir/card); empty keeps the card
  // in a private temporary folder removed with the object. A warning is left in *warning when the
  // folder cannot be used.
  MemoryCard(const std::filesystem::path& node_dir, const CardSettings& settings,
             std::string* warning = nullptr);
  ~MemoryCard();
  MemoryCard(const MemoryCard&) = delete;
  MemoryCard& operator=(const MemoryCard&) = delete;

  // --- the CNC's card functions ---
  // O1: state in bits 0-1 (0 ready, 1 not attached, 2 battery alarm), 4 added when the ready card
  // is write protected; O2: 1 for a flash card.
  CardResult status();
  CardResult identifier();  // O1 = the card identifier
  CardResult prepare();     // 0x401 and 0x402: nothing to prepare on this card
  CardResult open_volume(uint16_t card, const std::string& drive);
  CardResult close_volume(uint16_t card);  // closes the volume's open files as well
  CardResult format(uint16_t card, const std::string& label);
  // Paths are "A:\NAME.EXT" (drive optional, names matched without regard to case). O1 = handle.
  CardResult create(const std::string& path);
  CardResult open(const std::string& path, bool for_writing);
  CardResult close(uint16_t handle);
  CardResult read(uint16_t handle, std::span<uint8_t> out);  // O3 = bytes read
  // O3 = bytes written: a full card takes what fits and then fails with kCardFull.
  CardResult write(uint16_t handle, std::span<const uint8_t> data);
  CardResult remove(const std::string& path);
  // The 43-byte DOS find record: bytes 0-20 keep the search (pattern and position), so find next
  // continues from the record the PC hands back.
  CardResult find_first(const std::string& pattern, FindEntry& entry);
  CardResult find_next(FindEntry& entry);

  // --- the card's hardware and state, for `cncsim card` and tests ---
  // Pulling the card invalidates every handle and closes the volume; the files stay on it.
  void set_inserted(bool on);
  void set_battery_alarm(bool on);
  void set_protect(bool on);
  void set_flash(bool on);
  // The next format fails with kCardUnavailable while set.
  void set_unavailable(bool on);
  void set_capacity(uint32_t bytes);
  // Erases the card: files and label go, open files and the volume are closed.
  void make_unformatted();
  // One line per file: name, size, date and time (local), attributes; then the space left.
  std::string list();
  std::string describe();
  std::filesystem::path folder() const { return folder_; }
  // Bytes the files take in whole clusters.
  uint64_t used_bytes();

 private:
  struct OpenFile {
    std::string name;  // upper-case 8.3 name
    int fd = -1;
    bool writing = false;
    uint64_t position = 0;
  };
  struct Listed {
    std::string name;
    uint8_t attributes;
    uint16_t dos_time, dos_date;
    uint32_t size;
  };

  // Checks common to the path functions: card present, volume open, a valid root-folder name.
  uint32_t path_check_locked(const std::string& path, std::string* name);
  uint32_t ready_check_locked() const;
  CardResult open_locked(const std::string& name, bool writing, bool create);
  void close_all_locked();
  // Removes every file of the card; false when one could not be removed.
  bool erase_locked();
  uint64_t used_locked();
  // Every valid 8.3 entry of the card folder, sorted by name.
  std::vector<Listed> entries_locked();
  CardResult find_from_locked(FindEntry& entry, size_t index);
  bool formatted_locked() const;

  std::mutex mutex_;
  std::filesystem::path folder_;
  std::filesystem::path label_file_;
  std::filesystem::path private_dir_;  // removed at the end when the card has no state folder
  CardSettings settings_;
  bool unavailable_ = false;
  bool mounted_ = false;
  uint16_t next_handle_ = 1;
  std::map<uint16_t, OpenFile> open_;
};

// Upper-case 8.3 form of a card name ("sram0a.bak" -> "SRAM0A.BAK"); empty when `name` is not a
// valid 8.3 name (no folder part, no wildcards).
std::string card_name(const std::string& name);
// DOS date and time words of a time_t in local time; 1980-01-01 00:00 for earlier times.
void dos_stamp(int64_t unix_time, uint16_t* date, uint16_t* time);

}  // namespace cncsim
