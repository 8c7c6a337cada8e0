// lorandd: hosts the LORAND driver core. Reads lorand.conf, brings up the configured nodes (real ISA
// boards or simulated ones), and serves the device socket until SIGTERM or SIGINT.
#include <grp.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "driver/core/lnk_driver.h"
#include "driver/host/host_platform.h"
#include "driver/host/server.h"
#include "platform/named_lock.h"
#include "platform/paths.h"
#include "platform/raw_ports.h"
#include "cncsim/simulator.h"
#ifdef MOXEL_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace {

constexpr const char* kRegistryPath = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\lorand";

void usage(FILE* to) {
  std::fprintf(to,
               "usage: lorandd [--foreground] [--config FILE]\n"
               "Serves the LORAND device at $MOXEL_RUNDIR/LORAND (default /run/moxel/LORAND) for the\n"
               "nodes configured in $MOXEL_SYSCONFDIR/lorand.conf (default /etc/moxel/lorand.conf).\n");
}

// [Host] SocketMode: octal permission bits, 0 to 0777 (e.g. 0666); no set-id or sticky bits.
std::optional<mode_t> parse_mode(const std::string& text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  mode_t mode = 0;
  for (char c : text) {
    if (c < '0' || c > '7') return std::nullopt;
    mode = mode * 8 + mode_t(c - '0');
  }
  if (mode > 0777) return std::nullopt;
  return mode;
}

// The run folder holds the sockets, so nobody but this daemon's user and root may add or remove
// entries there: anyone else could put a socket of their own where the clients look for ours. It
// is made when missing; one of ours that others may write (left mode 1777 by an older unit file)
// is closed to 0755; one that another user owns, or that others may write and is not ours, is
// refused. Its "locks" folder, for every user's named locks, is made sticky and open to all.
bool prepare_run_dir(const std::filesystem::path& dir, const std::filesystem::path& locks, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(dir.parent_path(), ec);
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = dir.string() + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = dir.string() + " is not a folder";
    return false;
  }
  if (st.st_uid != geteuid() && st.st_uid != 0) {
    *error = dir.string() + " belongs to user " + std::to_string(st.st_uid) +
             ", who could replace the sockets in it";
    return false;
  }
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    if (st.st_uid != geteuid() || chmod(dir.c_str(), 0755) != 0) {
      *error = dir.string() + " may be written by other users, who could replace the sockets in it";
      return false;
    }
    std::fprintf(stderr, "lorandd: %s could be written by other users; its mode is now 0755\n", dir.c_str());
  }
  if (mkdir(locks.c_str(), 01777) == 0) chmod(locks.c_str(), 01777);  // the umask must not narrow it
  return true;
}

