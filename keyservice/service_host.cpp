#include "keyservice/service_host.h"

#include <strings.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include "keyservice/vorkey_settings.h"
#include "platform/config_store.h"
#include "platform/paths.h"

namespace fs = std::filesystem;

namespace vorkey {
namespace {

constexpr char kExeSection[] = "vorkeyNT.EXE";
constexpr char kWants[] = "multi-user.target.wants";

fs::path unit_file(const Registration& r) { return r.unit_dir / kUnitName; }
fs::path unit_link(const Registration& r) { return r.unit_dir / kWants / kUnitName; }

void systemctl(const Registration& r, const std::string& args) {
  if (!r.notify_systemd) return;
  // The result does not matter: the files are what count, systemd reads them at the next boot.
  const std::string command = "systemctl " + args + " >/dev/null 2>&1";
  [[maybe_unused]] const int status = std::system(command.c_str());
}

bool uninstall(const Registration& r, const Messages& messages) {
  if (!service_installed(r)) return true;
  std::error_code ec;
  if (access(r.unit_dir.c_str(), W_OK) != 0) {
    messages("Couldn't open service manager");
    return false;
  }
  // The stop control, without waiting for the service to stop.
  systemctl(r, std::string("stop --no-block ") + kUnitName);
  fs::remove(unit_link(r), ec);
  if (!fs::remove(unit_file(r), ec) || ec) {
    messages("Service could not be deleted");
    return false;
  }
  systemctl(r, "daemon-reload");
  return true;
}

bool install(const Registration& r, const Messages& messages) {
  if (service_installed(r)) return true;
  std::error_code ec;
  fs::create_directories(r.unit_dir / kWants, ec);
  if (ec) {
    messages("Couldn't open service manager");
    return false;
  }
  {
    std::ofstream out(unit_file(r), std::ios::trunc);
    out << "[Unit]\n"
           "Description=VORKEY service\n"
           "Documentation=man:vorkeyd(8)\n"
           "Wants=lorandd.service\n"
           "After=lorandd.service\n\n"
           "[Service]\n"
           "Type=simple\n";
    // A demo or test root moved by the environment stays in force for the service.
    for (const char* name : {"MOXEL_SYSCONFDIR", "MOXEL_RUNDIR"})
      if (const char* value = std::getenv(name)) out << "Environment=" << name << "=" << value << "\n";
    out << "ExecStart=" << r.program.string() << "\n\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
    out.flush();
    if (!out) {
      out.close();
      fs::remove(unit_file(r), ec);
      messages("Couldn't create service");
      return false;
    }
  }
  fs::create_symlink(fs::path("..") / kUnitName, unit_link(r), ec);
  if (ec) {
    fs::remove(unit_file(r), ec);
    messages("Couldn't create service");
    return false;
  }
  systemctl(r, "daemon-reload");
  return true;
}

}  // namespace

std::string command_line(int argc, char** argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  return line;
}

Switch parse_switch(const std::string& line) {
  for (size_t at = line.find_first_of("-/"); at != std::string::npos;
       at = line.find_first_of("-/", at + 1)) {
    const std::string rest = line.substr(at + 1);
    if (strcasecmp(rest.c_str(), "UnregServer") == 0) return Switch::kUnregServer;
    if (strcasecmp(rest.c_str(), "RegServer") == 0) return Switch::kRegServer;
    if (strcasecmp(rest.c_str(), "Service") == 0) return Switch::kService;
  }
  return Switch::kNone;
}

Registration default_registration(const fs::path& program) {
  Registration r;
  r.appid_file = moxel::sysconf_dir() / "AppID.conf";
  r.unit_dir = moxel::sysconf_dir().parent_path() / "systemd" / "system";
  r.program = program;
  r.notify_systemd = r.unit_dir == "/etc/systemd/system";
  return r;
}

bool service_installed(const Registration& r) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(unit_file(r), ec));
}

int register_server(const Registration& r, bool service, const Messages& messages) {
  if (!uninstall(r, messages)) return 1;
  std::string error;
  const bool written = moxel::update_config(
      r.appid_file,
      [&](moxel::ConfigData& c) {
        c.set(kAppId, "Default", kAppName);
        c.set(kExeSection, "AppID", kAppId);
        c.erase(kAppId, "LocalService");
        c.erase(kAppId, "ServiceParameters");
        if (service) {
          c.set(kAppId, "LocalService", kAppName);
          c.set(kAppId, "ServiceParameters", "-Service");
        }
      },
      &error);
  if (!written) {
    messages("Couldn't write " + r.appid_file.string() + ": " + error);
    return 1;
  }
  if (service && !install(r, messages)) return 1;
  return 0;
}

int unregister_server(const Registration& r, const Messages& messages) {
  if (fs::exists(r.appid_file))
    moxel::update_config(r.appid_file, [](moxel::ConfigData& c) {
      for (const char* name : {"Default", "LocalService", "ServiceParameters"}) c.erase(kAppId, name);
      c.erase(kExeSection, "AppID");
    });
  uninstall(r, messages);
  return 0;
}

Registered registered(const Registration& r) {
  const moxel::ConfigData c = moxel::load_config(r.appid_file);
  if (!c.find(kAppId, "Default")) return Registered::kNo;
  return c.find(kAppId, "LocalService") ? Registered::kService : Registered::kServer;
}

bool started_by_systemd() { return std::getenv("INVOCATION_ID") != nullptr; }

HostOutput::HostOutput(bool service) : service_(service) {
  if (service_) openlog("vorkeyd", LOG_PID, LOG_DAEMON);
}

HostOutput::~HostOutput() {
  std::lock_guard lock(mutex_);
  flush_repeats();
  if (service_) closelog();
}

void HostOutput::log(const std::string& text) {
  if (service_) {
    syslog(LOG_INFO, "%s", text.c_str());
  } else {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  }
}

void HostOutput::message(const std::string& text) {
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (text == last_ && now - last_time_ < std::chrono::minutes(1)) {
    ++repeats_;
    return;
  }
  flush_repeats();
  last_ = text;
  last_time_ = now;
  if (service_)
    syslog(LOG_ERR, "%s: %s", kServiceTitle, text.c_str());
  else
    std::fprintf(stderr, "%s: %s\n", kServiceTitle, text.c_str());
}

void HostOutput::flush_repeats() {
  if (repeats_ == 0) return;
  if (service_)
    syslog(LOG_ERR, "%s: the last message came %u more times", kServiceTitle, repeats_);
  else
    std::fprintf(stderr, "%s: the last message came %u more times\n", kServiceTitle, repeats_);
  repeats_ = 0;
}

}  // namespace vorkey
