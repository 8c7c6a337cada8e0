#pragma once
// The Prompter of the Qt programs: QMessageBox and QApplication::beep. A call from a thread other
// than the GUI thread shows the box on the GUI thread and waits there for the answer, so node
// threads can ask the operator without touching widgets themselves.
#include <QObject>

#include "platform/prompter.h"

class QWidget;

namespace moxel {

class QtPrompter : public QObject, public Prompter {
  Q_OBJECT
 public:
  // `parent_window` (may be null) is the window the boxes are modal to.
  explicit QtPrompter(QWidget* parent_window = nullptr);
  void set_parent_window(QWidget* w) { window_ = w; }

  Answer ask(const std::string& caption, const std::string& text, Buttons buttons, Icon icon,
             Answer preset) override;
  void beep() override;

 private:
  Answer show(const std::string& caption, const std::string& text, Buttons buttons, Icon icon,
              Answer preset);
  QWidget* window_;
};

}  // namespace moxel
