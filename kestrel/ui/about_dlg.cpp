#include "kestrel/ui/about_dlg.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "kestrel/ui/kestrel_app.h"

namespace kestrel {

QString CAboutDlg::VersionText(int major, int minor) {
  return QString::asprintf("Version %d.%02d", major, minor);
}

QString CAboutDlg::VersionText() { return VersionText(KESTREL_VERSION_MAJOR, KESTREL_VERSION_MINOR); }

CAboutDlg::CAboutDlg(Switches& switches, QWidget* parent) : QDialog(parent), switches_(switches) {
  setWindowTitle("About Kestrel32");
  QString program = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
  if (program.isEmpty()) program = "kestrel32";
  version_ = new QLabel(VersionText(), this);
  service_label_ = new QLabel("Service mode", this);
  service_label_->setVisible(switches_.service_mode);
  service_ = new QPushButton("&Service", this);
  connect(service_, &QPushButton::clicked, this, [this] {
    switches_.service_mode = !switches_.service_mode;
    service_label_->setVisible(switches_.service_mode);
  });
  auto* ok = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(ok, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(program, this));
  layout->addWidget(version_);
  auto* service_row = new QHBoxLayout;
  service_row->addWidget(service_);
  service_row->addWidget(service_label_);
  layout->addLayout(service_row);
  layout->addWidget(ok);
}

}  // namespace kestrel
