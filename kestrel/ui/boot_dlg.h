#pragma once
// CBootDlg: the boot dialog of one node, and RunBootConsole, which runs it for the node's thread.
//
// The dialog lives on the GUI thread; the node's CNC work runs on the node thread, which is blocked
// in RunBootConsole for as long as the dialog is open and serves as the dialog's worker: each
// button posts a job (the dialog disabled and the wait cursor shown meanwhile), the node thread
// runs it on the node's CBootConsole and hands back a snapshot of the console (boards, tab, module
// list, files, buttons) with whatever the GUI is to do next. While no job runs the node thread
// checks the link every 500 ms. Progress (log, status, progress bar) reaches the dialog through
// queued calls; questions and messages go through the thread's prompter. So two nodes' dialogs
// work at once and none freezes the other.
//
// An interface fault in any job is shown once (HandleItfError; a lost link pops the status window
// up through the thread's link_lost), then an open sub-dialog and the boot dialog end with result
// 3. When the dialog has ended the console's Close runs on the node thread and its status is what
// RunBootConsole returns. A stop request of the thread closes the dialog at once (no Close then:
// the program is ending and waits for nothing).
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QTabBar>
#include <QTreeWidget>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kestrel/console/boot_console.h"
#include "kestrel/console/transfers.h"
#include "kestrel/ui/node_worker.h"

namespace kestrel {

class CBootThread;
class CBootDlg;
struct Switches;

// What the GUI shows of the console after a job.
struct ConsoleSnapshot {
  std::vector<std::string> boards;
  int board = -1;
  ConsoleTab tab = ConsoleTab::system_data;
  std::array<ConsoleButton, 5> buttons{};
  std::vector<std::string> modules;
  int module = -1;
  std::vector<FileRow> files;
  StoreSettings store;
};
ConsoleSnapshot TakeSnapshot(const CBootConsole& console);

// What the GUI does with a job's result (GUI thread).
using GuiStep = std::function<void(CBootDlg&)>;
// A piece of CNC work (node thread); returns the GUI's next step, or none.
using ConsoleJob = std::function<GuiStep(CBootConsole&, ConsoleContext&)>;

// Shared by the dialog (GUI thread) and the node thread for one run of the dialog.
struct BootSession : std::enable_shared_from_this<BootSession> {
  CNodeWorker worker;
  // Copied from the program's switches whenever the dialog posts a job.
  std::atomic<bool> service_mode{false};
  std::atomic<bool> auto_list{true};
  QObject* gui = nullptr;      // the GUI-thread object the node thread posts to
  QPointer<CBootDlg> dialog;   // GUI thread only
  // Node thread only, while RunBootConsole runs.
  CBootConsole* console = nullptr;
  ConsoleContext* ctx = nullptr;
  std::function<void()> link_lost;
  bool fatal = false;

  // Node thread: runs `step` on the dialog on the GUI thread (nothing once the dialog is gone).
  void Gui(GuiStep step);
  // Node thread: runs `job`, then hands the snapshot, the end of the job (CBootDlg::JobDone with
  // `counted`, `busy`, `focus`) and the next step to the GUI; an interface fault ends the dialog.
  void RunJob(const ConsoleJob& job, bool counted, QPointer<QWidget> busy, QPointer<QWidget> focus);
  void Fatal(const CItfErr& error);
};

struct BootDialogHost {
  QObject* gui = nullptr;          // on the GUI thread; outlives the call
  Switches* switches = nullptr;    // the program's (service mode, auto-list); GUI thread only
  // GUI thread: the dialog has been made (the program counts it as an open window).
  std::function<void(CBootDlg*)> opened;
  int link_check_ms = 500;
};

// The node thread: opens the boot dialog for `thread`, serves it until it ends and runs the
// console's Close. Close's status (0xFFFF when it failed or did not run).
uint16_t RunBootConsole(CBootThread& thread, const BootDialogHost& host);

class CBootDlg : public QDialog {
  Q_OBJECT
 public:
  CBootDlg(std::shared_ptr<BootSession> session, const QString& title, Switches* switches,
           QWidget* parent = nullptr);
  ~CBootDlg() override;

  // From the node thread (GUI thread calls).
  void Show(const ConsoleSnapshot& snapshot);
  void EndFatal();
  void SetLog(const QString& text);
  void SetStatus(const QString& text);
  void SetProgressRange(int range);
  void SetProgress(int position);
  // The end of a job started with Act: `busy` enabled again, the focus back on `focus`.
  void JobDone(bool counted, QWidget* busy, QWidget* focus);

  // Posts `job` with `busy` (this dialog or a sub-dialog) disabled and the wait cursor over it
  // until the job has ended; `focus` gets the focus back. A null `busy` runs the job quietly.
  void Act(QWidget* busy, QWidget* focus, ConsoleJob job);

  QComboBox* Boards() { return boards_; }
  QTabBar* Tabs() { return tabs_; }
  QListWidget* Modules() { return modules_; }
  QTreeWidget* Files() { return files_; }
  QLabel* Log() { return log_; }
  QLabel* ProgressText() { return progress_text_; }
  QPushButton* Action(int index) { return actions_[index]; }
  QPushButton* SettingsButton() { return settings_; }
  QPushButton* AboutButton() { return about_; }
  QPushButton* CloseButton() { return close_; }
  // The sub-dialog now open (load, copy, text, location, about), or null.
  QDialog* Child() const { return child_; }
  // Jobs posted and not yet ended.
  int Busy() const { return busy_; }

  void done(int result) override;

 private:
  void OnAction(int index);
  void OnTab(int index);
  void OnBoard(int index);
  void OnModuleRow(int row);
  void OnSettings();
  void OnAbout();
  void OpenChild(QDialog* child);
  void OpenLoad();
  void OpenCopy(const SavePlan& plan);

  std::shared_ptr<BootSession> session_;
  Switches* switches_;
  ConsoleSnapshot shown_;
  bool shown_once_ = false;
  int busy_ = 0;
  bool ended_ = false;
  QPointer<QDialog> child_;

  QComboBox* boards_;
  QTabBar* tabs_;
  QListWidget* modules_;
  QTreeWidget* files_;
  QLabel* log_;
  QLabel* progress_text_;
  std::array<QPushButton*, 5> actions_{};
  QPushButton* settings_;
  QPushButton* about_;
  QPushButton* close_;
};

}  // namespace kestrel
