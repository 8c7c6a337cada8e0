#include "platform/qt/qt_prompter.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

namespace moxel {
namespace {

QMessageBox::StandardButton to_qt(Answer a) {
  switch (a) {
    case Answer::ok: return QMessageBox::Ok;
    case Answer::cancel: return QMessageBox::Cancel;
    case Answer::yes: return QMessageBox::Yes;
    case Answer::no: return QMessageBox::No;
    case Answer::retry: return QMessageBox::Retry;
  }
  return QMessageBox::Ok;
}

Answer from_qt(int b) {
  switch (b) {
    case QMessageBox::Cancel: return Answer::cancel;
    case QMessageBox::Yes: return Answer::yes;
    case QMessageBox::No: return Answer::no;
    case QMessageBox::Retry: return Answer::retry;
    default: return Answer::ok;
  }
}

QMessageBox::StandardButtons buttons_of(Buttons b) {
  switch (b) {
    case Buttons::ok: return QMessageBox::Ok;
    case Buttons::ok_cancel: return QMessageBox::Ok | QMessageBox::Cancel;
    case Buttons::yes_no: return QMessageBox::Yes | QMessageBox::No;
    case Buttons::yes_no_cancel: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case Buttons::retry_cancel: return QMessageBox::Retry | QMessageBox::Cancel;
  }
  return QMessageBox::Ok;
}

QMessageBox::Icon icon_of(Icon i) {
  switch (i) {
    case Icon::none: return QMessageBox::NoIcon;
    case Icon::information: return QMessageBox::Information;
    case Icon::exclamation: return QMessageBox::Warning;
    case Icon::stop: return QMessageBox::Critical;
    case Icon::question: return QMessageBox::Question;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

QtPrompter::QtPrompter(QWidget* parent_window) : window_(parent_window) {}

Answer QtPrompter::ask(const std::string& caption, const std::string& text, Buttons buttons,
                       Icon icon, Answer preset) {
  if (QThread::currentThread() == thread()) return show(caption, text, buttons, icon, preset);
  Answer answer = preset;
  QMetaObject::invokeMethod(
      this, [&] { answer = show(caption, text, buttons, icon, preset); },
      Qt::BlockingQueuedConnection);
  return answer;
}

Answer QtPrompter::show(const std::string& caption, const std::string& text, Buttons buttons,
                        Icon icon, Answer preset) {
  QMessageBox box(icon_of(icon), QString::fromStdString(caption), QString::fromStdString(text),
                  buttons_of(buttons), window_);
  box.setDefaultButton(to_qt(preset));
  return from_qt(box.exec());
}

void QtPrompter::beep() {
  if (QThread::currentThread() == thread())
    QApplication::beep();
  else
    QMetaObject::invokeMethod(this, [] { QApplication::beep(); }, Qt::QueuedConnection);
}

}  // namespace moxel
