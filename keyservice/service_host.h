#pragma once
// The host of the service build (vorkeyd) on Linux: its command-line switches, the registration
// values and the systemd unit that the install switches write and remove, the log (the journal as
// a service, standard output from a shell) and the messages the old program showed in boxes.
//
// Files:
//   $MOXEL_SYSCONFDIR/AppID.conf   the registration values: section [{5C0D7A42-...}] with Default
//                                  and, registered as a service, LocalService and
//                                  ServiceParameters; section [vorkeyNT.EXE] with AppID
//   <unit folder>/vorkeyd.service  the unit, and its link in multi-user.target.wants/ (enabled:
//                                  started at boot). The unit folder is the systemd/system folder
//                                  beside the configuration root: /etc/systemd/system for
//                                  /etc/moxel.
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>

namespace vorkey {

inline constexpr char kAppId[] = "{5C0D7A42-2B6E-4F13-9A52-7E18C3D04B96}";
inline constexpr char kAppName[] = "vorkeyNT";
inline constexpr char kUnitName[] = "vorkeyd.service";

enum class Switch { kNone, kUnregServer, kRegServer, kService };

// The command line as one text: the arguments joined by blanks.
std::string command_line(int argc, char** argv);
// Searches the command line for the next "-" or "/" and compares the rest of the line, without
// regard to case, with the switches; a switch counts only as the last thing on the line.
Switch parse_switch(const std::string& line);

using Messages = std::function<void(const std::string&)>;

struct Registration {
  std::filesystem::path appid_file;
  std::filesystem::path unit_dir;
  std::filesystem::path program;  // the program file the unit starts
  // Tell the running systemd about changes (only for the machine's own unit folder).
  bool notify_systemd = false;
};
// The registration of `program` under the configuration root.
Registration default_registration(const std::filesystem::path& program);

// -RegServer (service = false) and -Service (service = true): removes an installed service, writes
// the values, and for a service installs the unit. 0 on success, else 1 (the failure was shown).
int register_server(const Registration& r, bool service, const Messages& messages);
// -UnregServer: removes the values and the unit. Always 0.
int unregister_server(const Registration& r, const Messages& messages);
bool service_installed(const Registration& r);

// What a run finds: not registered at all (the run ends), registered as local server, or as a
// service.
enum class Registered { kNo, kServer, kService };
Registered registered(const Registration& r);

// True when systemd started this process (its unit environment is there).
bool started_by_systemd();

// The service's log and message texts: to the journal (syslog) as a service, else to standard
// output (log) and standard error (messages). A message repeated tick after tick is written once a
// minute, with the number of repeats when a different one follows.
class HostOutput {
 public:
  explicit HostOutput(bool service);
  ~HostOutput();
  void log(const std::string& text);
  void message(const std::string& text);

 private:
  void flush_repeats();
  bool service_;
  std::mutex mutex_;
  std::string last_;
  std::chrono::steady_clock::time_point last_time_;
  unsigned repeats_ = 0;
};

}  // namespace vorkey
