#pragma once
// The viewer's main window: menus, toolbar, help line and status bar around the memory view.
#include <QLabel>
#include <QMainWindow>
#include <map>

#include "hexlook/hex_view.h"

class QAction;

namespace hexlook {

// Command identifiers of the menus and the toolbar.
enum Command : int {
  kSelectNode = 32783,
  kExit = 57665,
  kAddress = 32782,
  kPreviousPage = 32786,
  kNextPage = 32787,
  kPreviousLine = 32793,
  kNextLine = 32794,
  kByte = 32774,
  kWord = 32775,
  kDword = 32776,
  kFluxIo = 32795,
  kReadOnly = 32789,
  kPhysicalSlot = 32801,
  kAbout = 57664,
};

extern const char* const kHelpText;
extern const char* const kIdleText;
extern const char* const kRefusalText;
extern const char* const kBusyText;

// The link pane: "COM ERR" while the link is down or the status cannot be read; "BUSY" while the
// link is up but the board stays busy (its page shows all ones unread); else empty.
QString link_text(const Page& page);

// The start-up check: when no node can be reached, tells the user (caption "Hexlook", stop icon)
// and answers false; the program then ends.
bool nodes_reachable_or_refuse(const NodeAccess& access);

class MainFrame : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainFrame(NodeAccess& access, QWidget* parent = nullptr);

  HexView* view() const { return view_; }
  QAction* action(int command) const;
  QLabel* help_line() const { return help_; }
  QLabel* idle_pane() const { return idle_; }
  QLabel* address_pane() const { return address_pane_; }
  QLabel* read_only_pane() const { return read_only_pane_; }
  QLabel* link_pane() const { return link_pane_; }

  // Commands with a dialog.
  void select_node();
  void jump_to_address();

  // Rewrites the caption, and in memory mode the cursor-address, read-only and link panes, from
  // the view's last paint; refreshes the enable and check states.
  void refresh();

 private:
  QAction* add_action(int command, const QString& text, const QString& prompt,
                      const QKeySequence& key, const QString& glyph);
  void update_command_states();
  void update_address_pane();

  HexView* view_;
  QLabel* help_;
  QLabel* idle_;
  QLabel* address_pane_;
  QLabel* read_only_pane_;
  QLabel* link_pane_;
  std::map<int, QAction*> actions_;
};

}  // namespace hexlook
