#include "applets/common/applet_support.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "applets/common/cpl.h"
#include "platform/config_store.h"
#include "platform/prompter.h"
#include "platform/qt/qt_prompter.h"

namespace moxel {

namespace {

void fill_info(const AppletDescription& applet, NEWCPLINFO* info) {
  std::memset(info, 0, sizeof *info);
  info->dwSize = sizeof *info;
  info->hIcon = applet.icon;
  std::snprintf(info->szName, sizeof info->szName, "%s", applet.name);
  std::snprintf(info->szInfo, sizeof info->szInfo, "%s", applet.info);
}

// Runs the dialog modally with the host's window as parent and message boxes on the screen. A host
// is expected to have made its QApplication; a host without one gets a private one for the
// dialog's lifetime.
void run_dialog(const AppletDescription& applet, void* host_window) {
  std::unique_ptr<QApplication> own_app;
  if (!QCoreApplication::instance()) {
    static int argc = 1;
    static char name[32];
    static char* argv[] = {name, nullptr};
    std::snprintf(name, sizeof name, "%s", applet.program);
    own_app = std::make_unique<QApplication>(argc, argv);
  } else if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
    std::fprintf(stderr, "%s: the host has no widget application; nothing shown\n",
                 applet.program);
    return;
  }
  auto* parent = static_cast<QWidget*>(host_window);
  Prompter* previous = &prompter();
  QtPrompter boxes(parent);
  set_prompter(&boxes);
  applet.run(parent);
  set_prompter(previous);
}

std::string user_name(uid_t uid) {
  if (uid == 0) return "root";
  if (const passwd* p = ::getpwuid(uid)) return "user \"" + std::string(p->pw_name) + "\"";
  return "user " + std::to_string(uid);
}

std::string group_name(gid_t gid) {
  if (const group* g = ::getgrgid(gid)) return g->gr_name;
  return std::to_string(gid);
}

}  // namespace

int32_t answer_applet_message(const AppletDescription& applet, void* hwndCPl, uint32_t uMsg,
                              intptr_t lParam1, intptr_t lParam2) {
  (void)lParam1;  // there is one applet, index 0
  switch (uMsg) {
    case CPL_INIT: return 1;
    case CPL_GETCOUNT: return 1;
    case CPL_INQUIRE: return 0;  // described by CPL_NEWINQUIRE instead
    case CPL_SELECT: return 1;
    case CPL_DBLCLK: run_dialog(applet, hwndCPl); return 0;
    case CPL_STOP: return 1;
    case CPL_EXIT: return 0;
    case CPL_NEWINQUIRE:
      if (lParam2) fill_info(applet, reinterpret_cast<NEWCPLINFO*>(lParam2));
      return 0;
    default: return 1;
  }
}

std::string config_write_refusal(const std::filesystem::path& file) {
  if (config_writable(file)) return {};
  // The store replaces the file through a new one in the same folder, so the folder decides.
  std::filesystem::path folder = file.parent_path().empty() ? "." : file.parent_path();
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0)
    return folder.string() + " cannot be used (" + std::strerror(errno) + ")";
  if (::access(folder.c_str(), W_OK | X_OK) == 0)
    return file.string() + " is write-protected";
  std::string who = "only " + user_name(st.st_uid);
  if (st.st_mode & S_IWGRP) who += " and the members of group \"" + group_name(st.st_gid) + "\"";
  return who + " may change the settings in " + folder.string();
}

}  // namespace moxel
