#pragma once
// Featly's one window: node, path and parameter choice, the current value and the input of a new
// one. Every action goes to a featly::Session; the window only shows what the session holds.
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "featly/featly_core.h"

namespace featly {

// The input edit: takes only the characters of the selected parameter's kind, selects its whole
// text when it gets the focus, remembers a changed text when it loses the focus, and puts the
// remembered text back on Esc.
class InputEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit InputEdit(QWidget* parent = nullptr);
  void set_kind(Kind kind) { kind_ = kind; }
  Kind kind() const { return kind_; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  Kind kind_ = Kind::bit;
  QString remembered_;
  bool changed_ = false;
};

class FeatlyDialog : public QDialog {
  Q_OBJECT
 public:
  // `session` has started; the dialog fills its lists from it.
  explicit FeatlyDialog(Session& session, QWidget* parent = nullptr);

  QComboBox* node_list() const { return node_; }
  QComboBox* path_list() const { return path_; }
  QComboBox* number_list() const { return number_; }
  QLabel* current_value() const { return value_; }
  InputEdit* input() const { return input_; }
  QPushButton* setting_button() const { return setting_; }
  QPushButton* close_button() const { return close_; }

  void done(int result) override;

 private:
  void fill_all();
  void fill_paths_and_numbers();
  void fill_numbers();
  void show_value();
  void node_chosen(int index);
  void path_chosen(int index);
  void number_chosen(int index);
  void setting_clicked();
  static void select(QComboBox* box, int index);

  Session& session_;
  QComboBox* node_;
  QComboBox* path_;
  QComboBox* number_;
  QLabel* value_;
  InputEdit* input_;
  QPushButton* setting_;
  QPushButton* close_;
  bool ended_ = false;
};

}  // namespace featly
