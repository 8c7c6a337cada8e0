// A stand-in applet for the host's tests: appends every message it gets to the file named by
// MOXEL_TEST_APPLET_LOG, and says at CPL_DBLCLK whether a widget application exists.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "applets/common/cpl.h"

namespace {
void note(const char* text, long index = -1) {
  const char* path = std::getenv("MOXEL_TEST_APPLET_LOG");
  if (!path) return;
  if (FILE* f = std::fopen(path, "a")) {
    if (index >= 0)
      std::fprintf(f, "%s %ld\n", text, index);
    else
      std::fprintf(f, "%s\n", text);
    std::fclose(f);
  }
}
}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t CPlApplet(void*, uint32_t msg,
                                                                    intptr_t l1, intptr_t l2) {
  switch (msg) {
    case CPL_INIT:
      note("INIT");
      return std::getenv("MOXEL_TEST_APPLET_REFUSE") ? 0 : 1;
    case CPL_GETCOUNT: note("GETCOUNT"); return 2;
    case CPL_NEWINQUIRE: {
      note("NEWINQUIRE", long(l1));
      auto* info = reinterpret_cast<NEWCPLINFO*>(l2);
      std::memset(info, 0, sizeof *info);
      info->dwSize = sizeof *info;
      std::snprintf(info->szName, sizeof info->szName, "Recorder%ld", long(l1));
      // Fills the whole field without a terminator: the host must not read past it.
      std::memset(info->szInfo, 'x', sizeof info->szInfo);
      return 0;
    }
    case CPL_DBLCLK:
      note(qobject_cast<QApplication*>(QCoreApplication::instance()) ? "DBLCLK with app"
                                                                     : "DBLCLK without app",
           long(l1));
      return 0;
    case CPL_STOP: note("STOP", long(l1)); return 1;
    case CPL_EXIT: note("EXIT"); return 0;
    default: note("OTHER"); return 1;
  }
}
