#include "kestrel/ui/kestrel_app.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>

#include "cnbusclient/cnbus_client.h"
#include "kestrel/ui/about_dlg.h"
#include "kestrel/ui/boot_dlg.h"
#include "kestrel/ui/loading_dlg.h"
#include "kestrel/ui/status_dlg.h"
#include "platform/paths.h"

namespace kestrel {

Switches ParseSwitches(const std::vector<std::string>& args) {
  Switches s;
  for (const std::string& a : args) {
    if (a == "-S") s.service_mode = true;
    if (a == "-R") s.auto_list = false;
  }
  return s;
}

static std::filesystem::path InstanceLockFolder() {
  std::error_code ec;
  std::filesystem::create_directories(moxel::user_runtime_dir(), ec);
  return moxel::user_runtime_dir();
}

CKestrelApp::CKestrelApp() : lock_(kInstanceLockName, InstanceLockFolder()) {
  single_instance_ = lock_.valid() && lock_.try_lock();
}

// --- the windows the node threads open ---

uint16_t CQtBootWindows::RunBootDialog(CBootThread& thread) {
  BootDialogHost host;
  host.gui = &frame_;
  host.switches = &frame_.App().switches;
  CMainFrame* frame = &frame_;
  host.opened = [frame](CBootDlg* dlg) { frame->CountOpenWindow(dlg); };
  return RunBootConsole(thread, host);
}

void CQtBootWindows::RunLoadingDisplay(CBootThread& thread, int mode) {
  // The boot screen window serves the CNC's screen and key requests on a poll thread of its own and
  // ends itself (end request, state word in mode 1, interface error, the user closing it); this
  // node thread waits for it to close, or closes it when the program ends.
  auto closed = std::make_shared<std::atomic<bool>>(false);
  auto window = std::make_shared<QPointer<CLoadingDlg>>();
  const QString title = QString::fromStdString(thread.Title());
  const int node = thread.Node();
  CMainFrame* frame = &frame_;
  QMetaObject::invokeMethod(
      frame, [frame, closed, window, node, mode, title] { frame->OpenLoading(closed, window, node, mode, title); },
      Qt::QueuedConnection);
  while (!closed->load() && !thread.Stop().WaitFor(thread.Services().poll_ms)) {
  }
  QMetaObject::invokeMethod(
      frame, [window] { if (*window) (*window)->reject(); }, Qt::QueuedConnection);
}

// --- tray icon ---

CTrayIcon::CTrayIcon(CMainFrame& frame) : frame_(frame) {
  open_ = menu_.addAction("&Open");
  QFont bold = open_->font();
  bold.setBold(true);
  open_->setFont(bold);
  menu_.setDefaultAction(open_);
  about_ = menu_.addAction("&About");
  menu_.addSeparator();
  end_ = menu_.addAction("&End");
  connect(about_, &QAction::triggered, &frame_, &CMainFrame::OpenAbout);
  connect(open_, &QAction::triggered, &frame_, &CMainFrame::OpenStatus);
  connect(end_, &QAction::triggered, &frame_, &CMainFrame::End);
  connect(&menu_, &QMenu::aboutToShow, this, &CTrayIcon::UpdateCommands);

  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_ = new QSystemTrayIcon(this);
    tray_->setIcon(QApplication::style() ? QIcon::fromTheme("computer") : QIcon());
    tray_->setToolTip("MOXEL Hearth");
    tray_->setContextMenu(&menu_);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
      if (why == QSystemTrayIcon::DoubleClick) frame_.OpenStatus();
      if (why == QSystemTrayIcon::Trigger) frame_.RaiseStatus();
    });
    tray_->show();
    return;
  }
  std::fprintf(stderr, "kestrel32: no system tray; its commands are in a small window instead\n");
  fallback_ = new QWidget;
  fallback_->setWindowTitle("Kestrel32");
  auto* layout = new QVBoxLayout(fallback_);
  for (QAction* action : {open_, about_, end_}) {
    auto* button = new QPushButton(action->text(), fallback_);
    button->setObjectName(action->text());
    button->setEnabled(action->isEnabled());
    connect(button, &QPushButton::clicked, action, &QAction::trigger);
    connect(action, &QAction::changed, button, [button, action] { button->setEnabled(action->isEnabled()); });
    layout->addWidget(button);
  }
  fallback_->show();
}

CTrayIcon::~CTrayIcon() { delete fallback_; }

void CTrayIcon::UpdateCommands() { end_->setEnabled(frame_.App().open_windows.load() == 0); }

// --- main frame ---

