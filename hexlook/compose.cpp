#include <cstdio>

#include "hexlook/node_access.h"

namespace hexlook {

std::string node_title(int node, const std::string& name) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%1d", node);
  return std::string("Node") + digits + " : " + name;
}

Page compose_page(NodeAccess& access, const HexModel& model) {
  Page page;
  if (model.register_view) {
    std::array<uint8_t, 16> registers{};
    for (uint32_t i = 0; i < 16; ++i) registers[i] = access.read_register(i);
    page.layout = register_layout(access.port_base(access.current_node()), registers);
    return page;
  }
  uint32_t cells[256];
  const int count = cells_per_page(model.mode());
  access.read_cells(model.page_address(), model.unit(), count, !model.physical_slot, cells);
  page.layout = memory_layout(model, cells);
  const uint32_t per_line = 16 / model.unit();
  page.current_text = cell_text(model.mode(), cells[model.row() * per_line + model.column()]);
  page.current_address = model.cursor_address();
  page.link_up = (access.read_register(9) & 0x40) != 0;
  return page;
}

}  // namespace hexlook
