#pragma once
// The programs of a simulated CNC's own software. To add one, add a line to install_programs()
// in programs.cpp (see host.h).
#include "cncsim/cnc/host.h"

namespace cncsim::cnc {

void install_programs(Host& host);

}  // namespace cncsim::cnc
