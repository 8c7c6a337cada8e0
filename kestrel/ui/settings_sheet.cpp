#include "kestrel/ui/settings_sheet.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "cnbusclient/cnbus_client.h"

namespace kestrel {

std::vector<CMyPropertySheet::Slot> CMyPropertySheet::DriverSlots() {
  cnbus::CCnbusClient client;
  std::vector<Slot> node_slots(size_t(std::max(0, client.GetNodeCount())));
  for (int i = 0; i < int(node_slots.size()); ++i)
    if (client.SelectNode(i) && client.IsNodePresent(i))
      node_slots[i] = {true, QString::fromStdString(client.GetNodeName())};
  return node_slots;
}

CMyPropertySheet::CMyPropertySheet(const CKestrelProfile& profile, std::vector<Slot> node_slots, QWidget* parent)
    : QDialog(parent), profile_(profile) {
  setWindowTitle("Kestrel32");
  node_ = new QComboBox(this);
  list_ = new QListWidget(this);
  new_ = new QPushButton("&New...", this);
  remove_ = new QPushButton("&Remove", this);
  edit_ = new QPushButton("&Edit", this);
  lists_.resize(node_slots.size());
  for (int i = 0; i < int(node_slots.size()); ++i) {
    node_->addItem(node_slots[i].present ? QString("%1 : %2").arg(i).arg(node_slots[i].name) : QString::number(i));
    for (const std::string& line : profile_.ProgramLines(i)) lists_[i] << QString::fromStdString(line);
  }
  ShowNode(0);

  connect(node_, &QComboBox::currentIndexChanged, this, [this](int node) {
    TakeList();
    ShowNode(node);
  });
  connect(list_, &QListWidget::currentRowChanged, this, &CMyPropertySheet::UpdateButtons);
  connect(remove_, &QPushButton::clicked, this, [this] { delete list_->takeItem(list_->currentRow()); });
  connect(edit_, &QPushButton::clicked, this, [this] {
    if (QListWidgetItem* item = list_->currentItem()) list_->editItem(item);
  });
  connect(list_, &QListWidget::itemDoubleClicked, list_, &QListWidget::editItem);
  connect(new_, &QPushButton::clicked, this, [this] {
    const QString path = QFileDialog::getOpenFileName(this, QString(), QString(), "All Files (*)");
    if (!path.isEmpty()) AddProgram(path);
  });
  auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(box, &QDialogButtonBox::accepted, this, [this] {
    list_->setFocus();  // ends an edit in progress
    Save();
    accept();
  });
  connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel("N&ode:", this), 0, 0);
  grid->addWidget(node_, 0, 1);
  grid->addWidget(list_, 1, 0, 1, 2);
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(new_);
  buttons->addWidget(remove_);
  buttons->addWidget(edit_);
  buttons->addStretch();
  grid->addLayout(buttons, 1, 2);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addWidget(box);
}

void CMyPropertySheet::AddProgram(const QString& path) {
  auto* item = new QListWidgetItem(QString::fromStdString(CKestrelProfile::QuotedPath(path.toStdString())), list_);
  item->setFlags(item->flags() | Qt::ItemIsEditable);
}

void CMyPropertySheet::TakeList() {
  if (current_ < 0 || current_ >= int(lists_.size())) return;
  QStringList lines;
  for (int i = 0; i < list_->count(); ++i) lines << list_->item(i)->text();
  lists_[current_] = lines;
}

void CMyPropertySheet::ShowNode(int node) {
  current_ = node;
  list_->clear();
  if (node >= 0 && node < int(lists_.size()))
    for (const QString& line : lists_[node]) {
      auto* item = new QListWidgetItem(line, list_);
      item->setFlags(item->flags() | Qt::ItemIsEditable);
    }
  UpdateButtons();
}

void CMyPropertySheet::UpdateButtons() {
  const bool selected = list_->currentItem() != nullptr;
  remove_->setEnabled(selected);
  edit_->setEnabled(selected);
}

void CMyPropertySheet::Save() {
  TakeList();
  for (int i = 0; i < int(lists_.size()); ++i) {
    std::vector<std::string> lines;
    for (const QString& line : lists_[i]) lines.push_back(line.toStdString());
    profile_.SaveProgramLines(i, lines);
  }
}

}  // namespace kestrel
