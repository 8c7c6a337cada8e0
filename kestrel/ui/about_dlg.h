#pragma once
// The about box: program name, "Version %d.%02d" of the program's version, and the "&Service"
// button that switches service mode over at once (the "Service mode" label shows while it is on).
#include <QDialog>
#include <QLabel>
#include <QPushButton>

namespace kestrel {

struct Switches;

class CAboutDlg : public QDialog {
  Q_OBJECT
 public:
  // The program's own version (from the build).
  static QString VersionText(int major, int minor);
  static QString VersionText();

  CAboutDlg(Switches& switches, QWidget* parent = nullptr);
  QLabel* Version() { return version_; }
  QLabel* ServiceLabel() { return service_label_; }
  QPushButton* ServiceButton() { return service_; }

 private:
  Switches& switches_;
  QLabel* version_;
  QLabel* service_label_;
  QPushButton* service_;
};

}  // namespace kestrel
