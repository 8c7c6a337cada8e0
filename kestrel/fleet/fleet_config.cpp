#include "kestrel/fleet/fleet_config.h"

#include <unistd.h>

#include "platform/config_store.h"
#include "platform/paths.h"

namespace kestrel::fleet {

std::filesystem::path fleet_config_file() { return moxel::sysconf_dir() / "fleet-backup.conf"; }

FleetConfig load_fleet_config(const std::filesystem::path& file) {
  const moxel::ConfigData data = moxel::load_config(file);
  FleetConfig c;
  c.program = data.string("Restic", "Program", c.program);
  c.host = data.string("Restic", "Host");
  if (c.host.empty()) {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) == 0) c.host = name;
  }
  c.staging = data.string("Restic", "Staging", c.staging.string());
  // A time-out of 0 would fail every run at once: it takes the default.
  const uint32_t timeout = data.dword("Restic", "TimeOut", uint32_t(c.timeout.count()));
  if (timeout > 0) c.timeout = std::chrono::seconds(timeout);
  c.keep_last = data.dword("Restic", "KeepLast", c.keep_last);
  c.keep_daily = data.dword("Restic", "KeepDaily", c.keep_daily);
  c.keep_weekly = data.dword("Restic", "KeepWeekly", c.keep_weekly);
  c.keep_monthly = data.dword("Restic", "KeepMonthly", c.keep_monthly);
  return c;
}

}  // namespace kestrel::fleet
