#pragma once
// The status window: every node slot the driver reports, with the node's name, its link bit
// ("Bus") and the CNC state word ("Status", "----" unless the link is up and the CNC ready),
// refreshed every 500 ms; and the "PopUpStatus" check box, written back when the window goes.
#include <QCheckBox>
#include <QDialog>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <atomic>
#include <memory>

#include "cnbusclient/cnbus_client.h"
#include "kestrel/boot/boot_profile.h"

namespace kestrel {

struct Switches;

class CStatusDlg : public QDialog {
  Q_OBJECT
 public:
  // `open_windows` (may be null) counts the window while it exists; `switches` (may be null: no
  // about box) are the program's, switched by the about box.
  CStatusDlg(const CKestrelProfile& profile, std::atomic<int>* open_windows, Switches* switches = nullptr,
             QWidget* parent = nullptr);
  ~CStatusDlg() override;

  QTreeWidget* List() { return list_; }
  QCheckBox* PopUp() { return popup_; }
  // One timer pass (also run by the timer).
  void Refresh();

 private:
  CKestrelProfile profile_;
  std::atomic<int>* open_windows_;
  cnbus::CCnbusClient client_;
  QTreeWidget* list_;
  QCheckBox* popup_;
  QTimer timer_;
};

}  // namespace kestrel
