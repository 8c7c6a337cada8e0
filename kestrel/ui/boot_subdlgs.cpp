#include "kestrel/ui/boot_subdlgs.h"

#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QSet>
#include <QVBoxLayout>

namespace kestrel {

QTreeWidget* MakeFileList(QWidget* parent) {
  auto* list = new QTreeWidget(parent);
  list->setRootIsDecorated(false);
  list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list->setColumnCount(3);
  list->setHeaderLabels({"Name", "Size", "Date"});
  list->headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
  // Wide enough for a 14-character name, a 7-character size and a 16-character date.
  const QFontMetrics metrics(list->font());
  const char* widths[] = {"12345678901234", "1234567", "1234567890123456"};
  for (int column = 0; column < 3; ++column)
    list->setColumnWidth(column, metrics.horizontalAdvance(widths[column]) + metrics.averageCharWidth() * 2);
  return list;
}

void FillFileList(QTreeWidget* list, const std::vector<FileRow>& rows) {
  const QStringList before = SelectedNames(list);
  const QSet<QString> selected(before.begin(), before.end());
  list->clear();
  for (const FileRow& row : rows) {
    auto* item = new QTreeWidgetItem(list, {QString::fromStdString(row.name), QString::fromStdString(row.size),
                                            QString::fromStdString(row.date)});
    item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    item->setSelected(selected.contains(item->text(0)));
  }
}

QStringList SelectedNames(const QTreeWidget* list) {
  QStringList names;
  for (int i = 0; i < list->topLevelItemCount(); ++i)
    if (list->topLevelItem(i)->isSelected()) names << list->topLevelItem(i)->text(0);
  return names;
}

CLoadDlg::CLoadDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Kestrel32");
  list_ = MakeFileList(this);
  load_ = new QPushButton("&Load", this);
  close_ = new QPushButton("&Close", this);
  refresh_ = new QPushButton("&Refresh", this);
  status_ = new QLabel(this);
  progress_ = new QProgressBar(this);
  progress_->setTextVisible(false);
  progress_->setRange(0, 1);
  progress_->setValue(0);
  load_->setDefault(true);
  connect(load_, &QPushButton::clicked, this, [this] { emit loadRequested(SelectedNames(list_)); });
  connect(refresh_, &QPushButton::clicked, this, &CLoadDlg::refreshRequested);
  connect(close_, &QPushButton::clicked, this, &QDialog::reject);

  auto* buttons = new QVBoxLayout;
  buttons->addWidget(load_);
  buttons->addWidget(close_);
  buttons->addWidget(refresh_);
  buttons->addStretch(1);
  auto* top = new QHBoxLayout;
  top->addWidget(list_, 1);
  top->addLayout(buttons);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top, 1);
  layout->addWidget(status_);
  layout->addWidget(progress_);
}

void CLoadDlg::Deselect(const QString& name) {
  for (int i = 0; i < list_->topLevelItemCount(); ++i)
    if (list_->topLevelItem(i)->text(0) == name) list_->topLevelItem(i)->setSelected(false);
}

CCopyDlg::CCopyDlg(const QString& from, const QString& to, QWidget* parent) : QDialog(parent) {
  setWindowTitle("Kestrel32");
  from_ = new QLabel(from, this);
  to_ = new QLabel(to, this);
  progress_ = new QProgressBar(this);
  progress_->setTextVisible(false);
  progress_->setRange(0, 1);
  progress_->setValue(0);
  auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  ok_ = box->button(QDialogButtonBox::Ok);
  cancel_ = box->button(QDialogButtonBox::Cancel);
  connect(box, &QDialogButtonBox::accepted, this, &CCopyDlg::copyRequested);
  connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel("From:", this), 0, 0);
  grid->addWidget(from_, 0, 1);
  grid->addWidget(new QLabel("To:", this), 1, 0);
  grid->addWidget(to_, 1, 1);
  grid->setColumnStretch(1, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addWidget(progress_);
  layout->addWidget(box);
}

CTextDlg::CTextDlg(const QString& text, QWidget* parent) : QDialog(parent) {
  setWindowTitle("Kestrel32");
  edit_ = new QPlainTextEdit(this);
  edit_->setReadOnly(true);
  QFont fixed("Monospace");
  fixed.setStyleHint(QFont::TypeWriter);
  edit_->setFont(fixed);
  QString shown = text;
  shown.replace("\r\n", "\n");
  edit_->setPlainText(shown);
  auto* box = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(box, &QDialogButtonBox::accepted, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(edit_, 1);
  layout->addWidget(box);
  resize(480, 320);
}

}  // namespace kestrel
