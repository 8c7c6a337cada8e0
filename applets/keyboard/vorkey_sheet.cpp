#include "applets/keyboard/vorkey_sheet.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>

#include "applets/common/applet_support.h"
#include "keyservice/key_table.h"
#include "platform/prompter.h"

namespace vorkey_applet {

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

// The size of a box of dialog units in the widget's font: a unit is a quarter of the average
// character width and an eighth of the character height, so the pages keep their proportions with
// any desktop font.
QSize dialog_units(const QWidget* w, int width, int height) {
  QFontMetrics fm(w->font());
  int average =
      (fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 + 1) / 2;
  return {width * average / 4, height * fm.height() / 8};
}

std::string trim_blanks(const std::string& text) {
  const char* blanks = " \t\r\n\v\f";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool opens_for_reading(const std::string& path) {
  std::error_code ec;
  // A folder opens as a stream on Linux but is no file the service can read.
  return std::filesystem::is_regular_file(path, ec) && std::ifstream(path).is_open();
}

void tell(const std::string& text) {
  moxel::prompter().tell(kCaption, text, moxel::Icon::stop);
}

QLabel* buddy_label(const char* text, QWidget* buddy, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setBuddy(buddy);
  return label;
}

// A trackbar with its two end labels, as one row.
QHBoxLayout* trackbar_row(QSlider* bar, const char* left, const char* right, QWidget* parent) {
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(left, parent));
  row->addWidget(bar, 1);
  row->addWidget(new QLabel(right, parent));
  return row;
}

QSlider* trackbar(const char* name, int low, int high, int position, QWidget* parent) {
  auto* bar = new QSlider(Qt::Horizontal, parent);
  bar->setObjectName(name);
  bar->setRange(low, high);
  bar->setPageStep(1);
  bar->setTickPosition(QSlider::TicksBelow);
  bar->setTickInterval(1);
  bar->setValue(position);
  return bar;
}

}  // namespace

int delay_position(int32_t delay_time) {
  // DelayTime is a DWORD: a negative value is a very long delay.
  int64_t position = 5 - int64_t(uint32_t(delay_time) / 250);
  return int(std::clamp<int64_t>(position, 1, 4));
}

int32_t delay_from_position(int position) { return 1250 - 250 * position; }

Environment::Environment()
    : refusal(moxel::config_write_refusal),
      signal([] { vorkey::signal_change_event(); }),
      choose_file([](const std::string& initial) -> std::optional<std::string> {
        QString chosen = QFileDialog::getOpenFileName(nullptr, "Open", qs(initial),
                                                      "Def Files (*.def);;All Files (*)");
        if (chosen.isEmpty()) return std::nullopt;
        return chosen.toStdString();
      }) {}

std::string definition_file_fault(const std::string& path) {
  std::string quoted = "Key definition file \"" + path + "\"";
  std::string unstorable = vorkey::storable_definition_file(path);
  if (!unstorable.empty()) return quoted + " cannot be stored: the path " + unstorable + ".";
  if (path.empty() || !opens_for_reading(path)) return {};
  std::ifstream in(path, std::ios::binary);
  std::optional<vorkey::DefinitionFault> fault = vorkey::check_definition(in);
  if (!fault) return {};
  if (fault->line == 0) return quoted + " cannot be used: " + fault->why + ".";
  std::string why = fault->why;
  why[0] = char(std::toupper(static_cast<unsigned char>(why[0])));
  return quoted + " cannot be used.\n\nLine " + std::to_string(fault->line) + ": " + fault->text +
         "\n" + why + ".";
}

// ---- General ----

