// The applet's entry point: the control panel host loads libflux2.so and drives it through
// CPlApplet.
#include "applets/common/applet_support.h"
#include "applets/common/cpl.h"
#include "applets/flux2/flux2_dialogs.h"

namespace {

void run(QWidget* parent) { flux2::run_applet(parent); }

constexpr moxel::AppletDescription kFlux2{130, "FLUX", "MOXEL FLUX Type-2", "flux2", run};

}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t CPlApplet(void* hwndCPl, uint32_t uMsg,
                                                                    intptr_t lParam1,
                                                                    intptr_t lParam2) {
  return moxel::answer_applet_message(kFlux2, hwndCPl, uMsg, lParam1, lParam2);
}
