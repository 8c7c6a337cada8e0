#include "featly/featly_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QSignalBlocker>
#include <QTimer>

namespace featly {

InputEdit::InputEdit(QWidget* parent) : QLineEdit(parent) {
  setMaxLength(8);
  // Pasting would bring in characters the edit does not take.
  setContextMenuPolicy(Qt::NoContextMenu);
  connect(this, &QLineEdit::textEdited, this, [this] { changed_ = true; });
}

void InputEdit::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    setText(remembered_);
    selectAll();
    event->accept();  // Esc restores the text; it does not close the window
    return;
  }
  if (event->matches(QKeySequence::Paste)) {
    event->accept();
    return;
  }
  const QString text = event->text();
  if (event->key() != Qt::Key_Backspace && text.size() == 1 && text[0].unicode() >= 0x20) {
    const char16_t c = text[0].unicode();
    if (c > 0x7F || !input_accepts(kind_, char(c))) {
      event->accept();
      return;
    }
  }
  QLineEdit::keyPressEvent(event);
}

void InputEdit::focusInEvent(QFocusEvent* event) {
  QLineEdit::focusInEvent(event);
  // After a mouse click the click itself places the cursor: select once the event is done.
  QTimer::singleShot(0, this, [this] { selectAll(); });
}

void InputEdit::focusOutEvent(QFocusEvent* event) {
  if (changed_) remembered_ = text();
  changed_ = false;
  QLineEdit::focusOutEvent(event);
}

FeatlyDialog::FeatlyDialog(Session& session, QWidget* parent)
    : QDialog(parent), session_(session) {
  setWindowTitle(kCaption);
  node_ = new QComboBox(this);
  path_ = new QComboBox(this);
  number_ = new QComboBox(this);
  value_ = new QLabel(this);
  value_->setTextFormat(Qt::PlainText);
  value_->setFont(QFont("monospace"));
  input_ = new InputEdit(this);
  setting_ = new QPushButton("Setting", this);
  close_ = new QPushButton("Close", this);
  // Enter in the input must not write or close: neither button is a default button.
  setting_->setAutoDefault(false);
  close_->setAutoDefault(false);

  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel("Node:", this), 0, 0);
  grid->addWidget(node_, 0, 1);
  grid->addWidget(new QLabel("Path:", this), 1, 0);
  grid->addWidget(path_, 1, 1);
  grid->addWidget(new QLabel("No:", this), 2, 0);
  grid->addWidget(number_, 2, 1);
  grid->addWidget(new QLabel("Current Value:", this), 3, 0);
  grid->addWidget(value_, 3, 1);
  grid->addWidget(new QLabel("Input Value:", this), 4, 0);
  grid->addWidget(input_, 4, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(setting_);
  buttons->addWidget(close_);
  auto* top = new QVBoxLayout(this);
  top->addLayout(grid);
  top->addLayout(buttons);
  top->setSizeConstraint(QLayout::SetFixedSize);

  connect(node_, &QComboBox::activated, this, &FeatlyDialog::node_chosen);
  connect(path_, &QComboBox::activated, this, &FeatlyDialog::path_chosen);
  connect(number_, &QComboBox::activated, this, &FeatlyDialog::number_chosen);
  connect(setting_, &QPushButton::clicked, this, &FeatlyDialog::setting_clicked);
  connect(close_, &QPushButton::clicked, this, &QDialog::reject);
  fill_all();
}

void FeatlyDialog::select(QComboBox* box, int index) {
  QSignalBlocker block(box);
  box->setCurrentIndex(index);
}

void FeatlyDialog::fill_all() {
  QSignalBlocker block(node_);
  node_->clear();
  for (const auto& node : session_.nodes())
    node_->addItem(QString::fromStdString(node_label(node.node_no)));
  node_->setCurrentIndex(int(session_.node_index()));
  fill_paths_and_numbers();
}

void FeatlyDialog::fill_paths_and_numbers() {
  QSignalBlocker block(path_);
  path_->clear();
  for (int path : session_.paths()) path_->addItem(QString::fromStdString(path_label(path)));
  path_->setCurrentIndex(0);
  fill_numbers();
}

void FeatlyDialog::fill_numbers() {
  QSignalBlocker block(number_);
  number_->clear();
  for (const auto& entry : session_.params()) number_->addItem(QString::number(entry.number));
  number_->setCurrentIndex(int(session_.param_index()));
  show_value();
}

void FeatlyDialog::show_value() {
  value_->setText(QString::fromStdString(session_.current_value()));
  input_->set_kind(session_.kind());
}

void FeatlyDialog::node_chosen(int index) {
  switch (session_.select_node(size_t(index))) {
    case Session::Outcome::done:
      fill_paths_and_numbers();
      break;
    case Session::Outcome::refilled:
      fill_all();
      break;
    case Session::Outcome::reverted:
      select(node_, int(session_.node_index()));
      break;
    case Session::Outcome::ended:
      reject();
      break;
  }
}

void FeatlyDialog::path_chosen(int index) {
  switch (session_.select_path(size_t(index))) {
    case Session::Outcome::done:
    case Session::Outcome::refilled:
      fill_numbers();
      break;
    case Session::Outcome::reverted:
      select(path_, int(session_.path_index()));
      break;
    case Session::Outcome::ended:
      reject();
      break;
  }
}

void FeatlyDialog::number_chosen(int index) {
  if (session_.select_param(size_t(index)) == Session::Outcome::done)
    show_value();
  else
    select(number_, int(session_.param_index()));
}

void FeatlyDialog::setting_clicked() {
  switch (session_.setting(input_->text().toStdString())) {
    case Session::SetResult::nothing:
    case Session::SetResult::failed:
      break;
    case Session::SetResult::written:
      value_->setText(QString::fromStdString(session_.current_value()));
      input_->clear();
      break;
    case Session::SetResult::invalid:
      input_->clear();
      input_->setFocus();
      break;
  }
}

void FeatlyDialog::done(int result) {
  if (!ended_) {
    ended_ = true;
    session_.end();
  }
  QDialog::done(result);
}

}  // namespace featly