CGeneralPage::CGeneralPage(const Environment& env, bool read_only, QWidget* parent)
    : QWidget(parent), env_(env) {
  setMinimumSize(dialog_units(this, 212, 138));

  type_ = new QComboBox(this);
  type_->setObjectName("keyboardType");  // control 1003
  for (const char* name : kKeyboardTypes) type_->addItem(name);
  path_ = new QLineEdit(this);
  path_->setObjectName("definitionFile");  // control 1002
  browse_ = new QPushButton("&Browse...", this);
  browse_->setObjectName("browse");  // control 1004
  sticky_ = new QCheckBox("&Use StickyKeys", this);
  sticky_->setObjectName("stickyKeys");  // control 1005
  connect(browse_, &QPushButton::clicked, this, &CGeneralPage::browse);

  auto* group = new QGroupBox("StickyKeys", this);
  auto* explanation = new QLabel(
      "Use StickyKeys if you want to use Shift, Ctrl or Alt key by pressing one key at a time.",
      group);
  explanation->setWordWrap(true);
  auto* group_layout = new QVBoxLayout(group);
  group_layout->addWidget(explanation);
  group_layout->addWidget(sticky_);

  auto* grid = new QGridLayout(this);
  grid->addWidget(buddy_label("MDI keyboard &type:", type_, this), 0, 0, 1, 2);
  grid->addWidget(type_, 1, 0);
  grid->addWidget(buddy_label("Key definition &file:", path_, this), 2, 0, 1, 2);
  grid->addWidget(path_, 3, 0);
  grid->addWidget(browse_, 3, 1);
  grid->addWidget(group, 4, 0, 1, 2);
  grid->setRowStretch(5, 1);
  grid->setColumnStretch(0, 1);

  if (read_only)
    for (QWidget* w : {static_cast<QWidget*>(browse_), static_cast<QWidget*>(type_),
                       static_cast<QWidget*>(sticky_), static_cast<QWidget*>(path_)})
      w->setEnabled(false);
}

void CGeneralPage::set_values(const std::string& path, int keyboard_type, bool one_touch) {
  path_->setText(qs(path));
  // A stored type that is not on the list selects nothing.
  type_->setCurrentIndex(keyboard_type >= 0 && keyboard_type < type_->count() ? keyboard_type : -1);
  sticky_->setChecked(one_touch);
}

std::string CGeneralPage::path() const { return path_->text().toStdString(); }
int CGeneralPage::keyboard_type() const { return type_->currentIndex(); }
bool CGeneralPage::one_touch() const { return sticky_->isChecked(); }

void CGeneralPage::browse() {
  std::optional<std::string> chosen = env_.choose_file(path());
  if (!chosen) return;
  std::string fault = definition_file_fault(*chosen);
  if (!fault.empty()) {
    tell(fault);
    return;
  }
  path_->setText(qs(*chosen));
}

// ---- Speed ----

CSpeedPage::CSpeedPage(const Environment& env, bool read_only, int32_t delay, int32_t rate,
                       QWidget* parent)
    : QWidget(parent), env_(env), read_only_(read_only), delay_(delay), rate_(rate) {
  setMinimumSize(dialog_units(this, 212, 127));

  delay_bar_ = trackbar("delay", 1, 4, delay_position(delay), this);  // control 1000
  rate_bar_ = trackbar("rate", 1, 30, std::clamp<int32_t>(rate, 1, 30), this);  // control 1001
  // Only a move changes a value: a stored 300 ms shows at position 4 and is kept unless moved.
  connect(delay_bar_, &QSlider::valueChanged, this,
          [this](int position) { delay_ = delay_from_position(position); });
  connect(rate_bar_, &QSlider::valueChanged, this, [this](int position) { rate_ = position; });
  test_ = new QLineEdit(this);
  test_->setObjectName("testBox");  // control 1002
  test_->installEventFilter(this);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(buddy_label("Repeat &delay:", delay_bar_, this));
  layout->addLayout(trackbar_row(delay_bar_, "Long", "Short", this));
  layout->addWidget(buddy_label("&Repeat rate:", rate_bar_, this));
  layout->addLayout(trackbar_row(rate_bar_, "Slow", "Fast", this));
  layout->addWidget(
      buddy_label("Click here and hold down an MDI key to &test repeat rate:", test_, this));
  layout->addWidget(test_);
  layout->addStretch();

  if (read_only) {
    delay_bar_->setEnabled(false);
    rate_bar_->setEnabled(false);
  }
}

