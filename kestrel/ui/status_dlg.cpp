#include "kestrel/ui/status_dlg.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>

#include "kestrel/ui/about_dlg.h"
#include "kestrel/ui/settings_sheet.h"

namespace kestrel {

CStatusDlg::CStatusDlg(const CKestrelProfile& profile, std::atomic<int>* open_windows, Switches* switches,
                       QWidget* parent)
    : QDialog(parent), profile_(profile), open_windows_(open_windows) {
  if (open_windows_) ++*open_windows_;
  setWindowTitle("Kestrel32");
  list_ = new QTreeWidget(this);
  list_->setRootIsDecorated(false);
  list_->setColumnCount(4);
  list_->setHeaderLabels({"Node", "Name", "Bus", "Status"});
  list_->headerItem()->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
  const QFontMetrics metrics(font());
  for (int column : {0, 2, 3})
    list_->setColumnWidth(column, metrics.horizontalAdvance(list_->headerItem()->text(column) + "  "));
  list_->header()->setStretchLastSection(false);
  list_->header()->setSectionResizeMode(1, QHeaderView::Stretch);

  for (int node = 0; node < client_.GetNodeCount(); ++node) {
    auto* row = new QTreeWidgetItem(list_, {QString::number(node), "", "", ""});
    row->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    if (client_.SelectNode(node) && client_.IsNodePresent(node))
      row->setText(1, QString::fromStdString(client_.GetNodeName()));
  }

  popup_ = new QCheckBox("&Pop up this window on communication error", this);
  popup_->setChecked(profile_.GetInt(CKestrelProfile::kProgramSection, "PopUpStatus", 1) != 0);
  auto* close = new QPushButton("&Close", this);
  auto* settings = new QPushButton("&Settings...", this);
  auto* about = new QPushButton("&About...", this);
  settings->setObjectName("settings");
  about->setObjectName("about");
  connect(settings, &QPushButton::clicked, this, [this] {
    CMyPropertySheet(profile_, CMyPropertySheet::DriverSlots(), this).exec();
  });
  about->setEnabled(switches != nullptr);
  connect(about, &QPushButton::clicked, this, [this, switches] { CAboutDlg(*switches, this).exec(); });
  connect(close, &QPushButton::clicked, this, &QDialog::accept);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(close);
  buttons->addWidget(settings);
  buttons->addWidget(about);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(list_);
  layout->addWidget(popup_);
  layout->addLayout(buttons);

  connect(&timer_, &QTimer::timeout, this, &CStatusDlg::Refresh);
  timer_.start(500);
}

CStatusDlg::~CStatusDlg() {
  timer_.stop();
  profile_.SetInt(CKestrelProfile::kProgramSection, "PopUpStatus", popup_->isChecked() ? 1 : 0);
  if (open_windows_) --*open_windows_;
}

void CStatusDlg::Refresh() {
  for (int node = 0; node < list_->topLevelItemCount(); ++node) {
    if (!client_.IsNodePresent(node) || !client_.SelectNode(node)) continue;
    const uint32_t area = client_.GetCncType() == 3 ? 0 : 0xD0000;
    int link = client_.IsLinkUp();
    QString status = "----";
    if (link && client_.IsCncReady()) {
      status = QString("%1").arg(client_.ShmReadWord(area), 4, 16, QChar('0')).toUpper();
      link = client_.IsLinkUp();
    }
    QTreeWidgetItem* row = list_->topLevelItem(node);
    row->setText(2, QString::number(link));
    row->setText(3, status);
  }
}

}  // namespace kestrel
