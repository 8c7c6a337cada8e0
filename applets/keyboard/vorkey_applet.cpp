// The applet's entry point: the control panel host loads libvorkey.so and drives it through
// CPlApplet.
#include "applets/common/applet_support.h"
#include "applets/common/cpl.h"
#include "applets/keyboard/vorkey_sheet.h"

namespace {

void run(QWidget* parent) { vorkey_applet::run_applet(parent); }

constexpr moxel::AppletDescription kVorkey{132, "MDI", "MOXEL MDI Keyboard", "vorkey", run};

}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t CPlApplet(void* hwndCPl, uint32_t uMsg,
                                                                    intptr_t lParam1,
                                                                    intptr_t lParam2) {
  return moxel::answer_applet_message(kVorkey, hwndCPl, uMsg, lParam1, lParam2);
}