bool CSpeedPage::eventFilter(QObject* watched, QEvent* event) {
  if (watched == test_ && event->type() == QEvent::FocusIn) try_settings();
  return QWidget::eventFilter(watched, event);
}

void CSpeedPage::try_settings() {
  if (!read_only_) {
    vorkey::VorkeySettings values;
    values.delay_time = delay_;
    values.repeat_rate = rate_;
    std::string error;
    // No box here: it would take the focus from the test box and bring it back, again and again.
    if (!vorkey::write_settings(values, env_.file, &error,
                                vorkey::kDelayTimeValue | vorkey::kRepeatRateValue))
      std::fprintf(stderr, "vorkey: %s\n", error.c_str());
  }
  env_.signal();
  test_->clear();
}

// ---- the sheet ----

CVorkeySheet::CVorkeySheet(Environment env, QWidget* parent)
    : QDialog(parent), env_(std::move(env)) {
  setWindowTitle(kCaption);
  start_ = vorkey::read_settings(env_.file);
  std::string refusal = env_.refusal(env_.file);
  read_only_ = !refusal.empty();

  tabs_ = new QTabWidget(this);
  general_ = new CGeneralPage(env_, read_only_);
  general_->set_values(start_.definition_file, int(start_.default_table),
                       start_.one_touch_shift != 0);
  speed_ = new CSpeedPage(env_, read_only_, start_.delay_time, start_.repeat_rate);
  tabs_->addTab(general_, "General");
  tabs_->addTab(speed_, "Speed");
  tabs_->setCurrentIndex(0);

  // Users who may not change the machine configuration see the settings and why they cannot
  // change them.
  note_ = new QLabel(this);
  note_->setObjectName("readOnlyNote");
  note_->setWordWrap(true);
  note_->setText(qs("You can view these settings but not change them: " + refusal + "."));
  note_->setVisible(read_only_);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  ok_ = buttons->button(QDialogButtonBox::Ok);
  connect(buttons, &QDialogButtonBox::accepted, this, &CVorkeySheet::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CVorkeySheet::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(note_);
  layout->addWidget(tabs_);
  layout->addWidget(buttons);
}

void CVorkeySheet::accept() {
  vorkey::VorkeySettings values = start_;
  values.definition_file = trim_blanks(general_->path());
  values.default_table = uint32_t(general_->keyboard_type());  // none selected: -1
  values.one_touch_shift = general_->one_touch() ? 1 : 0;
  values.delay_time = speed_->delay();
  values.repeat_rate = speed_->rate();

  const std::string& path = values.definition_file;
  if (!path.empty() && !opens_for_reading(path)) {
    // Perhaps on a medium that is not mounted yet: said, and stored all the same.
    tell("Key definition file \"" + path + "\" not found.");
  }
  if (!read_only_) {
    // A file the service would misread, or a path the settings cannot hold, is not stored.
    std::string fault = definition_file_fault(path);
    if (!fault.empty()) {
      tell(fault);
      tabs_->setCurrentWidget(general_);
      general_->path_edit()->setFocus();
      return;
    }
  }
  save(values);
  QDialog::accept();
}

void CVorkeySheet::reject() {
  // Undoes what the test box stored meanwhile.
  save(start_);
  QDialog::reject();
}

void CVorkeySheet::save(const vorkey::VorkeySettings& values) {
  if (!read_only_) {
    std::string error;
    if (!vorkey::write_settings(values, env_.file, &error, vorkey::kAppletValues))
      tell("The MDI keyboard settings could not be saved.\n\n" + error);
  }
  // Signalled even when nothing could be written; without a running service nothing happens.
  env_.signal();
}

void run_applet(QWidget* parent, Environment env) {
  CVorkeySheet sheet(std::move(env), parent);
  sheet.exec();
}

}  // namespace vorkey_applet
