#pragma once
// kestrel32: the tray program that keeps one monitor thread per present FLUX node.
//
// CKestrelApp holds the program-wide state (single-instance lock, switches, open window count);
// CMainFrame owns the monitors, the tray icon and the windows the node threads open; CTrayIcon is
// the notification-area icon with its menu, or, where no tray host exists, a small window with the
// same three commands.
//
// Node threads never touch a widget: they ask the frame through queued calls to open a window and
// wait, checking their stop request, until it has closed (CQtBootWindows). The loading display is
// the boot screen window (CLoadingDlg); the boot dialog is CBootDlg, for which the blocked node
// thread runs the CNC work (RunBootConsole).
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <QWidget>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "kestrel/boot/boot_thread.h"
#include "kestrel/boot/node_state_check.h"
#include "platform/named_lock.h"

class QAction;
class QSocketNotifier;

namespace kestrel {

struct Switches {
  bool service_mode = false;  // -S
  bool auto_list = true;      // cleared by -R
};
// Exact, case-sensitive matches of each argument after the program name; others are ignored.
Switches ParseSwitches(const std::vector<std::string>& args);

class CKestrelApp {
 public:
  static constexpr const char* kInstanceLockName = "MOXEL Hearth Kestrel32 Mutex";
  static constexpr const char* kDriverMissingText =
      "CNC is not accessible.\nInstallation of FLUX driver (LORAND) is not success.\nBoot process will be aborted.";

  CKestrelApp();
  // False for a second copy of the same user: it ends silently.
  bool SingleInstance() const { return single_instance_; }

  Switches switches;
  std::atomic<int> open_windows{0};

 private:
  moxel::NamedLock lock_;
  bool single_instance_ = false;
};

class CMainFrame;
class CLoadingDlg;

class CQtBootWindows final : public IBootWindows {
 public:
  explicit CQtBootWindows(CMainFrame& frame) : frame_(frame) {}
  uint16_t RunBootDialog(CBootThread& thread) override;
  void RunLoadingDisplay(CBootThread& thread, int mode) override;

 private:
  CMainFrame& frame_;
};

class CTrayIcon : public QObject {
  Q_OBJECT
 public:
  // With a tray host the icon and its menu; without, the same commands in a small window (said
  // once on stderr).
  explicit CTrayIcon(CMainFrame& frame);
  ~CTrayIcon() override;
  QMenu& Menu() { return menu_; }
  void UpdateCommands();

 private:
  CMainFrame& frame_;
  QMenu menu_;
  QAction* open_ = nullptr;
  QAction* about_ = nullptr;
  QAction* end_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  QWidget* fallback_ = nullptr;
};

class CMainFrame : public QObject {
  Q_OBJECT
 public:
  CMainFrame(CKestrelApp& app, const CKestrelProfile& profile);
  ~CMainFrame() override;

  // One monitor per present node, titled "Node%d : %s".
  void StartMonitors();
  size_t MonitorCount() const { return monitors_.size(); }
  CKestrelApp& App() { return app_; }
  CTrayIcon& Tray() { return *tray_; }
  bool Ending() const { return ending_; }
  QWidget* StatusWindow() const { return status_; }
  QWidget* AboutBox() const { return about_; }

  // GUI thread: the boot screen window of a node; `closed` is set once it is gone.
  void OpenLoading(const std::shared_ptr<std::atomic<bool>>& closed,
                   const std::shared_ptr<QPointer<CLoadingDlg>>& window, int node, int mode,
                   const QString& title);
  // GUI thread: a node window counts as open (and "&End" is greyed) until it is destroyed.
  void CountOpenWindow(QObject* window);

 public slots:
  // "&End": nothing while a window is open; else stops every monitor, waits for them (serving the
  // node threads' questions meanwhile) and quits.
  void End();
  // Ends in the same order without the open-window rule (SIGTERM, logout).
  void Shutdown();
  // Command 106: a node's link was lost after its boot had begun.
  void OnLinkLost(int node);
  // "&Open": the status window, or the open one brought to the front.
  void OpenStatus();
  // "&About": the about box, or the open one brought to the front.
  void OpenAbout();
  // A single left click on the icon: only an open status window comes to the front.
  void RaiseStatus();

 private:
  CKestrelApp& app_;
  CDBusBroadcaster broadcaster_;
  CQtBootWindows windows_{*this};
  CNodeStateCheck state_check_;
  BootServices services_;
  std::vector<std::unique_ptr<CBootThread1>> monitors_;  // most recent first
  std::unique_ptr<CTrayIcon> tray_;
  QPointer<QWidget> status_;
  QPointer<QWidget> about_;
  bool ending_ = false;
  bool shut_down_ = false;
};

// From the start of the program on, SIGTERM, SIGINT and SIGHUP (logout) are caught and kept.
void CatchEndSignals();
// They become a queued Shutdown of the frame and the end of the event loop.
void EndOnSignals(CMainFrame& frame);

}  // namespace kestrel
