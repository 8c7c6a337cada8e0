#pragma once
// The control commands of the simulator, shared by the control socket and in-process callers.
//
//   link NODE up|down|lost|reset      ready NODE on|off          power NODE on|off
//   peek NODE ADDRESS LENGTH      poke NODE ADDRESS HEXBYTES
//   trace NODE start|stop|show|clear
//   fault NODE NAME on|off [VALUE]   fault NODE list   (the node's and its software's faults)
//   boot NODE MODE                (console, auto, running)
//   key NODE press|release KEY    (an MDI key: KEY_xy or 0 to 255)
//   busy NODE on|off              (the busy-at-start state)
//   unit-time NODE NANOSECONDS    status NODE
//
// Numbers accept decimal and 0x-hex.
#include <cstddef>
#include <string>

namespace cncsim {

class Simulator;

// Longest command line accepted (a poke of 16 MB in hex, with room for the words before it).
constexpr size_t kMaxCommandLine = 2 * 0x1000000 + 256;
// Longest peek.
constexpr size_t kMaxPeek = 0x1000000;

bool run_control_command(Simulator& sim, const std::string& line, std::string* output);

// Usage text of the `cncsim` command.
const char* control_usage();

}  // namespace cncsim
