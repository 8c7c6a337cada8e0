#include "applets/flux2/flux2_settings.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/paths.h"

extern char** environ;

namespace flux2 {

std::filesystem::path config_file() { return moxel::sysconf_dir() / "lorand.conf"; }

uint32_t address_from_entry(int entry) {
  if (entry < 1 || entry >= kPortEntries) return 0;
  return uint32_t(entry + 23) * 16;
}

int entry_from_address(uint32_t address) {
  if (address < 0x180 || address >= 0x400 || address % 16 != 0) return 0;
  return int((address - 0x180) / 16 + 1);
}

std::string port_entry_text(int entry) {
  uint32_t first = address_from_entry(entry);
  if (first == 0) return "Disable";
  char text[16];
  std::snprintf(text, sizeof text, "%04X - %04X", first, first + 15);
  return text;
}

const std::vector<std::string>& cnc_type_names() {
  static const std::vector<std::string> names{"Corvane A", "Corvane B", "Tessel", "Tessel i"};
  return names;
}

int cnc_type_index(uint32_t code) {
  if (code < 1 || code > cnc_type_names().size()) return -1;
  return int(code) - 1;
}

std::string value_name(const char* stem, int node) { return stem + std::to_string(node); }

NodeSettings read_node(const moxel::ConfigData& data, int node) {
  NodeSettings s;
  s.port_address = data.dword(kSection, value_name("IoPortAddress", node));
  s.cnc_type = data.dword(kSection, value_name("CncType", node));
  s.name = data.string(kSection, value_name("NodeName", node));
  return s;
}

bool write_node(const std::filesystem::path& file, int node, const NodeSettings& settings,
                std::string* error) {
  return moxel::update_config(
      file,
      [&](moxel::ConfigData& data) {
        data.set_dword(kSection, value_name("IoPortAddress", node), settings.port_address, true);
        data.set_dword(kSection, value_name("CncType", node), settings.cnc_type);
        data.set(kSection, value_name("NodeName", node), settings.name);
      },
      error);
}

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// The configuration file is line-based and ends a value at a blank followed by ';' (a comment), so
// such a name would come back cut short or spill into the next line. It is refused instead.
bool storable_name(const std::string& name) {
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7F) return false;
    if (c == ';' && i > 0 && is_blank(name[i - 1])) return false;
  }
  return true;
}

}  // namespace

std::string trim_blanks(const std::string& text) {
  size_t first = 0, last = text.size();
  while (first < last && is_blank(text[first])) ++first;
  while (last > first && is_blank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

int port_user(const moxel::ConfigData& data, int node, uint32_t address) {
  for (int other = 0; other < kNodeCount; ++other) {
    if (other == node) continue;
    const uint64_t stored = data.dword(kSection, value_name("IoPortAddress", other));
    if (stored != 0 && stored < uint64_t(address) + kPortRangeLength &&
        address < stored + kPortRangeLength)
      return other;
  }
  return -1;
}

std::string port_used_message(int other) {
  return "I/O Port Address is already used by Node " + std::to_string(other) + ".";
}

std::string config_read_problem(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return errno == ENOENT ? std::string() : std::string(std::strerror(errno));
  std::stringstream text;
  text << in.rdbuf();
  if (in.bad()) return "it cannot be read";
  int line = 0;
  if (!moxel::ConfigData::parse(text.str(), &line))
    return "line " + std::to_string(line) + " is not understood";
  return {};
}

namespace {

// "owner root, group moxel, mode 0755"
std::string ownership(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
  const struct passwd* user = ::getpwuid(st.st_uid);
  const struct group* group = ::getgrgid(st.st_gid);
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
  return std::string("owner ") + (user ? user->pw_name : std::to_string(st.st_uid)) + ", group " +
         (group ? group->gr_name : std::to_string(st.st_gid)) + ", mode " + mode;
}

}  // namespace

std::string write_refusal_reason(const std::filesystem::path& file) {
  const std::filesystem::path folder = file.parent_path().empty() ? "." : file.parent_path();
  if (::access(folder.c_str(), F_OK) != 0) return "The folder " + folder.string() + " does not exist.";
  // The file is replaced by a new one, so the folder must let this user create files.
  if (::access(folder.c_str(), W_OK | X_OK) != 0)
    return "You may not create files in " + folder.string() + " (" + ownership(folder) + ").";
  if (::access(file.c_str(), F_OK) == 0 && ::access(file.c_str(), W_OK) != 0)
    return "You may not change " + file.string() + " (" + ownership(file) + ").";
  return "You may not change " + file.string() + ".";
}

Checked check_node_input(int port_entry, const std::string& name, int type_index) {
  Checked result;
  auto refuse = [&](const char* message, Control focus) {
    result.message = message;
    result.focus = focus;
    return result;
  };
  if (port_entry < 0 || port_entry >= kPortEntries)
    return refuse("Select I/O Port Address.", Control::port);
  if (port_entry == 0) {
    // A disabled node keeps nothing: whatever the other fields hold is not looked at.
    result.settings = NodeSettings{};
    return result;
  }
  std::string trimmed = trim_blanks(name);
  if (trimmed.empty()) return refuse("Input Node Name.", Control::name);
  if (trimmed.size() > size_t(kMaxNameLength))
    return refuse("Node Name is too long. (Maximum length is 19.)", Control::name);
  if (!storable_name(trimmed))
    return refuse("Node Name cannot contain control characters or a blank followed by \";\".",
                  Control::name);
  if (type_index < 0 || type_index >= int(cnc_type_names().size()))
    return refuse("Select CNC Type.", Control::cnc_type);
  result.settings = NodeSettings{address_from_entry(port_entry), uint32_t(type_index + 1), trimmed};
  return result;
}

// ---- restart ----

const char kRestartCaption[] = "FLUX";
const char kRestartQuestion[] =
    "Your FLUX settings have changed.\r\n\r\nYou will need to exit and restart Windows NT so that "
    "the new setting can take effect.\r\n\r\nDo you want to restert your computer now?";

RestartMode restart_mode(const moxel::ConfigData& data) {
  std::string value = trim_blanks(data.string("Applet", "Restart", "service"));
  for (char& c : value) c = char(std::tolower(static_cast<unsigned char>(c)));
  return value == "computer" ? RestartMode::computer : RestartMode::service;
}

std::vector<std::string> restart_command(RestartMode mode) {
  if (mode == RestartMode::computer) return {"systemctl", "reboot"};
  return {"systemctl", "restart", "lorandd.service"};
}

bool run_command(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                 std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (argv.empty()) return fail("no command");
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  // The child gets /dev/null as its input so it never waits on the terminal (for a password, say).
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return fail(argv[0] + ": " + std::strerror(rc));

  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
      if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
        return fail(argv[0] + ": cannot be started");
      return fail(argv[0] + ": failed (" +
                  (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                     : "signal " + std::to_string(WTERMSIG(status))) +
                  ")");
    }
    if (done < 0 && errno != EINTR) return fail(argv[0] + ": " + std::strerror(errno));
    if (std::chrono::steady_clock::now() >= deadline)
      return fail(argv[0] + ": still running after " + std::to_string(limit.count()) + " ms");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

CommandRunner default_runner() {
  return [](const std::vector<std::string>& argv) {
    std::string error;
    bool ok = run_command(argv, std::chrono::seconds(30), &error);
    // The user sees nothing; whoever started the control panel from a terminal sees why.
    if (!ok) std::fprintf(stderr, "flux2: restart: %s\n", error.c_str());
    return ok;
  };
}

}  // namespace flux2