// While lorandd holds its instance lock no other lorandd serves this run folder: whatever sits
// where its sockets go (a socket a killed daemon left, a plain file, another program's listener)
// is not a daemon's and is removed.
void clear_socket_path(const std::filesystem::path& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && unlink(path.c_str()) == 0)
    std::fprintf(stderr, "lorandd: removed %s, which no daemon served\n", path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path config_file = moxel::sysconf_dir() / "lorand.conf";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--foreground" || arg == "-f") continue;
    if (arg == "--config" && i + 1 < argc) {
      config_file = argv[++i];
    } else if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "lorandd: unknown argument '%s'\n", arg.c_str());
      usage(stderr);
      return 2;
    }
  }

  // Signals are taken by sigwait below; every thread started from here on inherits the block.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // Read once: every node is set up from the same contents, whatever happens to the file meanwhile.
  const moxel::ConfigData config = moxel::load_config(config_file);
  lorand::host::report_unusable_values(config, true);
  const std::filesystem::path state_dir = config.string("Host", "StateDir", "/var/lib/moxel/cncsim");
  const std::filesystem::path run_dir = moxel::run_dir();
  const std::filesystem::path socket_path = run_dir / "LORAND";
  const std::filesystem::path control_path = run_dir / "cncsim";

  gid_t group = gid_t(-1);
  mode_t mode = 0600;
  // The group can be given only by root or a member of it; a demo run by another user keeps 0600.
  auto may_give_group = [](gid_t gid) {
    if (geteuid() == 0 || getegid() == gid) return true;
    gid_t groups[256];
    const int n = getgroups(256, groups);
    for (int i = 0; i < n; ++i)
      if (groups[i] == gid) return true;
    return false;
  };
  if (const struct group* g = getgrnam("lorand"); g && may_give_group(g->gr_gid)) {
    group = g->gr_gid;
    mode = 0660;
  }
  if (const std::string* text = config.find("Host", "SocketMode")) {
    if (auto m = parse_mode(*text)) mode = *m;
    else std::fprintf(stderr, "lorandd: [Host] SocketMode=%s is not an octal mode from 0 to 0777; using %04o\n",
                      text->c_str(), unsigned(mode));
  }

  // Checked before anything is loaded: a second daemon must not touch the boards or the
  // simulator state of the one that runs.
  std::string error;
  if (!prepare_run_dir(run_dir, moxel::lock_dir(), &error)) {
    std::fprintf(stderr, "lorandd: cannot make the device socket: %s\n", error.c_str());
    return 1;
  }
  moxel::NamedLock instance("lorandd", run_dir, 0600);
  if (!instance.valid()) {
    std::fprintf(stderr, "lorandd: cannot make the device socket: %s/lorandd.lock cannot be opened: %s\n",
                 run_dir.c_str(), std::strerror(errno));
    return 1;
  }
  if (!instance.try_lock()) {
    std::fprintf(stderr, "lorandd: %s is served by another lorandd\n", socket_path.c_str());
    return 1;
  }
  clear_socket_path(socket_path);
  clear_socket_path(control_path);

  bool any_sim = false;
  for (uint32_t n = 0; n < lorand::kNodeSlots; ++n)
    any_sim |= lorand::host::HostPlatform::board_kind(config, n) == lorand::host::BoardKind::Sim &&
               config.dword("Parameters", "IoPortAddress" + std::to_string(n)) != 0;

  std::unique_ptr<cncsim::Simulator> simulator;
  if (any_sim) simulator = std::make_unique<cncsim::Simulator>(config, state_dir);
  auto sim_board = [&](uint32_t node, uint32_t base) -> lorand::PortIo& {
    return simulator->board(node, base);
  };

  lorand::host::HostPlatform platform(config_file, config, moxel::system_raw_ports(), sim_board);
  lorand::LnkDriver driver(platform);
  const lorand::NTSTATUS status = driver.DriverEntry(kRegistryPath);
  for (uint32_t n = 0; n < lorand::kNodeSlots; ++n) {
    const uint32_t port = config.dword("Parameters", "IoPortAddress" + std::to_string(n));
    if (port == 0) continue;
    const char* kind =
        lorand::host::HostPlatform::board_kind(config, n) == lorand::host::BoardKind::Sim ? "simulated" : "isa";
    if (const auto* node = driver.node(n)) {
      std::fprintf(stderr, "lorandd: node %u: %s board at 0x%X%s\n", n, kind, port,
                   node->node_state ? " is busy: unusable until restart (status 0xC0000184)" : "");
    } else {
      const std::string& why = platform.claim_error(n);
      std::fprintf(stderr, "lorandd: node %u: %s board at 0x%X skipped: %s\n", n, kind, port,
                   why.empty() ? "device could not be made" : why.c_str());
    }
  }
  if (status != lorand::STATUS_SUCCESS) {
    std::fprintf(stderr, "lorandd: no FLUX node came up (status 0x%08X); check IoPortAddress<n> in %s\n",
                 status, config_file.c_str());
    return 1;
  }

  // From here on names and types are read from the file as it is at each query.
  platform.follow_changes();

  lorand::host::Server server(driver);
  if (!server.listen(socket_path, mode, group, &error)) {
    std::fprintf(stderr, "lorandd: cannot make the device socket: %s\n", error.c_str());
    return 1;
  }
  if (simulator) {
    if (!simulator->start_control(control_path, mode, group, &error)) {
      std::fprintf(stderr, "lorandd: cannot make the simulator control socket: %s\n", error.c_str());
      return 1;
    }
  }
  std::fprintf(stderr, "lorandd: serving %s (mode %04o)\n", socket_path.c_str(), unsigned(mode));

  std::thread serving([&] { server.serve(); });
#ifdef MOXEL_HAVE_SYSTEMD
  sd_notify(0, "READY=1");
#endif
  int signal_number = 0;
  while (sigwait(&stop_signals, &signal_number) != 0) {
  }
  std::fprintf(stderr, "lorandd: %s, stopping\n", strsignal(signal_number));
#ifdef MOXEL_HAVE_SYSTEMD
  sd_notify(0, "STOPPING=1");
#endif
  server.stop();
  serving.join();
  if (simulator) simulator->stop();
  return 0;
}
