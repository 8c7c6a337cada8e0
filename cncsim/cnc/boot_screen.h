#pragma once
// The text screen of a simulated CNC's boot software while it loads the system: an 80 x 25
// character/attribute screen at B + 0x1000 with a changed-flag per line at B + 0x200, shown on the
// PC through requests posted at B + 0x100 (0x8002 screen update, 0x8003 key request, 0x8001 end;
// flag 1 posted, 0 when the PC has answered, answer word at B + 0x104, key at B + 0x114).
//
// While loading it prints a start-up log line by line, then a boot menu that asks the PC for a
// key ('1' to '3', Enter for 1), echoes the answer, prints what it loads, posts the end request
// and, once the PC has answered it, runs the system. It waits for the PC at every request: the
// node stays in its loading phase until a boot screen serves it.
//
// Settings ([Simulator], stem + node number):
//   BootScreen<n>   1: loading goes through this screen (LoadTime<n> is then not used); default 0
//   ScreenPace<n>   milliseconds between two lines of the log (default 50)
// `cncsim screen NODE` prints the screen's characters, one line each.
#include <memory>

#include "cncsim/cnc/host.h"

namespace cncsim::cnc {

std::unique_ptr<Program> make_boot_screen();

}  // namespace cncsim::cnc
