#include "applets/flux2/flux2_dialogs.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/prompter.h"

namespace flux2 {

namespace {
QString qs(const std::string& s) { return QString::fromStdString(s); }
}  // namespace

// ---- node dialog ----

CNodeDlg::CNodeDlg(int node, const Environment& env, QWidget* parent)
    : QDialog(parent), node_(node), env_(env) {
  setWindowTitle(QString("FLUX : Node %1").arg(node));

  name_ = new QLineEdit(this);
  name_->setObjectName("nodeName");  // control 1003
  name_->setMinimumWidth(name_->fontMetrics().horizontalAdvance(QString(kMaxNameLength + 1, 'N')));
  type_ = new QComboBox(this);
  type_->setObjectName("cncType");  // control 1004
  port_ = new QComboBox(this);
  port_->setObjectName("ioPortAddress");  // control 1005

  for (const auto& name : cnc_type_names()) type_->addItem(qs(name));
  for (int entry = 0; entry < kPortEntries; ++entry) port_->addItem(qs(port_entry_text(entry)));

  auto* form = new QFormLayout;
  auto add_row = [&](const char* text, QWidget* field) {
    auto* label = new QLabel(text, this);
    label->setBuddy(field);
    form->addRow(label, field);
  };
  add_row("&Node Name:", name_);
  add_row("&CNC Type:", type_);
  add_row("&I/O Port Address:", port_);

  ok_ = new QPushButton("OK", this);
  ok_->setDefault(true);
  auto* cancel = new QPushButton("Cancel", this);
  connect(ok_, &QPushButton::clicked, this, &CNodeDlg::accept);
  connect(cancel, &QPushButton::clicked, this, &CNodeDlg::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok_);
  buttons->addWidget(cancel);

  reason_ = new QLabel(this);
  reason_->setObjectName("readOnlyReason");
  reason_->setWordWrap(true);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(reason_);
  layout->addLayout(buttons);

  // A value that is missing or cannot be read shows as 0 or empty.
  NodeSettings stored = read_node(moxel::load_config(env_.file), node);
  name_->setText(qs(stored.name));
  type_->setCurrentIndex(cnc_type_index(stored.cnc_type));
  port_->setCurrentIndex(entry_from_address(stored.port_address));

  // Users who may not change the machine configuration see it, and can change nothing; so does
  // everyone while the file cannot be read, since a save would replace what it holds. The dialog
  // says which.
  const std::string problem = config_read_problem(env_.file);
  std::string reason;
  if (!problem.empty())
    reason = env_.file.string() + " cannot be read (" + problem + "); nothing will be overwritten.";
  else if (!env_.writable(env_.file))
    reason = write_refusal_reason(env_.file);
  if (!reason.empty()) {
    read_only_ = true;
    name_->setEnabled(false);
    type_->setEnabled(false);
    port_->setEnabled(false);
    reason_->setText(qs("Read only: " + reason));
  }
  reason_->setVisible(read_only_);
}

QWidget* CNodeDlg::control(Control c) const {
  switch (c) {
    case Control::name: return name_;
    case Control::cnc_type: return type_;
    case Control::port: return port_;
    case Control::none: break;
  }
  return nullptr;
}

void CNodeDlg::accept() {
  if (read_only_) {
    reject();
    return;
  }
  Checked checked =
      check_node_input(port_->currentIndex(), name_->text().toStdString(), type_->currentIndex());
  if (!checked.settings) {
    moxel::prompter().tell("Error", checked.message, moxel::Icon::exclamation);
    if (QWidget* w = control(checked.focus)) w->setFocus();
    return;
  }
  // The driver would skip one of two nodes whose ports overlap, telling only its log.
  if (checked.settings->port_address != 0) {
    const int other = port_user(moxel::load_config(env_.file), node_, checked.settings->port_address);
    if (other >= 0) {
      moxel::prompter().tell("Error", port_used_message(other), moxel::Icon::exclamation);
      port_->setFocus();
      return;
    }
  }
  std::string error;
  if (!write_node(env_.file, node_, *checked.settings, &error)) {
    // Nothing was stored: say so and stay open, rather than report a change that did not happen.
    moxel::prompter().tell("Error", "The FLUX settings could not be saved.\n\n" + error,
                           moxel::Icon::stop);
    return;
  }
  QDialog::accept();
}

// ---- main dialog ----

CFlux2Dlg::CFlux2Dlg(Environment env, QWidget* parent) : QDialog(parent), env_(std::move(env)) {
  setWindowTitle("FLUX");

  list_ = new QListWidget(this);
  list_->setObjectName("nodeList");  // control 1001
  for (int node = 0; node < kNodeCount; ++node) list_->addItem(QString("%1").arg(node));
  list_->setCurrentRow(0);
  // Room for the eight numbers and no more.
  list_->setFixedSize(list_->fontMetrics().horizontalAdvance("00000000"),
                      list_->sizeHintForRow(0) * kNodeCount + 2 * list_->frameWidth());
  auto* label = new QLabel("&Node:", this);
  label->setBuddy(list_);

  setting_ = new QPushButton("&Setting...", this);
  setting_->setObjectName("setting");  // control 1002
  setting_->setDefault(true);
  cancel_ = new QPushButton("Cancel", this);
  cancel_->setObjectName("cancel");  // control 2
  connect(setting_, &QPushButton::clicked, this, &CFlux2Dlg::open_selected);
  connect(list_, &QListWidget::itemDoubleClicked, this, &CFlux2Dlg::open_selected);
  connect(cancel_, &QPushButton::clicked, this, &CFlux2Dlg::reject);

  auto* left = new QVBoxLayout;
  left->addWidget(label);
  left->addWidget(list_);
  auto* right = new QVBoxLayout;
  right->addWidget(setting_);
  right->addWidget(cancel_);
  right->addStretch();
  auto* layout = new QHBoxLayout(this);
  layout->addLayout(left);
  layout->addLayout(right);
}

void CFlux2Dlg::open_selected() {
  int node = list_->currentRow();
  if (node >= 0) open_node_dialog(node);
}

int CFlux2Dlg::open_node_dialog(int node) {
  CNodeDlg dialog(node, env_, this);
  int result = dialog.exec();
  if (result == QDialog::Accepted) {
    changed_ = true;
    cancel_->setText("Close");
  }
  return result;
}

void CFlux2Dlg::done(int result) {
  QDialog::done(result);
  if (ended_) return;
  ended_ = true;
  if (!changed_) return;
  // No is the default: a restart of the driver cuts every program off its CNCs, so it must be
  // chosen, not reached by pressing Enter.
  moxel::Answer answer = moxel::prompter().ask(kRestartCaption, kRestartQuestion,
                                               moxel::Buttons::yes_no, moxel::Icon::exclamation,
                                               moxel::Answer::no);
  if (answer != moxel::Answer::yes) return;
  // A restart that cannot be run ends the applet without a word, as it always has.
  env_.runner(restart_command(restart_mode(moxel::load_config(env_.file))));
}

void CFlux2Dlg::warn_if_unreadable() {
  const std::string problem = config_read_problem(env_.file);
  if (problem.empty()) return;
  moxel::prompter().tell(
      "FLUX", "The FLUX settings cannot be read from " + env_.file.string() + ": " + problem +
                  ".\n\nEvery node shows as empty and cannot be changed, so nothing will be "
                  "overwritten. Mend or remove the file, then open FLUX again.",
      moxel::Icon::exclamation);
}

void run_applet(QWidget* parent, Environment env) {
  CFlux2Dlg dialog(std::move(env), parent);
  dialog.warn_if_unreadable();
  dialog.exec();
}

}  // namespace flux2
