#pragma once
// What the viewer needs from the driver client: the node list, a current node, the board's
// registers and units of CNC memory. The program uses the client (ClientAccess); the window tests
// use a small in-memory stand-in.
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hexlook/hex_model.h"
#include "hexlook/page_layout.h"

namespace hexlook {

class NodeAccess {
 public:
  virtual ~NodeAccess() = default;

  // False when the device could not be opened or no node is present.
  virtual bool available() const = 0;
  // Present nodes, lowest first.
  virtual std::vector<int> present_nodes() const = 0;
  virtual std::string node_name(int node) const = 0;
  virtual uint16_t port_base(int node) const = 0;
  virtual int current_node() const = 0;
  // False (current node unchanged) when the node is not present.
  virtual bool select_node(int node) = 0;

  // One byte of register `offset` of the current node; 0xFF when it cannot be read.
  virtual uint8_t read_register(uint32_t offset) = 0;
  // One read of the status register: true when its link bit (bit 6) is 1. A status that cannot be
  // read counts as no link, so a node that cannot be reached shows "COM ERR" instead of a sound link.
  virtual bool link_up() { return (read_register(9) & 0x40) != 0; }
  // `count` cells of `unit` bytes from `address` up; with `check_slot` each cell is read only when
  // status bit 4 reads 1 just before it. Cells that are skipped or fail read as all ones.
  virtual void read_cells(uint32_t address, uint32_t unit, int count, bool check_slot,
                          uint32_t* values) = 0;
  // One unit of `unit` bytes; the result is not reported.
  virtual void write_unit(uint32_t address, uint32_t unit, uint32_t value) = 0;
};

// The access through the memory viewer's driver client (opens the device and builds the node table).
std::unique_ptr<NodeAccess> make_client_access();

// "Node" + one decimal digit + " : " + name.
std::string node_title(int node, const std::string& name);

// One composed page: what to draw and what the panes show.
struct Page {
  Layout layout;
  std::vector<uint32_t> cells;  // memory mode: the values read, the first at the page address
  std::string current_text;  // text of the cursor cell; empty in register view
  uint32_t current_address = 0;
  bool link_up = false;  // status bit 6 at this paint (memory mode only)
  bool stalled = false;  // the board stayed busy: only the first cell was read
};

// A single cell that takes longer than this, on a board that then still reads busy (status bit 7),
// means the board does not finish its units.
constexpr std::chrono::milliseconds kStalledCellTime{40};

uint32_t cells_all_ones(uint32_t unit);

// Reads what the page of `model` shows through `access` and lays it out: in memory mode the page's
// cells in ascending order (each guarded by the status test unless physical slot is on; the first
// cell alone, the rest in one call) and one read of the status register for the link pane; in
// register view the 16 registers.
Page compose_page(NodeAccess& access, const HexModel& model);

}  // namespace hexlook
