// The boot console's low-level commands: boards, board selection, the F-ROM directory and blocks,
// module headers, SRAM blocks, and leaving the console.
#include <cctype>
#include <vector>

#include "kestrel/cli/cli.h"
#include "kestrel/cncitf/boot_func.h"
#include "kestrel/cncitf/boot_records.h"
#include "kestrel/console/tables.h"

namespace kestrel::cli {
namespace {

constexpr uint32_t kPcFlagsOffset = 0x04;  // in the communication area

int boards(Context& ctx, const std::vector<std::string>&) {
  if (!require_console(ctx)) return kExitFailed;
  for (const BoardRecord& b : ReadBoards(ctx.itf)) {
    std::fprintf(ctx.out, "%s  .%-3s  code 0x%04x\n", board_line(b).c_str(), b.extension.c_str(), b.sram_code);
  }
  return kExitOk;
}

int select(Context& ctx, const std::vector<std::string>& args) {
  const uint32_t board = number_arg(args[0], "BOARD");
  if (!require_console(ctx)) return kExitFailed;
  ctx.itf.Call(0x005, uint16_t(board), 0, 0, 0, 1);
  if (ctx.itf.Status() != 0) {
    std::fprintf(stderr, "kestrel-cli: the CNC refused board %u (status %x, error %x)\n", board,
                 ctx.itf.Status(), ctx.itf.Error());
    return kExitFailed;
  }
  return kExitOk;
}

int modules(Context& ctx, const std::vector<std::string>&) {
  if (!require_console(ctx)) return kExitFailed;
  for (const ModuleRecord& m : ReadModules(ctx.itf))
    std::fprintf(ctx.out, "%s\tfirst %d%s%s%s\n", module_line(m).c_str(), m.first_block,
                 m.interleaved ? "  interleaved" : "", m.protected_module ? "  protected" : "",
                 m.plain_copy ? "  plain-copy" : "");
  return kExitOk;
}

int check(Context& ctx, const std::vector<std::string>& args) {
  const uint32_t block = number_arg(args[0], "BLOCK");
  if (!require_console(ctx)) return kExitFailed;
  std::fprintf(ctx.out, "%s\n", CBootFunc(ctx.itf, &ctx.prompter).CheckText(int(block)).c_str());
  return kExitOk;
}

int read_block(Context& ctx, const std::vector<std::string>& args) {
  const uint32_t block = number_arg(args[0], "BLOCK");
  if (!require_console(ctx)) return kExitFailed;
  std::vector<uint8_t> data(kFromBlockSize);
  CBootFunc(ctx.itf, &ctx.prompter).ReadBlock(int(block), data.data());
  return write_file(args[1], data.data(), data.size()) ? kExitOk : kExitFailed;
}

int module_header(Context& ctx, const std::vector<std::string>& args) {
  const uint32_t index = number_arg(args[0], "INDEX");
  if (!require_console(ctx)) return kExitFailed;
  const std::vector<ModuleRecord> list = ReadModules(ctx.itf);
  if (index >= list.size()) {
    std::fprintf(stderr, "kestrel-cli: the board holds %zu modules; there is no module %u\n", list.size(), index);
    return kExitFailed;
  }
  uint8_t header[kModuleHeaderSize];
  if (!CBootFunc(ctx.itf, &ctx.prompter).ModuleHeader(list[index].first_block, header)) {
    std::fprintf(stderr, "kestrel-cli: the CNC gives no header for module %u (status %x, error %x)\n",
                 index, ctx.itf.Status(), ctx.itf.Error());
    return kExitFailed;
  }
  for (uint32_t at = 0; at < kModuleHeaderSize; at += 16) {
    std::fprintf(ctx.out, "%02x:", at);
    std::string ascii;
    for (uint32_t i = 0; i < 16; ++i) {
      std::fprintf(ctx.out, " %02x", header[at + i]);
      ascii += std::isprint(header[at + i]) ? char(header[at + i]) : '.';
    }
    std::fprintf(ctx.out, "  %s\n", ascii.c_str());
  }
  return kExitOk;
}

int sram_read(Context& ctx, const std::vector<std::string>& args) {
  const uint32_t i1 = number_arg(args[0], "I1"), i2 = number_arg(args[1], "I2");
  if (!require_console(ctx)) return kExitFailed;
  std::vector<uint8_t> data(kSramBlockSize);
  CBootFunc(ctx.itf, &ctx.prompter).ReadSramBlock(int(i1), data.data(), int(i2));
  return write_file(args[2], data.data(), data.size()) ? kExitOk : kExitFailed;
}

int sram_write(Context& ctx, const std::vector<std::string>& args) {
  const uint32_t i1 = number_arg(args[0], "I1"), i2 = number_arg(args[1], "I2");
  std::vector<uint8_t> data;
  if (!read_file(args[2], &data)) return kExitFailed;
  if (data.size() != kSramBlockSize) {
    std::fprintf(stderr, "kestrel-cli: %s holds %zu bytes; an SRAM block is %u\n", args[2].c_str(),
                 data.size(), kSramBlockSize);
    return kExitFailed;
  }
  if (!require_console(ctx)) return kExitFailed;
  CBootFunc(ctx.itf, &ctx.prompter).WriteSramBlock(int(i1), data.data(), int(i2));
  return kExitOk;
}

int leave_console(Context& ctx, const std::vector<std::string>&) {
  if (!require_console(ctx)) return kExitFailed;
  ctx.itf.Call(0x001, 0, 0, 0, 0, 1);
  if (ctx.itf.Status() != 0) {
    std::fprintf(stderr, "kestrel-cli: the CNC stays in its console (status %x, error %x)\n",
                 ctx.itf.Status(), ctx.itf.Error());
    return kExitFailed;
  }
  // As the console does when it closes: the PC has left it.
  const uint32_t flags = ctx.itf.AreaBase() + kPcFlagsOffset;
  ctx.itf.WriteWord(flags, uint16_t(ctx.itf.ReadWord(flags) & ~1u));
  return kExitOk;
}

}  // namespace

std::vector<Command> boot_commands() {
  return {
      {"boards", "", "list the CNC's boards", 0, 0, boards},
      {"select", "BOARD", "select the board for the commands that follow", 1, 1, select},
      {"modules", "", "list the F-ROM modules of the selected board", 0, 0, modules},
      {"check", "BLOCK", "print the check text of an F-ROM block", 1, 1, check},
      {"read-block", "BLOCK FILE", "save a 128 KB F-ROM block into FILE", 2, 2, read_block},
      {"module-header", "INDEX", "print the 128-byte header of module INDEX of the list", 1, 1, module_header},
      {"sram-read", "I1 I2 FILE", "save a 32 KB SRAM block (I1 access code, I2 block) into FILE", 3, 3, sram_read},
      {"sram-write", "I1 I2 FILE", "write a 32 KB SRAM block from FILE", 3, 3, sram_write},
      {"leave-console", "", "end the boot console: the CNC goes on starting", 0, 0, leave_console},
  };
}

}  // namespace kestrel::cli
