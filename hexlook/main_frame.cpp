#include "hexlook/main_frame.h"

#include <algorithm>

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QMenuBar>
#include <QPainter>
#include <QStatusBar>
#include <QToolBar>
#include <QVBoxLayout>

#include "hexlook/dialogs.h"
#include "platform/prompter.h"

namespace hexlook {

const char* const kHelpText =
    "Press cursor key, \"Page Up\", or \"Page Down\" to move cursor. Press numeric key or \"A\" "
    "to \"F\" to input data.";
const char* const kIdleText =
    "F2:Node, F3:FLUX I/O, F4:Read Only, F6:Byte, F7:Word, F8:Double Word, F9:Address";
const char* const kRefusalText = "Installation of FLUX driver (LORAND) is not success. ";
const char* const kBusyText = "BUSY";

QString link_text(const Page& page) {
  if (!page.link_up) return QString("COM ERR");
  return page.stalled ? QString(kBusyText) : QString();
}

bool nodes_reachable_or_refuse(const NodeAccess& access) {
  if (access.available()) return true;
  moxel::prompter().tell("Hexlook", kRefusalText, moxel::Icon::stop);
  return false;
}

namespace {

// Toolbar pictures: the command's short glyph drawn on a small tile.
QIcon glyph_icon(const QString& glyph) {
  QPixmap pixmap(24, 24);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QColor(0x30, 0x30, 0x30));
  painter.setBrush(QColor(0xF4, 0xF4, 0xEC));
  painter.drawRoundedRect(QRectF(1.5, 1.5, 21, 21), 3, 3);
  QFont font("DejaVu Sans");
  font.setPixelSize(glyph.size() > 2 ? 8 : glyph.size() > 1 ? 10 : 13);
  font.setBold(true);
  painter.setFont(font);
  painter.setPen(QColor(0x10, 0x30, 0x70));
  painter.drawText(QRect(0, 0, 24, 24), Qt::AlignCenter, glyph);
  return QIcon(pixmap);
}

QLabel* pane(const QString& sizing_text, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  label->setAlignment(Qt::AlignCenter);
  label->setMinimumWidth(label->fontMetrics().horizontalAdvance(sizing_text) + 12);
  return label;
}

}  // namespace

QAction* MainFrame::add_action(int command, const QString& text, const QString& prompt,
                               const QKeySequence& key, const QString& glyph) {
  auto* action = new QAction(text, this);
  // The status prompt is the text before the line break, the tooltip the text after it.
  const qsizetype nl = prompt.indexOf('\n');
  action->setStatusTip(prompt.left(nl));
  action->setToolTip(prompt.mid(nl + 1));
  if (!key.isEmpty()) action->setShortcut(key);
  if (!glyph.isEmpty()) action->setIcon(glyph_icon(glyph));
  action->setData(command);
  actions_[command] = action;
  return action;
}

QAction* MainFrame::action(int command) const {
  auto it = actions_.find(command);
  return it == actions_.end() ? nullptr : it->second;
}

