#include "kestrel/ui/location_dlg.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QRegularExpression>
#include <QVBoxLayout>

namespace kestrel {

bool CLocationDlg::OldForm(const QString& folder) {
  static const QRegularExpression drive("^[A-Za-z]:\\\\");
  return drive.match(folder).hasMatch();
}

QString CLocationDlg::StartFolder(const QString& folder) {
  if (folder.isEmpty() || OldForm(folder)) return QDir::homePath();
  if (folder == "/" || !folder.endsWith('/')) return folder;
  return folder.chopped(1);
}

QString CLocationDlg::FolderText(const QString& chosen) { return chosen.endsWith('/') ? chosen : chosen + '/'; }

CLocationDlg::CLocationDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Kestrel32");
  auto* group = new QGroupBox("File location", this);
  card_ = new QRadioButton("&Memory Card on CNC", group);
  folder_button_ = new QRadioButton("&Folder", group);
  auto* buttons = new QButtonGroup(this);
  buttons->addButton(card_, 0);
  buttons->addButton(folder_button_, 1);
  path_ = new QLabel(group);
  browse_ = new QPushButton("&...", group);
  connect(card_, &QRadioButton::clicked, this, &CLocationDlg::UpdateEnabled);
  connect(folder_button_, &QRadioButton::clicked, this, &CLocationDlg::UpdateEnabled);
  connect(browse_, &QPushButton::clicked, this, &CLocationDlg::OnBrowse);

  auto* inner = new QVBoxLayout(group);
  inner->addWidget(card_);
  inner->addWidget(folder_button_);
  auto* row = new QHBoxLayout;
  row->addWidget(path_, 1);
  row->addWidget(browse_);
  inner->addLayout(row);
  auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(box, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addWidget(box);
  SetData(-1, QString());
}

void CLocationDlg::SetData(int choice, const QString& folder) {
  folder_ = folder;
  path_->setText(folder);
  // A group without a checked button: exclusivity would keep the last one checked.
  card_->setAutoExclusive(false);
  folder_button_->setAutoExclusive(false);
  card_->setChecked(choice == 0);
  folder_button_->setChecked(choice == 1);
  card_->setAutoExclusive(true);
  folder_button_->setAutoExclusive(true);
  UpdateEnabled();
}

int CLocationDlg::Choice() const { return card_->isChecked() ? 0 : folder_button_->isChecked() ? 1 : -1; }

void CLocationDlg::UpdateEnabled() {
  const bool folder = folder_button_->isChecked();
  path_->setEnabled(folder);
  browse_->setEnabled(folder);
}

void CLocationDlg::OnBrowse() {
  const QString chosen = QFileDialog::getExistingDirectory(this, QString(), StartFolder(folder_));
  if (chosen.isEmpty()) return;  // cancelled: nothing changes
  folder_ = FolderText(chosen);
  path_->setText(folder_);
}

}  // namespace kestrel
