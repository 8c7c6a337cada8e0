#include "kestrel/ui/loading_dlg.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPainter>
#include <algorithm>

namespace kestrel {
namespace {

constexpr int kRunningPollMs = 100;
constexpr int kRunningLimitMs = 30000;

void ShowError(QWidget* parent, const CItfErr& e) {
  if (!e.text().empty()) QMessageBox::critical(parent, QString(), QString::fromStdString(e.text()));
}

}  // namespace

int VirtualKeyOf(int key, Qt::KeyboardModifiers modifiers) {
  if ((modifiers & Qt::KeypadModifier) && key >= Qt::Key_0 && key <= Qt::Key_9) return 96 + key - Qt::Key_0;
  switch (key) {
    case Qt::Key_Backspace: return 8;
    case Qt::Key_Tab: return 9;
    case Qt::Key_Return:
    case Qt::Key_Enter: return 13;
    case Qt::Key_Shift: return 16;
    case Qt::Key_Control: return 17;
    case Qt::Key_Alt: return 18;
    case Qt::Key_Escape: return 27;
    case Qt::Key_Space: return 32;
    case Qt::Key_PageUp: return 33;
    case Qt::Key_PageDown: return 34;
    case Qt::Key_End: return 35;
    case Qt::Key_Home: return 36;
    case Qt::Key_Left: return 37;
    case Qt::Key_Up: return 38;
    case Qt::Key_Right: return 39;
    case Qt::Key_Down: return 40;
    case Qt::Key_Insert: return 45;
    case Qt::Key_Delete: return 46;
    default: break;
  }
  if (key >= Qt::Key_F1 && key <= Qt::Key_F24) return 0x70 + key - Qt::Key_F1;
  if ((key >= Qt::Key_A && key <= Qt::Key_Z) || (key >= Qt::Key_0 && key <= Qt::Key_9)) return key;
  return 0;
}

CLoadingDlg::CLoadingDlg(int node, int mode, const QString& app_title, const QString& owner_title,
                         QWidget* parent, Reporter reporter)
    : QDialog(parent), reporter_(reporter ? std::move(reporter) : Reporter([this](const CItfErr& e) { ShowError(this, e); })) {
  setWindowTitle(app_title + " - " + owner_title);
  font_ = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font_.setPointSize(9);
  const QFontMetrics metrics(font_);
  const int extent = metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  cell_width_ = std::max({(extent / 26 + 1) / 2, metrics.horizontalAdvance('W'), 1});
  cell_height_ = std::max(metrics.height(), 1);
  setFixedSize(kScreenColumns * cell_width_, kScreenLines * cell_height_);
  setFocusPolicy(Qt::StrongFocus);

  LoadingScreen::Hooks hooks;
  hooks.redraw = [this] {
    std::unique_lock lock(redraw_mutex_);
    if (closing_) return;
    redraw_pending_ = true;
    QMetaObject::invokeMethod(this, &CLoadingDlg::RedrawOnGuiThread, Qt::QueuedConnection);
    redraw_cv_.wait(lock, [this] { return !redraw_pending_ || closing_; });
  };
  hooks.ended = [this](int result) {
    QMetaObject::invokeMethod(this, [this, result] { Ended(result); }, Qt::QueuedConnection);
  };
  hooks.report = [this](const CItfErr& e) { reporter_(e); };
  try {
    screen_ = std::make_unique<LoadingScreen>(node, mode, std::move(hooks));
    screen_->Start();
    shown_ = screen_->Shadow();
  } catch (const CItfErr& e) {
    screen_.reset();
    reporter_(e);
    QMetaObject::invokeMethod(this, [this] { QDialog::done(3); }, Qt::QueuedConnection);
  }

  running_timer_.setInterval(kRunningPollMs);
  connect(&running_timer_, &QTimer::timeout, this, [this] {
    running_waited_ms_ += kRunningPollMs;
    bool running = false;
    try {
      running = screen_->WaitRunning(0);
    } catch (const CItfErr&) {
      running = true;  // the link is gone: nothing more to wait for
    }
    if (running || running_waited_ms_ >= kRunningLimitMs) {
      running_timer_.stop();
      QDialog::done(0);
    }
  });
}

CLoadingDlg::~CLoadingDlg() { Shutdown(); }

void CLoadingDlg::Shutdown() {
  {
    std::lock_guard lock(redraw_mutex_);
    closing_ = true;
  }
  redraw_cv_.notify_all();
  running_timer_.stop();
  screen_.reset();  // stops the poll thread and reports its recorded error
}

void CLoadingDlg::done(int result) {
  {
    std::lock_guard lock(redraw_mutex_);
    closing_ = true;
  }
  redraw_cv_.notify_all();
  if (screen_) screen_->Stop();
  running_timer_.stop();
  QDialog::done(result);
}

void CLoadingDlg::RedrawOnGuiThread() {
  std::vector<int> lines;
  {
    std::lock_guard lock(redraw_mutex_);
    if (closing_ || !redraw_pending_) return;
  }
  try {
    lines = screen_->RedrawChanged();
  } catch (const CItfErr&) {
    // The poll thread meets the same fault at its next access and records it.
  }
  shown_ = screen_->Shadow();
  for (int line : lines) update(0, line * cell_height_, width(), cell_height_);
  {
    std::lock_guard lock(redraw_mutex_);
    redraw_pending_ = false;
  }
  redraw_cv_.notify_all();
}

void CLoadingDlg::Ended(int result) {
  if (result == LoadingScreen::kEnded) {
    running_waited_ms_ = 0;
    running_timer_.start();
    return;
  }
  done(result);
}

void CLoadingDlg::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setFont(font_);
  const QColor black(0, 0, 0), grey(0xC0, 0xC0, 0xC0), white(0xFF, 0xFF, 0xFF);
  painter.fillRect(rect(), black);
  const int ascent = QFontMetrics(font_).ascent();
  for (int line = 0; line < kScreenLines; ++line) {
    const uint8_t* p = shown_.data() + line * kLineBytes;
    for (int c = 0; c < kScreenColumns && p[2 * c] != 0; ++c) {
      const uint8_t attr = p[2 * c + 1];
      const bool reverse = (attr & kAttrReverse) != 0;
      const bool intense = (attr & kAttrIntense) != 0;
      const QRect cell(c * cell_width_, line * cell_height_, cell_width_, cell_height_);
      if (reverse) painter.fillRect(cell, intense ? white : grey);
      painter.setPen(reverse ? black : intense ? white : grey);
      painter.drawText(cell.x(), cell.y() + ascent, QString(QChar(p[2 * c])));
    }
  }
}

bool CLoadingDlg::event(QEvent* event) {
  // Every key goes to the CNC: Tab does not move the focus, Enter and Esc do not close the window.
  if (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride) {
    if (event->type() == QEvent::KeyPress) keyPressEvent(static_cast<QKeyEvent*>(event));
    event->accept();
    return true;
  }
  return QDialog::event(event);
}

void CLoadingDlg::keyPressEvent(QKeyEvent* event) {
  if (screen_) {
    if (const int vk = VirtualKeyOf(event->key(), event->modifiers())) screen_->KeyDown(vk);
  }
  event->accept();
}

}  // namespace kestrel
