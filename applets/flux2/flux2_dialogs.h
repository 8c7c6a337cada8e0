#pragma once
// The FLUX2 applet's two dialogs: the main dialog with the node list, and the node dialog that
// edits one node's port address, CNC type and name.
#include <QDialog>
#include <filesystem>
#include <functional>

#include "applets/flux2/flux2_settings.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace flux2 {

// Where the dialogs read and write, whether they may write, and how the restart is run. Tests
// replace each part; the applet uses the defaults.
struct Environment {
  std::filesystem::path file = config_file();
  std::function<bool(const std::filesystem::path&)> writable = moxel::config_writable;
  CommandRunner runner = default_runner();
};

// Node dialog, caption "FLUX : Node n".
class CNodeDlg : public QDialog {
  Q_OBJECT
 public:
  CNodeDlg(int node, const Environment& env, QWidget* parent = nullptr);

  int node() const { return node_; }
  bool read_only() const { return read_only_; }
  QLineEdit* name_edit() const { return name_; }
  QComboBox* type_list() const { return type_; }
  QComboBox* port_list() const { return port_; }
  QPushButton* ok_button() const { return ok_; }
  // Why the dialog is read-only; hidden while it is not.
  QLabel* read_only_reason() const { return reason_; }

  // OK: checks the input and writes the node, or shows what is wrong and stays open. A read-only
  // dialog closes as if Cancel were pressed.
  void accept() override;

 private:
  QWidget* control(Control c) const;

  int node_;
  Environment env_;
  bool read_only_ = false;
  QLineEdit* name_;
  QComboBox* type_;
  QComboBox* port_;
  QLabel* reason_;
  QPushButton* ok_;
};

// Main dialog, caption "FLUX": the node list, "&Setting..." and "Cancel", which reads "Close" once
// a node dialog has stored a change. Closing after a change asks whether to restart.
class CFlux2Dlg : public QDialog {
  Q_OBJECT
 public:
  explicit CFlux2Dlg(Environment env, QWidget* parent = nullptr);

  bool changed() const { return changed_; }
  QListWidget* node_list() const { return list_; }
  QPushButton* setting_button() const { return setting_; }
  QPushButton* cancel_button() const { return cancel_; }

  // Runs the node dialog for `node` modally; returns its result.
  int open_node_dialog(int node);
  // At open: when the configuration file cannot be read, says so and that nothing will be
  // overwritten (every node shows as empty and its dialog is read-only).
  void warn_if_unreadable();
  void done(int result) override;

 private:
  void open_selected();

  Environment env_;
  bool changed_ = false;
  bool ended_ = false;
  QListWidget* list_;
  QPushButton* setting_;
  QPushButton* cancel_;
};

// Runs the main dialog modally with `parent` as its parent window (may be null).
void run_applet(QWidget* parent, Environment env = {});

}  // namespace flux2