CMainFrame::CMainFrame(CKestrelApp& app, const CKestrelProfile& profile) : app_(app) {
  services_.windows = &windows_;
  services_.state_check = &state_check_;
  services_.broadcaster = &broadcaster_;
  services_.profile = profile;
  services_.link_lost = [this](int node) {
    QMetaObject::invokeMethod(this, [this, node] { OnLinkLost(node); }, Qt::QueuedConnection);
  };
  tray_ = std::make_unique<CTrayIcon>(*this);
  connect(qApp, &QCoreApplication::aboutToQuit, this, &CMainFrame::Shutdown);
}

CMainFrame::~CMainFrame() { Shutdown(); }

void CMainFrame::StartMonitors() {
  cnbus::CCnbusClient client;
  for (int node = 0; node < client.GetNodeCount(); ++node) {
    if (!client.IsNodePresent(node) || !client.SelectNode(node)) continue;
    char title[64];
    std::snprintf(title, sizeof title, "Node%d : ", node);
    auto monitor = std::make_unique<CBootThread1>(services_);
    monitor->SetNode(node, title + client.GetNodeName());
    monitor->Start();
    monitors_.insert(monitors_.begin(), std::move(monitor));
  }
}

void CMainFrame::CountOpenWindow(QObject* window) {
  ++app_.open_windows;
  tray_->UpdateCommands();
  connect(window, &QObject::destroyed, this, [this] {
    --app_.open_windows;
    tray_->UpdateCommands();
  });
}

void CMainFrame::OpenLoading(const std::shared_ptr<std::atomic<bool>>& closed,
                             const std::shared_ptr<QPointer<CLoadingDlg>>& window, int node, int mode,
                             const QString& title) {
  if (shut_down_) {
    *closed = true;
    return;
  }
  auto* dlg = new CLoadingDlg(node, mode, "Kestrel32", title);
  dlg->setAttribute(Qt::WA_DeleteOnClose);
  *window = dlg;
  CountOpenWindow(dlg);
  connect(dlg, &QObject::destroyed, this, [closed] { *closed = true; });
  dlg->show();
}

void CMainFrame::OnLinkLost(int) {
  if (services_.profile.GetInt(CKestrelProfile::kProgramSection, "PopUpStatus", 1) != 0) OpenStatus();
}

void CMainFrame::OpenStatus() {
  if (shut_down_) return;
  if (!status_) {
    auto* dlg = new CStatusDlg(services_.profile, &app_.open_windows, &app_.switches);
    dlg->setAttribute(Qt::WA_DeleteOnClose);
    connect(dlg, &QObject::destroyed, this, [this] { tray_->UpdateCommands(); });
    status_ = dlg;
    tray_->UpdateCommands();
    dlg->show();
  }
  RaiseStatus();
}

void CMainFrame::OpenAbout() {
  if (shut_down_) return;
  if (!about_) {
    auto* dlg = new CAboutDlg(app_.switches);
    dlg->setAttribute(Qt::WA_DeleteOnClose);
    about_ = dlg;
    dlg->show();
  }
  about_->raise();
  about_->activateWindow();
}

void CMainFrame::RaiseStatus() {
  if (!status_) return;
  status_->raise();
  status_->activateWindow();
}

void CMainFrame::End() {
  if (app_.open_windows.load() > 0 || ending_) return;
  ending_ = true;
  Shutdown();
  QCoreApplication::quit();
}

void CMainFrame::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  for (auto& m : monitors_) m->RequestStop();
  // The node threads may be waiting for this thread (a message box): serve them until each
  // monitor has ended.
  auto all_done = [this] {
    for (auto& m : monitors_)
      if (!m->Finished()) return false;
    return true;
  };
  while (!all_done()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(10);
  }
  for (auto& m : monitors_) m->Join();
  monitors_.clear();
}

// --- signals ---

namespace {
int signal_pipe[2] = {-1, -1};
void OnSignal(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t n = write(signal_pipe[1], &byte, 1);
}
}  // namespace

void CatchEndSignals() {
  if (signal_pipe[0] >= 0 || pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction sa = {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
}

void EndOnSignals(CMainFrame& frame) {
  CatchEndSignals();
  if (signal_pipe[0] < 0) return;
  // A signal caught before this point waits in the pipe and is served once the loop runs.
  auto* notifier = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, &frame);
  QObject::connect(notifier, &QSocketNotifier::activated, &frame, [&frame] {
    char byte;
    while (read(signal_pipe[0], &byte, 1) > 0) {
    }
    frame.Shutdown();
    QCoreApplication::quit();
  });
}

}  // namespace kestrel
