#pragma once
// The four roots under which every program keeps its files. Each may be moved by its environment
// variable so that tests and demo runs need no root and touch nothing outside their own folder.
#include <filesystem>

namespace moxel {

// Machine-wide configuration: $MOXEL_SYSCONFDIR, default /etc/moxel.
std::filesystem::path sysconf_dir();
// Runtime objects shared by all users (device socket, locks, events): $MOXEL_RUNDIR, default /run/moxel.
std::filesystem::path run_dir();
// Per-user configuration: $XDG_CONFIG_HOME/moxel, default ~/.config/moxel.
std::filesystem::path user_config_dir();
// Per-user runtime objects (single-instance locks): $XDG_RUNTIME_DIR, default /tmp/moxel-<uid>.
std::filesystem::path user_runtime_dir();

}  // namespace moxel
