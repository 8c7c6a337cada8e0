#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "kestrel/cli/cli.h"
#include "platform/config_store.h"

namespace kestrel::cli {

const std::vector<Command>& all_commands() {
  static const std::vector<Command> commands = [] {
    std::vector<Command> all;
    for (auto list : {boot_commands, console_commands, state_check_commands, file_commands,
                      screen_commands, transfer_commands}) {
      std::vector<Command> more = list();
      all.insert(all.end(), more.begin(), more.end());
    }
    return all;
  }();
  return commands;
}

uint32_t number_arg(const std::string& text, const char* what, uint32_t max) {
  auto value = moxel::parse_dword(text);
  if (!value || *value > max) throw UsageError(std::string(what) + " must be a number from 0 to " + std::to_string(max) + ": '" + text + "'");
  return *value;
}

std::string console_problem(Context& ctx) {
  if (!ctx.itf.CheckLink()) return "the link to node " + std::to_string(ctx.node) + " is down";
  // The CNC state word: bits 0 to 4 and 8 all clear while the boot software waits in its console.
  const uint16_t state = ctx.client.ShmReadWord(ctx.itf.AreaBase());
  if (state & 0x011F) {
    char text[96];
    std::snprintf(text, sizeof text, "node %d is not in its boot console (CNC state word 0x%04x)", ctx.node, state);
    return text;
  }
  return {};
}

bool require_console(Context& ctx) {
  const std::string problem = console_problem(ctx);
  if (!problem.empty()) std::fprintf(stderr, "kestrel-cli: %s\n", problem.c_str());
  return problem.empty();
}

bool write_file(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
  out.close();
  if (!out) {
    std::fprintf(stderr, "kestrel-cli: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

bool read_file(const std::string& path, std::vector<uint8_t>* data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "kestrel-cli: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace kestrel::cli
