#pragma once
// The window programs' start without a display. Qt ends a program whose platform plugin finds no
// display with abort() (status 134) and advice to reinstall it; these say what is missing instead
// and end with status 1.
#include <string>

namespace moxel {

// Call before the QApplication is made. When no platform is named (QT_QPA_PLATFORM, as the tests'
// "offscreen") and neither DISPLAY nor WAYLAND_DISPLAY is set, prints "<program>: no display
// found (...)" and, when not empty, "<program>: <hint>" on stderr and ends the program with
// status 1. Otherwise, until the next call of display_found_done(), a fatal
// message of Qt (a display that is set but does not answer) prints the same message and ends the
// program with status 1 instead of aborting.
void require_display(const std::string& program, const std::string& hint);
// Call once the QApplication exists: Qt's own message handling is back.
void display_found_done();

}  // namespace moxel
