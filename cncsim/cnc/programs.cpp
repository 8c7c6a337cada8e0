#include "cncsim/cnc/programs.h"

#include "cncsim/cnc/boot.h"
#include "cncsim/cnc/boot_screen.h"
#include "cncsim/cnc/param_service.h"
#include "cncsim/cnc/running.h"
#include "cncsim/cnc/memory_card.h"
#include "cncsim/mdi_program.h"

namespace cncsim::cnc {

void install_programs(Host& host) {
  host.add_program(make_boot_software());
  host.add_program(make_option_params());
  host.add_program(make_running_system());
  host.add_program(make_memory_card());
  host.add_program(make_boot_screen());
  host.add_program(make_mdi_program());
}

}  // namespace cncsim::cnc
