#pragma once
// The CNC's running system on the host: from the moment the boot phase becomes "running" it keeps
// the structures of cncsim/running_system.h in the node's memory and answers the PC's interface
// state check (not on a CNC of type 3, which the check is never run for). Its faults join `cncsim
// fault`; its settings are Segments<n>, SecondSegments<n>, Marker3531<n> and HandshakeDelay<n> of
// [Simulator].
#include <memory>

#include "cncsim/cnc/host.h"

namespace cncsim::cnc {

std::unique_ptr<Program> make_running_system();

}  // namespace cncsim::cnc
