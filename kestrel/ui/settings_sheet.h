#pragma once
// The application programs sheet: per node slot, the program lines started after the node's boot.
// Edits stay in the sheet; OK writes every node's list, Cancel nothing.
#include <QComboBox>
#include <QDialog>
#include <QListWidget>
#include <QPushButton>
#include <QStringList>
#include <vector>

#include "kestrel/boot/boot_profile.h"

namespace kestrel {

class CMyPropertySheet : public QDialog {
  Q_OBJECT
 public:
  // `nodes`: the node node_slots, with the name of each present node (empty for an absent one).
  struct Slot {
    bool present = false;
    QString name;
  };
  CMyPropertySheet(const CKestrelProfile& profile, std::vector<Slot> node_slots, QWidget* parent = nullptr);
  // The node_slots as the driver reports them.
  static std::vector<Slot> DriverSlots();

  QComboBox* Node() { return node_; }
  QListWidget* Programs() { return list_; }
  QPushButton* New() { return new_; }
  QPushButton* Remove() { return remove_; }
  QPushButton* Edit() { return edit_; }
  // Appends a chosen program path as a line (quoted when it holds a blank).
  void AddProgram(const QString& path);
  // Writes every node's list (done by OK).
  void Save();

 private:
  void TakeList();
  void ShowNode(int node);
  void UpdateButtons();

  CKestrelProfile profile_;
  std::vector<QStringList> lists_;
  int current_ = 0;
  QComboBox* node_;
  QListWidget* list_;
  QPushButton* new_;
  QPushButton* remove_;
  QPushButton* edit_;
};

}  // namespace kestrel
