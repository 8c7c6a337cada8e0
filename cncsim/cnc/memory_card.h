#pragma once
// The memory card of a simulated CNC as its boot software serves it: the card functions of the
// mailbox (0x301, 0x302, 0x401 to 0x408, 0x424, 0x425, 0x42B to 0x42D) over the node's card
// (cncsim/card.h), a log of the card calls served, and the `cncsim card NODE ...` commands.
//
// Settings ([Simulator] of lorand.conf, stem + node number): CardInserted<n>, CardBatteryAlarm<n>,
// CardProtect<n>, CardFlash<n>, CardCapacity<n> (bytes), CardMaxOpen<n> (see cncsim/card.h).
#include <memory>

#include "cncsim/cnc/host.h"

namespace cncsim::cnc {

std::unique_ptr<Program> make_memory_card();

}  // namespace cncsim::cnc
