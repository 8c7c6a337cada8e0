#include "cncsim/cnc/programs.h"

#include "cncsim/cnc/boot.h"

namespace cncsim::cnc {

void install_programs(Host& host) {
  host.add_program(make_boot_software());
}

}  // namespace cncsim::cnc
