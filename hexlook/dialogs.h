#pragma once
// The viewer's three dialogs. Their edits take at most 8 hexadecimal digits; OK checks the text
// and answers invalid input with a warning beep, leaving the dialog open.
#include <QDialog>
#include <QLineEdit>
#include <QString>
#include <utility>
#include <vector>

class QComboBox;

namespace hexlook {

// A line edit that lets only hexadecimal digits through, at most 8; a refused key beeps.
class HexEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit HexEdit(QWidget* parent = nullptr);
  // Focus normally selects the whole text; with this set the text stays unselected with the caret
  // after it, so that typed digits are appended.
  void set_caret_at_end_on_focus(bool on) { caret_at_end_ = on; }

 protected:
  void focusInEvent(QFocusEvent* event) override;

 private:
  bool caret_at_end_ = false;
};

// "Node": a list of the present nodes and the address to show.
class NodeDialog : public QDialog {
  Q_OBJECT
 public:
  // `nodes`: (node number, node title), in node order.
  NodeDialog(const std::vector<std::pair<int, QString>>& nodes, int current_node,
             QWidget* parent = nullptr);
  int chosen_node() const;
  QString address_text() const;
  QComboBox* node_list() const { return list_; }
  HexEdit* address_edit() const { return address_; }
  void accept() override;

 private:
  QComboBox* list_;
  HexEdit* address_;
};

// "Address": the address to jump to.
class AddressDialog : public QDialog {
  Q_OBJECT
 public:
  AddressDialog(const QString& address, QWidget* parent = nullptr);
  QString address_text() const;
  HexEdit* address_edit() const { return address_; }
  void accept() override;

 private:
  HexEdit* address_;
};

// "Data": the cursor cell's text and the new value, started with the digit typed.
class DataDialog : public QDialog {
  Q_OBJECT
 public:
  DataDialog(const QString& current, const QString& typed, QWidget* parent = nullptr);
  QString new_text() const;
  HexEdit* current_edit() const { return current_; }
  HexEdit* new_edit() const { return new_; }
  void accept() override;

 private:
  HexEdit* current_;
  HexEdit* new_;
};

}  // namespace hexlook
