// The applet's entry point: the control panel host loads libflux2.so and drives it through
// CPlApplet.
#include <QApplication>
#include <cstdio>
#include <cstring>
#include <memory>

#include "applets/common/cpl.h"
#include "applets/flux2/flux2_dialogs.h"
#include "platform/prompter.h"
#include "platform/qt/qt_prompter.h"

namespace {

constexpr uint32_t kIconResource = 130;

void fill_info(NEWCPLINFO* info) {
  std::memset(info, 0, sizeof *info);
  info->dwSize = sizeof *info;
  info->hIcon = kIconResource;
  std::snprintf(info->szName, sizeof info->szName, "%s", "FLUX");
  std::snprintf(info->szInfo, sizeof info->szInfo, "%s", "MOXEL FLUX Type-2");
}

// Runs the main dialog modally. A host is expected to have made its QApplication; a host without
// one gets a private one for the dialog's lifetime.
void run_dialog(void* host_window) {
  std::unique_ptr<QApplication> own_app;
  if (!QCoreApplication::instance()) {
    static int argc = 1;
    static char name[] = "flux2";
    static char* argv[] = {name, nullptr};
    own_app = std::make_unique<QApplication>(argc, argv);
  } else if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
    std::fprintf(stderr, "flux2: the host has no widget application; nothing shown\n");
    return;
  }
  auto* parent = static_cast<QWidget*>(host_window);
  moxel::Prompter* previous = &moxel::prompter();
  moxel::QtPrompter boxes(parent);
  moxel::set_prompter(&boxes);
  flux2::run_applet(parent);
  moxel::set_prompter(previous);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t CPlApplet(void* hwndCPl, uint32_t uMsg,
                                                                    intptr_t lParam1,
                                                                    intptr_t lParam2) {
  (void)lParam1;  // there is one applet, index 0
  switch (uMsg) {
    case CPL_INIT: return 1;
    case CPL_GETCOUNT: return 1;
    case CPL_INQUIRE: return 0;  // described by CPL_NEWINQUIRE instead
    case CPL_SELECT: return 1;
    case CPL_DBLCLK: run_dialog(hwndCPl); return 0;
    case CPL_STOP: return 1;
    case CPL_EXIT: return 0;
    case CPL_NEWINQUIRE:
      if (lParam2) fill_info(reinterpret_cast<NEWCPLINFO*>(lParam2));
      return 0;
    default: return 1;
  }
}
