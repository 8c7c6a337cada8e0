#pragma once
// The command line: `hexlook [--dump] [--node N] [--address HEX] [--mode byte|word|dword]
// [--registers] [--physical-slot]`. The window starts where the options say; --dump prints that
// page as text and exits.
#include <QStringList>
#include <optional>
#include <string>
#include <vector>

#include "hexlook/hex_model.h"
#include "hexlook/node_access.h"

namespace hexlook {

struct StartOptions {
  bool dump = false;
  std::optional<int> node;
  std::optional<uint32_t> address;
  Mode mode = Mode::byte;
  bool registers = false;
  bool physical_slot = false;
};

// Parses `arguments` (the program name first). False, with the reason in *error, on a bad option
// or value; *help set when --help was asked (the text is in *error then).
bool parse_start_options(const QStringList& arguments, StartOptions* options, std::string* error,
                         bool* help);

// Makes the model and the access start where the options say: display mode, node, address
// (the address goes last, as the Node dialog does it). An error text when the node is not present.
std::string apply_start_options(const StartOptions& options, NodeAccess& access, HexModel& model);

// The page as text, with the reads of one repaint: a memory page as dump_rows lays it out; the
// register view one line per drawn row, the header row first, trailing blanks removed.
std::vector<std::string> dump_page(NodeAccess& access, const HexModel& model);

}  // namespace hexlook
