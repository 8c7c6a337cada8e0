#pragma once
// kestrel-cli: the boot console's sequences from a shell, on the same CCncItf/CBootFunc code.
//
// To add commands: write a function returning their table (as boot_commands() in
// boot_commands.cpp does) and append it in all_commands() (commands.cpp). A command gets its
// words after the command name, already counted against min_args/max_args, and returns the exit
// status. CItfErr thrown by a command prints its text on stderr and exits 1; UsageError exits 2.
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "cnbusclient/cnbus_client.h"
#include "kestrel/cncitf/cnc_itf.h"
#include "platform/prompter.h"

namespace kestrel::cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the CNC or a file refused; interface errors
constexpr int kExitUsage = 2;   // bad command line, no daemon, no such node

// A bad argument found by a command (exit 2).
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Context {
  int node;
  cnbus::CCnbusClient& client;
  CCncItf& itf;
  moxel::Prompter& prompter;
  std::FILE* out;
  // The file store of the file commands: the memory card when empty, else this PC folder.
  std::string folder = {};
  // The board of the console commands: its number, or -1 for the first board the CNC lists.
  int board = -1;
  // Service mode: protection lifted for delete and save; initialise allowed.
  bool service = false;
};

struct Command {
  const char* name;
  const char* args;  // for the usage text, e.g. "BLOCK FILE"
  const char* help;
  size_t min_args, max_args;
  int (*run)(Context&, const std::vector<std::string>& args);
};

const std::vector<Command>& all_commands();
std::vector<Command> boot_commands();
std::vector<Command> console_commands();
std::vector<Command> state_check_commands();
std::vector<Command> file_commands();
std::vector<Command> screen_commands();
std::vector<Command> transfer_commands();

// Helpers for commands.
// A number in decimal or 0x-hex within [0, max]; UsageError otherwise.
uint32_t number_arg(const std::string& text, const char* what, uint32_t max = 0xFFFF);
// Why the node's CNC cannot take the boot console's commands now; empty when it waits in its
// boot console.
std::string console_problem(Context& ctx);
// Fails (message on stderr, false) unless the node's CNC waits in its boot console.
bool require_console(Context& ctx);
// Whole-file helpers; false with a message on stderr.
bool write_file(const std::string& path, const uint8_t* data, size_t size);
bool read_file(const std::string& path, std::vector<uint8_t>* data);

}  // namespace kestrel::cli
