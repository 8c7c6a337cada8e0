#pragma once
// The boot software of a simulated CNC: boot phases and the CNC state word, the boards with their
// F-ROM and SRAM, the F-ROM directory of modules, and the boot console's mailbox functions
//   0x001 leave the console    0x002 identification   0x004 boards   0x005 select a board
//   0x101 read an F-ROM block  0x102 write one        0x103 erase one
//   0x104 directory            0x105 check text       0x106 announce a load file
//   0x107 initialise the F-ROM 0x108 module header    0x201/0x202 read/write an SRAM block
//
// Settings ([Simulator] of lorand.conf, stem + node number):
//   BootMode<n>     console | auto | running (default console): the phase after power-on
//   Boards<n>       the boards, "NUMBER,NAME,EXT,FROMSIZE,SRAMSIZE,CODE" separated by ";"
//                   (default: 0,MAIN,MAN,0x300000,0x40000,0; 1,SUB,SUB,0x100000,0x20000,0x100;
//                   2,OPTION,OPT,0,0x20000,0x200). Each board's F-ROM and SRAM lie one after the
//                   other in the node's F-ROM and SRAM spaces, which grow to hold them.
//   NamingValue<n>  O2 of 0x002 (default 1): how the console names SRAM backup files
//   InitAnswer<n>   status of 0x107 (default 0: the CNC erases the F-ROM itself; 1: it leaves
//                   the erasing to the PC, block by block)
//   EraseTime<n>, WriteTime<n>, ReadTime<n> (per F-ROM block), SramTime<n> (per SRAM block),
//   LoadTime<n> (loading phase before the system runs): milliseconds, default 0
//   (BootScreen<n> = 1 hands the loading phase to the boot screen, boot_screen.h)
//
// The directory is kept in "directory.bin" in the node's state folder, beside the F-ROM and SRAM.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cncsim/cnc/host.h"
#include "platform/config_store.h"

namespace cncsim::cnc {

struct Board {
  uint16_t number = 0;
  std::string name;       // at most 8 characters
  std::string extension;  // at most 3 characters
  uint32_t from_size = 0;  // bytes, a multiple of 128 KB
  uint32_t sram_size = 0;  // bytes, a multiple of 32 KB
  uint16_t sram_code = 0;  // SRAM access code: I1 of 0x201 and 0x202
  uint32_t from_start = 0;  // offset of its F-ROM in the node's F-ROM space
  uint32_t sram_start = 0;  // offset of its SRAM in the node's SRAM space
};

// The boards of a node from [Simulator] Boards<n>, or the default set; `error` receives why a
// given list was refused (the default set is then used).
std::vector<Board> boards_from_config(const moxel::ConfigData& config, uint32_t node,
                                      std::string* error = nullptr);

// CNC state word values of the phases (offset 0 of the communication area).
constexpr uint16_t kStateConsole = 0x0000;  // waits for the operator: bits 0, 1, 2, 3, 4, 8 clear
constexpr uint16_t kStateLoading = 0x0001;  // loads the system (the PC shows its loading display)
constexpr uint16_t kStateRunning = 0x0008;  // the system runs

std::unique_ptr<Program> make_boot_software();

}  // namespace cncsim::cnc
