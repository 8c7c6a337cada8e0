#include "hexlook/dialogs.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "hexlook/hex_model.h"
#include "platform/prompter.h"

namespace hexlook {
namespace {

bool hex_ok(const QString& text) { return is_hex_text(text.toStdString()); }

QDialogButtonBox* ok_cancel(QDialog* dialog) {
  auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
  QObject::connect(box, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
  QObject::connect(box, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  return box;
}

}  // namespace

HexEdit::HexEdit(QWidget* parent) : QLineEdit(parent) {
  setMaxLength(8);
  setValidator(
      new QRegularExpressionValidator(QRegularExpression("[0-9A-Fa-f]{0,8}"), this));
  connect(this, &QLineEdit::inputRejected, this, [] { moxel::prompter().beep(); });
}

void HexEdit::focusInEvent(QFocusEvent* event) {
  QLineEdit::focusInEvent(event);
  if (caret_at_end_) {
    deselect();
    setCursorPosition(text().size());
  }
}

NodeDialog::NodeDialog(const std::vector<std::pair<int, QString>>& nodes, int current_node,
                       QWidget* parent)
    : QDialog(parent) {
  setWindowTitle("Node");
  list_ = new QComboBox(this);
  list_->setObjectName("node_1010");
  for (const auto& [node, title] : nodes) {
    list_->addItem(title, node);
    if (node == current_node) list_->setCurrentIndex(list_->count() - 1);
  }
  address_ = new HexEdit(this);
  address_->setObjectName("address_1011");
  address_->setText("20C00000");
  auto* form = new QFormLayout;
  form->addRow("Node:", list_);
  form->addRow("Address:", address_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(ok_cancel(this));
}

int NodeDialog::chosen_node() const { return list_->currentData().toInt(); }
QString NodeDialog::address_text() const { return address_->text(); }

void NodeDialog::accept() {
  if (!hex_ok(address_->text()) || list_->currentIndex() < 0) {
    moxel::prompter().beep();
    return;
  }
  QDialog::accept();
}

AddressDialog::AddressDialog(const QString& address, QWidget* parent) : QDialog(parent) {
  setWindowTitle("Address");
  address_ = new HexEdit(this);
  address_->setObjectName("address_1004");
  address_->setText(address);
  address_->selectAll();
  auto* form = new QFormLayout;
  form->addRow("Address:", address_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(ok_cancel(this));
}

QString AddressDialog::address_text() const { return address_->text(); }

void AddressDialog::accept() {
  if (!hex_ok(address_->text())) {
    moxel::prompter().beep();
    return;
  }
  QDialog::accept();
}

DataDialog::DataDialog(const QString& current, const QString& typed, QWidget* parent)
    : QDialog(parent) {
  setWindowTitle("Data");
  current_ = new HexEdit(this);
  current_->setObjectName("current_1012");
  current_->setText(current);
  // The current data is what the cell holds; it sets how many digits the new value may have, so
  // it is shown, not edited.
  current_->setReadOnly(true);
  current_->setFocusPolicy(Qt::NoFocus);
  new_ = new HexEdit(this);
  new_->setObjectName("new_1013");
  new_->setText(typed);
  new_->set_caret_at_end_on_focus(true);
  auto* form = new QFormLayout;
  form->addRow("Current Data:", current_);
  form->addRow("New Data:", new_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(ok_cancel(this));
  new_->setFocus();
}

QString DataDialog::new_text() const { return new_->text(); }

void DataDialog::accept() {
  const QString text = new_->text();
  if (!hex_ok(text) || text.size() > current_->text().size()) {
    moxel::prompter().beep();
    return;
  }
  QDialog::accept();
}

}  // namespace hexlook
