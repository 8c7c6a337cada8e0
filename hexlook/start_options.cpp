#include "hexlook/start_options.h"

#include <QCommandLineParser>

namespace hexlook {

bool parse_start_options(const QStringList& arguments, StartOptions* options, std::string* error,
                         bool* help) {
  *help = false;
  QCommandLineParser parser;
  parser.setApplicationDescription("Live memory viewer of the CNC nodes on the FLUX link.");
  const QCommandLineOption help_option({"h", "help"}, "Shows this help.");
  const QCommandLineOption dump(QString("dump"), "Prints one page as text and exits; opens no window.");
  const QCommandLineOption node(QString("node"), "Node to show (0 to 7; default: the lowest present).",
                                "N");
  const QCommandLineOption address(QString("address"), "Address to show, 1 to 8 hexadecimal digits "
                                   "(default 20C00000).", "HEX");
  const QCommandLineOption mode(QString("mode"), "Display mode: byte (default), word or dword.", "MODE");
  const QCommandLineOption registers(QString("registers"), "Shows the FLUX I/O registers.");
  const QCommandLineOption slot(QString("physical-slot"), "Reads memory without the status test.");
  parser.addOptions({help_option, dump, node, address, mode, registers, slot});
  if (!parser.parse(arguments)) {
    *error = parser.errorText().toStdString();
    return false;
  }
  if (parser.isSet(help_option)) {
    *help = true;
    *error = parser.helpText().toStdString();
    return false;
  }
  if (!parser.positionalArguments().isEmpty()) {
    *error = "unexpected argument: " + parser.positionalArguments().front().toStdString();
    return false;
  }
  StartOptions out;
  out.dump = parser.isSet(dump);
  out.registers = parser.isSet(registers);
  out.physical_slot = parser.isSet(slot);
  if (parser.isSet(node)) {
    bool ok = false;
    const int n = parser.value(node).toInt(&ok, 10);
    if (!ok || n < 0 || n > 7) {
      *error = "node must be a number from 0 to 7: " + parser.value(node).toStdString();
      return false;
    }
    out.node = n;
  }
  if (parser.isSet(address)) {
    const std::string text = parser.value(address).toStdString();
    if (!is_hex_text(text) || text.size() > 8) {
      *error = "address must be 1 to 8 hexadecimal digits: " + text;
      return false;
    }
    out.address = parse_hex(text);
  }
  if (parser.isSet(mode)) {
    const auto m = mode_from_name(parser.value(mode).toStdString());
    if (!m) {
      *error = "mode must be byte, word or dword: " + parser.value(mode).toStdString();
      return false;
    }
    out.mode = *m;
  }
  *options = out;
  return true;
}

std::string apply_start_options(const StartOptions& options, NodeAccess& access, HexModel& model) {
  model.set_mode(options.mode);
  model.register_view = options.registers;
  model.physical_slot = options.physical_slot;
  if (options.node && !access.select_node(*options.node))
    return "node " + std::to_string(*options.node) + " is not present";
  if (options.address) model.go_to(*options.address);
  return {};
}

std::vector<std::string> dump_page(NodeAccess& access, const HexModel& model) {
  const Page page = compose_page(access, model);
  if (!model.register_view) return dump_rows(model.mode(), model.top_line(), page.cells.data());
  auto rows = render_rows(page.layout);
  for (auto& row : rows) row.erase(row.find_last_not_of(' ') + 1);
  return rows;
}

}  // namespace hexlook
