#pragma once
// The file location dialog: per node, the boot console's files on the memory card in the CNC
// (choice 0) or in a PC folder (choice 1, with the folder text and Qt's folder browser).
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

namespace kestrel {

class CLocationDlg : public QDialog {
  Q_OBJECT
 public:
  // The browser's start folder for a folder text: the text without its trailing "/" ("/" stays
  // "/"); the home folder for an empty text or one of the old form ("c:\"), which is no path here.
  static QString StartFolder(const QString& folder);
  // A chosen folder as the folder text: with "/" at its end.
  static QString FolderText(const QString& chosen);
  // True for a folder text of the old form, kept as stored but not usable on this system.
  static bool OldForm(const QString& folder);

  explicit CLocationDlg(QWidget* parent = nullptr);
  // Choice -1 (none), 0 (memory card) or 1 (folder), and the folder text.
  void SetData(int choice, const QString& folder);
  int Choice() const;
  QString Folder() const { return folder_; }

  QRadioButton* CardButton() { return card_; }
  QRadioButton* FolderButton() { return folder_button_; }
  QLabel* Path() { return path_; }
  QPushButton* Browse() { return browse_; }

 private:
  void UpdateEnabled();
  void OnBrowse();

  QString folder_;
  QRadioButton* card_;
  QRadioButton* folder_button_;
  QLabel* path_;
  QPushButton* browse_;
};

}  // namespace kestrel
