#pragma once
// The two tables the boot console reads from the CNC: the boards (function 0x004) and the F-ROM
// directory of the selected board (function 0x104), each left by the CNC in the transfer buffer.
#include <vector>

#include "kestrel/cncitf/boot_records.h"
#include "kestrel/cncitf/cnc_itf.h"

namespace kestrel {

// Both throw CItfErr on an interface fault; a refused call gives an empty table.
std::vector<BoardRecord> ReadBoards(CCncItf& itf);
std::vector<ModuleRecord> ReadModules(CCncItf& itf);

}  // namespace kestrel
