#pragma once
// The roots under which every program keeps its files. Each may be moved by its environment
// variable so that tests and demo runs need no root and touch nothing outside their own folder.
#include <filesystem>

namespace moxel {

// Machine-wide configuration: $MOXEL_SYSCONFDIR, default /etc/moxel.
std::filesystem::path sysconf_dir();
// Runtime objects of the daemon (device socket, simulator control socket): $MOXEL_RUNDIR, default
// /run/moxel. Only root (or the daemon's own user) may write there, so nobody else can put a socket
// of their own where programs look for the daemon's.
std::filesystem::path run_dir();
// Objects every user's programs make and share (named locks, events): the folder "locks" in the
// run folder, sticky and open to all like /tmp, so that no user can remove another's files.
std::filesystem::path lock_dir();
// Per-user configuration: $XDG_CONFIG_HOME/moxel, default ~/.config/moxel.
std::filesystem::path user_config_dir();
// Per-user runtime objects (single-instance locks): $XDG_RUNTIME_DIR, default /tmp/moxel-<uid>.
std::filesystem::path user_runtime_dir();

}  // namespace moxel