MainFrame::MainFrame(NodeAccess& access, QWidget* parent) : QMainWindow(parent) {
  view_ = new HexView(access, this);

  // Commands: text, status prompt and tooltip, key, toolbar glyph.
  QAction* node = add_action(kSelectNode, "&Select Node...", "Changes node.\nChange Node",
                             Qt::Key_F2, "N");
  QAction* exit = add_action(kExit, "E&xit", "Quit the application\nExit", {}, {});
  QAction* address = add_action(kAddress, "&Address...", "Jumps to specified address.\nAddress",
                                Qt::Key_F9, "@");
  QAction* prev_page = add_action(kPreviousPage, "&Previous Page",
                                  "Displays previous page.\nPrevious Page", {}, QString("\u21C8"));
  QAction* next_page = add_action(kNextPage, "&Next Page", "Displays next page.\nNext Page", {},
                                  QString("\u21CA"));
  QAction* prev_line = add_action(kPreviousLine, "Previous Line",
                                  "Displays previous line.\nPrevious Line", {}, QString("\u2191"));
  QAction* next_line = add_action(kNextLine, "Next Line", "Displays next line.\nNext Line", {},
                                  QString("\u2193"));
  QAction* byte = add_action(kByte, "&Byte", "Displays data in byte.\nByte", Qt::Key_F6, "B");
  QAction* word = add_action(kWord, "&Word", "Displays data in word.\nWord", Qt::Key_F7, "W");
  QAction* dword = add_action(kDword, "&Dword", "Displays data in double word.\nDouble Word",
                              Qt::Key_F8, "D");
  QAction* flux = add_action(kFluxIo, "&FLUX I/O",
                             "Displays FLUX I/O registers.\nFLUX I/O Registers", Qt::Key_F3, "I/O");
  QAction* read_only = add_action(
      kReadOnly, "&Read Only",
      "Switches data writing mode: Write Enable/Read Only.\nWrite Enable/Read Only", Qt::Key_F4,
      "RO");
  QAction* slot = add_action(kPhysicalSlot, "&Physical Slot",
                             "Allows to having access to physical slot.\nPhysical Slot", {}, {});
  QAction* about = add_action(kAbout, "&About...",
                              "Display program information, version number and copyright\nAbout",
                              {}, {});
  for (QAction* a : {byte, word, dword, flux, read_only, slot}) a->setCheckable(true);

  QMenu* node_menu = menuBar()->addMenu("&Node");
  node_menu->addAction(node);
  node_menu->addSeparator();
  node_menu->addAction(exit);
  QMenu* jump_menu = menuBar()->addMenu("&Jump");
  jump_menu->addAction(address);
  jump_menu->addAction(prev_page);
  jump_menu->addAction(next_page);
  QMenu* view_menu = menuBar()->addMenu("&View");
  view_menu->addActions({byte, word, dword});
  view_menu->addSeparator();
  view_menu->addAction(flux);
  view_menu->addSeparator();
  view_menu->addAction(read_only);
  view_menu->addSeparator();
  view_menu->addAction(slot);
  QMenu* help_menu = menuBar()->addMenu("&Help");
  help_menu->addAction(about);

  QToolBar* toolbar = addToolBar("Toolbar");
  toolbar->setObjectName("toolbar");
  toolbar->addActions({node, flux, read_only});
  toolbar->addSeparator();
  toolbar->addActions({byte, word, dword});
  toolbar->addSeparator();
  toolbar->addActions({address, prev_page, prev_line, next_line, next_page});

  connect(node, &QAction::triggered, this, &MainFrame::select_node);
  connect(exit, &QAction::triggered, this, &QWidget::close);
  connect(address, &QAction::triggered, this, &MainFrame::jump_to_address);
  connect(prev_page, &QAction::triggered, view_, &HexView::previous_page);
  connect(next_page, &QAction::triggered, view_, &HexView::next_page);
  connect(prev_line, &QAction::triggered, view_, &HexView::previous_line);
  connect(next_line, &QAction::triggered, view_, &HexView::next_line);
  connect(byte, &QAction::triggered, view_, [this] { view_->set_mode(Mode::byte); });
  connect(word, &QAction::triggered, view_, [this] { view_->set_mode(Mode::word); });
  connect(dword, &QAction::triggered, view_, [this] { view_->set_mode(Mode::dword); });
  connect(flux, &QAction::triggered, view_, &HexView::toggle_register_view);
  connect(read_only, &QAction::triggered, view_, &HexView::toggle_read_only);
  connect(slot, &QAction::triggered, view_, &HexView::toggle_physical_slot);
  connect(about, &QAction::triggered, this, [] {
    moxel::prompter().tell("About Hexlook", "Hexlook Version 1.0\nLive CNC memory viewer",
                           moxel::Icon::information);
  });

  // The view above the help line.
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(view_, 1);
  help_ = new QLabel(kHelpText, central);
  help_->setObjectName("help_line");
  help_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  help_->setContentsMargins(4, 2, 4, 2);
  layout->addWidget(help_);
  setCentralWidget(central);

  idle_ = new QLabel(kIdleText, this);
  address_pane_ = pane("Cursor Address", this);
  read_only_pane_ = pane("Read Only", this);
  link_pane_ = pane("COM ERR", this);
  statusBar()->addWidget(idle_, 1);
  statusBar()->addPermanentWidget(address_pane_);
  statusBar()->addPermanentWidget(read_only_pane_);
  statusBar()->addPermanentWidget(link_pane_);

  connect(view_, &HexView::painted, this, &MainFrame::refresh);
  connect(view_, &HexView::stateChanged, this, [this] {
    update_command_states();
    update_address_pane();
  });
  update_command_states();
  update_address_pane();
  setWindowTitle("Hexlook : " + view_->node_title());
  view_->setFocus();
  // Wide enough for the page and for the whole idle text beside the three panes.
  const QSize hint = sizeHint();
  resize(std::max(hint.width(), statusBar()->sizeHint().width() + 24), hint.height());
}

// Also in the register view: the keys still move the hidden memory page there, and the pane keeps
// showing where the cursor is.
void MainFrame::update_address_pane() {
  const HexModel& m = view_->model();
  address_pane_->setText(QString::asprintf("%08X", m.cursor_address()));
  read_only_pane_->setText(m.write_enabled ? QString() : QString("Read Only"));
}

void MainFrame::refresh() {
  setWindowTitle("Hexlook : " + view_->node_title());
  if (!view_->model().register_view) {
    update_address_pane();
    link_pane_->setText(link_text(view_->last_page()));
  }
  update_command_states();
}

void MainFrame::update_command_states() {
  const HexModel& m = view_->model();
  const bool memory = !m.register_view;
  for (int c : {kAddress, kPreviousPage, kNextPage, kPreviousLine, kNextLine, kByte, kWord, kDword,
                kReadOnly})
    actions_[c]->setEnabled(memory);
  actions_[kByte]->setChecked(m.mode() == Mode::byte);
  actions_[kWord]->setChecked(m.mode() == Mode::word);
  actions_[kDword]->setChecked(m.mode() == Mode::dword);
  actions_[kFluxIo]->setChecked(m.register_view);
  actions_[kReadOnly]->setChecked(!m.write_enabled);
  actions_[kPhysicalSlot]->setChecked(m.physical_slot);
  // The help line is cleared while the registers are shown and comes back with the memory.
  help_->setText(m.register_view ? QString() : QString(kHelpText));
}

void MainFrame::select_node() {
  NodeAccess& access = view_->access();
  std::vector<std::pair<int, QString>> entries;
  for (int n : access.present_nodes())
    entries.emplace_back(n, QString::fromStdString(node_title(n, access.node_name(n))));
  NodeDialog dialog(entries, access.current_node(), this);
  if (dialog.exec() != QDialog::Accepted) return;
  access.select_node(dialog.chosen_node());  // a node no longer present leaves the current one
  view_->refresh_node_title();
  view_->go_to(parse_hex(dialog.address_text().toStdString()));
  setWindowTitle("Hexlook : " + view_->node_title());
}

void MainFrame::jump_to_address() {
  AddressDialog dialog(QString::asprintf("%08X", view_->model().cursor_address()), this);
  if (dialog.exec() != QDialog::Accepted) return;
  view_->go_to(parse_hex(dialog.address_text().toStdString()));
}

}  // namespace hexlook
