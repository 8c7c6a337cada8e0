#pragma once
// The MDI keyboard settings applet's sheet "MDI Keyboard": page General (keyboard type, key
// definition file, StickyKeys) and page Speed (repeat delay and rate, and a box to try them with
// the MDI keyboard). It reads the keyboard service's settings from vorkey.conf, writes them back
// when it closes and sets the service's change event, on which a running service applies them at
// its next tick.
#include <QDialog>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "keyservice/vorkey_settings.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QTabWidget;

namespace vorkey_applet {

inline constexpr char kCaption[] = "MDI Keyboard";

// The keyboard types in list order; the list position is DefaultTable.
inline constexpr const char* kKeyboardTypes[] = {"Corvane A M", "Corvane A T", "Corvane B M/T"};

// Delay trackbar: positions 1 (long) to 4 (short).
int delay_position(int32_t delay_time);  // 5 - delay / 250
int32_t delay_from_position(int position);  // 1250 - 250 * position
// Rate trackbar: positions 1 (slow) to 30 (fast), position = rate.

// Where the sheet reads and writes, whether it may write, how it tells the service and how Browse
// asks for a file. Tests replace each part; the applet uses the defaults.
struct Environment {
  std::filesystem::path file = vorkey::settings_file();
  // Why this user may not change `file`; empty when it may.
  std::function<std::string(const std::filesystem::path&)> refusal;
  std::function<void()> signal;
  // The open-file dialog: the chosen file, or nothing when the user cancelled.
  std::function<std::optional<std::string>(const std::string& initial)> choose_file;
  Environment();
};

// Why the file at `path` cannot be taken as the key-definition file, as the message the user sees;
// empty when it can, or when it cannot be opened (that is told, and allowed, at OK).
std::string definition_file_fault(const std::string& path);

class CGeneralPage : public QWidget {
  Q_OBJECT
 public:
  CGeneralPage(const Environment& env, bool read_only, QWidget* parent = nullptr);

  // The members, as the controls show them.
  void set_values(const std::string& path, int keyboard_type, bool one_touch);
  std::string path() const;
  int keyboard_type() const;  // list index, -1 when nothing is selected
  bool one_touch() const;

  QComboBox* type_list() const { return type_; }
  QLineEdit* path_edit() const { return path_; }
  QPushButton* browse_button() const { return browse_; }
  QCheckBox* sticky_check() const { return sticky_; }

  // Browse: the file dialog with the current path; a chosen file that the service would misread
  // is shown and not taken.
  void browse();

 private:
  const Environment& env_;
  QComboBox* type_;
  QLineEdit* path_;
  QPushButton* browse_;
  QCheckBox* sticky_;
};

class CSpeedPage : public QWidget {
  Q_OBJECT
 public:
  CSpeedPage(const Environment& env, bool read_only, int32_t delay, int32_t rate,
             QWidget* parent = nullptr);

  int32_t delay() const { return delay_; }
  int32_t rate() const { return rate_; }

  QSlider* delay_bar() const { return delay_bar_; }
  QSlider* rate_bar() const { return rate_bar_; }
  QLineEdit* test_box() const { return test_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The test box got the focus: store delay and rate, tell the service, empty the box.
  void try_settings();

  const Environment& env_;
  bool read_only_;
  int32_t delay_, rate_;
  QSlider* delay_bar_;
  QSlider* rate_bar_;
  QLineEdit* test_;
};

class CVorkeySheet : public QDialog {
  Q_OBJECT
 public:
  explicit CVorkeySheet(Environment env, QWidget* parent = nullptr);

  bool read_only() const { return read_only_; }
  const vorkey::VorkeySettings& read_at_start() const { return start_; }
  QTabWidget* tabs() const { return tabs_; }
  CGeneralPage* general() const { return general_; }
  CSpeedPage* speed() const { return speed_; }
  QLabel* read_only_note() const { return note_; }
  QPushButton* ok_button() const { return ok_; }

  // OK: checks the definition file and saves the five values; a file the service would misread
  // keeps the sheet open. Any other close saves the values read at the start.
  void accept() override;
  void reject() override;

 private:
  void save(const vorkey::VorkeySettings& values);

  Environment env_;
  vorkey::VorkeySettings start_;
  bool read_only_ = false;
  QTabWidget* tabs_;
  CGeneralPage* general_;
  CSpeedPage* speed_;
  QLabel* note_;
  QPushButton* ok_;
};

// Runs the sheet modally with `parent` (may be null) as its parent window.
void run_applet(QWidget* parent, Environment env = {});

}  // namespace vorkey_applet
