#pragma once
// CBootFunc: the boot console's block operations on the CNC's system data, each a fixed sequence
// of function calls and transfers through the transfer buffer, so that callers deal only with
// whole blocks in PC memory: 128 KB F-ROM blocks, check texts, module headers, the announcement
// of a load file, and 32 KB SRAM blocks. Built on the stack around each operation.
//
// Long transfers move in slices of 0x8000 bytes (one block transfer each, with its link test),
// the slices of a block sent together and the interface's hook run after them. Data a call takes
// from the transfer buffer travels with its request, and the first slice it leaves there with the
// request that finds the call ended (CCncItf::Carried). Where the CNC can work while the PC moves data
// (the second block of a pair read, the erase before a block write), the call is posted without
// waiting and completed after the transfer. Each operation holds the interface lock from its
// first call to its last transfer (CCncItf::Hold), so no other program's call can change the
// transfer buffer between a call and the data it leaves there.
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "kestrel/cncitf/cnc_itf.h"
#include "platform/prompter.h"

namespace kestrel {

constexpr uint32_t kFromBlockSize = 0x20000;
constexpr uint32_t kSramBlockSize = 0x8000;
constexpr uint32_t kModuleHeaderSize = 128;
constexpr uint32_t kLoadHeaderSize = 1024;
constexpr uint32_t kCheckTextSize = 32;
constexpr uint32_t kModuleNameSize = 16;
constexpr uint32_t kSliceSize = 0x8000;

class CBootFunc {
 public:
  // Messages go to `prompter`, or to the process's prompter when none is given.
  explicit CBootFunc(CCncItf& itf, moxel::Prompter* prompter = nullptr)
      : itf_(itf), prompter_(prompter) {}

  void ReadBlock(int block, uint8_t* buffer);
  // Blocks `block` and `block` + 1: the CNC fetches the second while the PC reads the first.
  void ReadBlockPair(int block, uint8_t* first, uint8_t* second);
  // 1 when the CNC wrote the block; the erase before it is not examined.
  int WriteBlock(int block, const uint8_t* data);
  int EraseBlock(int block);
  std::string CheckText(int block);
  // Shows the 1024-byte header of a load file to the CNC. 1 with the module's place, size,
  // interleaving and name; 0 after "Illegal format file." or "Flash ROM no space." was shown.
  int AnnounceLoadFile(const uint8_t* header, int* first_block, int* block_count, int* interleaved,
                       std::string* name);
  // The 128-byte header of a stored module: 1, or 0 when the CNC refused. The simulated boot
  // software (and the console) name the module by its first block.
  int ModuleHeader(int module, uint8_t* buffer);
  // One 32 KB SRAM block: I1 is the board's SRAM access code, I2 the block number.
  void ReadSramBlock(int i1, uint8_t* buffer, int i2);
  void WriteSramBlock(int i1, const uint8_t* data, int i2);
  // SRAM blocks `first` to `first` + `count` - 1 of the board with access code I1, each handed to
  // `sink` in order; stops after the block for which `sink` returns false. With `overlap` the CNC
  // fetches the next block while `sink` deals with the one before, its request going out in the
  // request that finds the block before it read; `sink` must then not call the CNC itself (a
  // memory-card store does: its calls would take the mailbox and the transfer buffer meanwhile).
  void ReadSramBlocks(int i1, int first, int count, bool overlap,
                      const std::function<bool(const uint8_t*)>& sink);
  // The same blocks written, each filled by `source` (false: stop before that block); with
  // `overlap`, `source` fills a block while the CNC writes the one before.
  void WriteSramBlocks(int i1, int first, int count, bool overlap,
                       const std::function<bool(uint8_t*)>& source);

 private:
  void Call(uint16_t function, uint16_t i1, uint16_t i2, uint32_t i3, int wait,
            CCncItf::Carried carried = {});
  // Runs `transfer` between a call without wait and its completion.
  template <class Transfer>
  void Between(Transfer transfer);
  // The transfers with their link tests, then the hook.
  void Move(std::span<cnbus::ShmTransfer> slices);
  // Waits for a call posted ahead that the caller no longer wants; what it ends with is not the
  // caller's concern (a fault that ends the interface stays in its error state).
  void Drain();
  moxel::Prompter& prompter() { return prompter_ ? *prompter_ : moxel::prompter(); }

  CCncItf& itf_;
  moxel::Prompter* prompter_;
};

}  // namespace kestrel
