#include "platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace moxel {
namespace {

std::filesystem::path from_env(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return (value && *value) ? std::filesystem::path(value) : std::filesystem::path(fallback);
}

std::filesystem::path home_dir() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

}  // namespace

std::filesystem::path sysconf_dir() { return from_env("MOXEL_SYSCONFDIR", "/etc/moxel"); }

std::filesystem::path run_dir() { return from_env("MOXEL_RUNDIR", "/run/moxel"); }

std::filesystem::path lock_dir() { return run_dir() / "locks"; }

std::filesystem::path user_config_dir() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
    return std::filesystem::path(xdg) / "moxel";
  return home_dir() / ".config" / "moxel";
}

std::filesystem::path user_runtime_dir() {
  if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg) return xdg;
  return std::filesystem::path("/tmp") / ("moxel-" + std::to_string(getuid()));
}

}  // namespace moxel
