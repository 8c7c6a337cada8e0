#pragma once
// CLoadingDlg: the boot screen window of one node. It shows the CNC's 80 x 25 text screen while
// the boot software runs and types the PC's keys into it; the requests are served by the poll
// thread of LoadingScreen (kestrel/bootscreen), which hands each screen update to this window's
// GUI thread and waits for it. The GUI thread never waits for the CNC beyond one memory access.
//
// Results: 0 when the CNC ended the screen (after its state word shows the running system, at
// most 30 seconds), 3 on the state word in mode 1, an interface error or a failed start.
#include <QDialog>
#include <QFont>
#include <QTimer>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "kestrel/bootscreen/loading_screen.h"

namespace kestrel {

// The virtual-key code of a Qt key (the codes the boot screen translates); 0 for keys without one.
int VirtualKeyOf(int qt_key, Qt::KeyboardModifiers modifiers);

class CLoadingDlg : public QDialog {
  Q_OBJECT
 public:
  using Reporter = std::function<void(const CItfErr&)>;

  // `reporter` shows an interface error of the poll thread (on destruction) or of the start; the
  // default shows the error's text in a message box (nothing for a lost link).
  CLoadingDlg(int node, int mode, const QString& app_title, const QString& owner_title,
              QWidget* parent = nullptr, Reporter reporter = {});
  ~CLoadingDlg() override;

  LoadingScreen* Screen() { return screen_.get(); }
  QSize CellSize() const { return {cell_width_, cell_height_}; }

 protected:
  void paintEvent(QPaintEvent*) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool event(QEvent* event) override;
  void done(int result) override;

 private:
  void RedrawOnGuiThread();
  void Ended(int result);
  void Shutdown();

  Reporter reporter_;
  std::unique_ptr<LoadingScreen> screen_;
  ScreenImage shown_{};
  QFont font_;
  int cell_width_ = 8, cell_height_ = 16;
  QTimer running_timer_;
  int running_waited_ms_ = 0;

  std::mutex redraw_mutex_;
  std::condition_variable redraw_cv_;
  bool redraw_pending_ = false;
  bool closing_ = false;
};

}  // namespace kestrel
