#pragma once
// The boot dialog's sub-dialogs: the load dialog (store files into the F-ROM), the copy dialog
// (one F-ROM module into a store file) and the text dialog of "C&heck". They only show and ask;
// the boot dialog runs their work on the node thread and feeds them the results.
#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <QTreeWidget>
#include <vector>

#include "kestrel/console/boot_console.h"

namespace kestrel {

// The file list of the File tab and of the load dialog: "Name" (left), "Size" (right-aligned),
// "Date" (left), several rows selectable.
QTreeWidget* MakeFileList(QWidget* parent);
// Replaces the rows; the selection is kept for names that are still listed.
void FillFileList(QTreeWidget* list, const std::vector<FileRow>& rows);
// The selected names in list order.
QStringList SelectedNames(const QTreeWidget* list);

class CLoadDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CLoadDlg(QWidget* parent = nullptr);

  QTreeWidget* List() { return list_; }
  QPushButton* LoadButton() { return load_; }
  QPushButton* RefreshButton() { return refresh_; }
  QPushButton* CloseButton() { return close_; }
  QLabel* Status() { return status_; }
  QProgressBar* Progress() { return progress_; }

  void Deselect(const QString& name);

 signals:
  // The selected files, in list order.
  void loadRequested(const QStringList& names);
  void refreshRequested();

 private:
  QTreeWidget* list_;
  QPushButton* load_;
  QPushButton* close_;
  QPushButton* refresh_;
  QLabel* status_;
  QProgressBar* progress_;
};

class CCopyDlg : public QDialog {
  Q_OBJECT
 public:
  CCopyDlg(const QString& from, const QString& to, QWidget* parent = nullptr);

  QLabel* From() { return from_; }
  QLabel* To() { return to_; }
  QProgressBar* Progress() { return progress_; }
  QPushButton* OkButton() { return ok_; }
  QPushButton* CancelButton() { return cancel_; }

 signals:
  // OK: the copy is to run; the dialog stays until it has.
  void copyRequested();

 private:
  QLabel* from_;
  QLabel* to_;
  QProgressBar* progress_;
  QPushButton* ok_;
  QPushButton* cancel_;
};

class CTextDlg : public QDialog {
  Q_OBJECT
 public:
  // `text` as the console gives it ("\r\n" line ends).
  explicit CTextDlg(const QString& text, QWidget* parent = nullptr);
  QPlainTextEdit* Edit() { return edit_; }

 private:
  QPlainTextEdit* edit_;
};

}  // namespace kestrel
