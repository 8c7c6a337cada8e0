#include <chrono>
#include <cstdio>

#include "hexlook/node_access.h"

namespace hexlook {

std::string node_title(int node, const std::string& name) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%1d", node);
  return std::string("Node") + digits + " : " + name;
}

uint32_t cells_all_ones(uint32_t unit) {
  return unit == 1 ? 0xFFu : unit == 2 ? 0xFFFFu : 0xFFFFFFFFu;
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
  const uint32_t unit = model.unit();
  const bool check = !model.physical_slot;
  // The first cell goes alone. A board whose busy bit stays set costs the driver's whole bound on
  // every unit, which over a page would freeze the window for many seconds at each repaint; when
  // the first cell was that slow and the board still reads busy, the rest of the page shows all
  // ones without being read. Otherwise the rest goes in one batch, so a sound board sees exactly
  // the sequence of a page read cell by cell.
  const auto start = std::chrono::steady_clock::now();
  access.read_cells(model.page_address(), unit, 1, check, cells);
  const bool slow = std::chrono::steady_clock::now() - start > kStalledCellTime;
  if (slow && (access.read_register(9) & 0x80)) {
    for (int i = 1; i < count; ++i) cells[i] = cells_all_ones(unit);
    page.stalled = true;
  } else {
    access.read_cells(model.page_address() + unit, unit, count - 1, check, cells + 1);
  }
  page.layout = memory_layout(model, cells);
  page.cells.assign(cells, cells + count);
  const uint32_t per_line = 16 / model.unit();
  page.current_text = cell_text(model.mode(), cells[model.row() * per_line + model.column()]);
  page.current_address = model.cursor_address();
  page.link_up = access.link_up();
  return page;
}

}  // namespace hexlook
