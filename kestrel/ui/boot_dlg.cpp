#include "kestrel/ui/boot_dlg.h"

#include <algorithm>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QPainter>
#include <QSignalBlocker>
#include <QStyledItemDelegate>
#include <QTextOption>
#include <QVBoxLayout>

#include "kestrel/boot/boot_thread.h"
#include "kestrel/console/transfers.h"
#include "kestrel/ui/about_dlg.h"
#include "kestrel/ui/boot_subdlgs.h"
#include "kestrel/ui/kestrel_app.h"
#include "kestrel/ui/location_dlg.h"

namespace kestrel {
namespace {

// Thrown from the interface's wait hook once the thread's stop is requested: it ends the job.
struct NodeStopped {};

// The module lines carry a tab before the block count; they are drawn with one tab stop at 16
// average characters (64 dialog units).
class TabStopDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QString text = opt.text;
    opt.text.clear();
    const QWidget* widget = opt.widget;
    QStyle* style = widget ? widget->style() : nullptr;
    if (style) style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
    QTextOption text_option(Qt::AlignLeft | Qt::AlignVCenter);
    text_option.setTabStopDistance(opt.fontMetrics.averageCharWidth() * 16);
    text_option.setWrapMode(QTextOption::NoWrap);
    painter->save();
    painter->setPen(opt.palette.color(opt.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text));
    painter->drawText(QRectF(opt.rect.adjusted(3, 0, -3, 0)), text, text_option);
    painter->restore();
  }
};

// The console's progress, queued to the dialog.
class QueuedView final : public IConsoleView {
 public:
  explicit QueuedView(BootSession& session) : session_(session) {}
  void SetLog(const std::string& text) override {
    const QString t = QString::fromStdString(text);
    session_.Gui([t](CBootDlg& d) { d.SetLog(t); });
  }
  void SetStatus(const std::string& text) override {
    const QString t = QString::fromStdString(text);
    session_.Gui([t](CBootDlg& d) { d.SetStatus(t); });
  }
  void SetProgressRange(int range) override {
    session_.Gui([range](CBootDlg& d) { d.SetProgressRange(range); });
  }
  void SetProgress(int position) override {
    session_.Gui([position](CBootDlg& d) { d.SetProgress(position); });
  }

 private:
  BootSession& session_;
};

bool SameFiles(const std::vector<FileRow>& a, const std::vector<FileRow>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].name != b[i].name || a[i].size != b[i].size || a[i].date != b[i].date) return false;
  return true;
}

QProgressBar* ProgressOf(QDialog* child) {
  if (auto* load = qobject_cast<CLoadDlg*>(child)) return load->Progress();
  if (auto* copy = qobject_cast<CCopyDlg*>(child)) return copy->Progress();
  return nullptr;
}

}  // namespace

ConsoleSnapshot TakeSnapshot(const CBootConsole& console) {
  ConsoleSnapshot s;
  s.boards = console.BoardLines();
  s.board = console.CurrentBoard();
  s.tab = console.Tab();
  s.buttons = console.Buttons();
  s.modules = console.ModuleLines();
  s.module = console.SelectedModule();
  s.files = console.Files();
  s.store = console.Store();
  return s;
}

// --- the node thread's side ---

void BootSession::Gui(GuiStep step) {
  QMetaObject::invokeMethod(
      gui,
      [self = shared_from_this(), step = std::move(step)] {
        if (self->dialog) step(*self->dialog);
      },
      Qt::QueuedConnection);
}

void BootSession::RunJob(const ConsoleJob& job, bool counted, QPointer<QWidget> busy, QPointer<QWidget> focus) {
  GuiStep next;
  try {
    next = job(*console, *ctx);
  } catch (const CItfErr& e) {
    Fatal(e);
    return;
  } catch (const NodeStopped&) {
    return;
  }
  ConsoleSnapshot snapshot = TakeSnapshot(*console);
  Gui([snapshot = std::move(snapshot), next = std::move(next), counted, busy, focus](CBootDlg& d) {
    d.Show(snapshot);
    d.JobDone(counted, busy, focus);
    if (next) next(d);
  });
}

void BootSession::Fatal(const CItfErr& error) {
  if (fatal) return;
  fatal = true;
  worker.Quit();  // no further job, no further link check
  Gui([](CBootDlg& d) {
    d.raise();
    d.activateWindow();
  });
  HandleItfError(error, ctx->prompter, link_lost);
  Gui([](CBootDlg& d) { d.EndFatal(); });
}

uint16_t RunBootConsole(CBootThread& thread, const BootDialogHost& host) {
  auto session = std::make_shared<BootSession>();
  session->gui = host.gui;
  CStopRequest& stop = thread.Stop();
  CCncItf itf(thread.Client(), [&stop] {
    if (stop.IsSet()) throw NodeStopped{};
  });
  QueuedView view(*session);
  ConsoleContext ctx{itf, thread.Prompter(), view, BoardRecord{}, 1, StoreSettings{}, {}};
  BootSession* s = session.get();
  ctx.service_mode = [s] { return s->service_mode.load(); };
  ConsoleOptions options;
  options.node = thread.Node();
  options.profile = thread.Services().profile;
  options.auto_list = [s] { return s->auto_list.load(); };
  CBootConsole console(ctx, options);
  session->console = &console;
  session->ctx = &ctx;
  session->link_lost = [link_lost = thread.Services().link_lost, node = thread.Node()] {
    if (link_lost) link_lost(node);
  };

  const QString title = QString::fromStdString(thread.Title());
  QMetaObject::invokeMethod(
      host.gui,
      [session, title, switches = host.switches, opened = host.opened] {
        auto* dlg = new CBootDlg(session, title, switches);
        session->dialog = dlg;
        if (opened) opened(dlg);
        dlg->show();
        dlg->Act(dlg, nullptr, [](CBootConsole& c, ConsoleContext&) -> GuiStep {
          if (c.Start() == kConsoleResultOk) return {};
          return [](CBootDlg& d) { d.EndFatal(); };
        });
      },
      Qt::QueuedConnection);

  const bool ended = session->worker.Run(stop, host.link_check_ms, [&] {
    try {
      console.CheckLink();
    } catch (const CItfErr& e) {
      session->Fatal(e);
    } catch (const NodeStopped&) {
    }
  });

  uint16_t status = 0xFFFF;
  if (ended && !stop.IsSet()) {
    try {
      status = console.Close();
    } catch (const NodeStopped&) {
    }
  }
  session->console = nullptr;
  session->ctx = nullptr;
  QMetaObject::invokeMethod(host.gui, [session] { delete session->dialog; }, Qt::QueuedConnection);
  return status;
}

// --- the dialog ---

CBootDlg::CBootDlg(std::shared_ptr<BootSession> session, const QString& title, Switches* switches, QWidget* parent)
    : QDialog(parent), session_(std::move(session)), switches_(switches) {
  setWindowTitle("Kestrel32 - " + title);
  boards_ = new QComboBox(this);
  auto* board_label = new QLabel("B&oard:", this);
  board_label->setBuddy(boards_);
  tabs_ = new QTabBar(this);
  tabs_->addTab("System Data");
  tabs_->addTab("SRAM");
  tabs_->addTab("File");
  modules_ = new QListWidget(this);
  modules_->setItemDelegate(new TabStopDelegate(modules_));
  files_ = MakeFileList(this);
  log_ = new QLabel(this);
  log_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  log_->setFrameShape(QFrame::StyledPanel);
  log_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  progress_text_ = new QLabel(this);
  for (size_t i = 0; i < actions_.size(); ++i) {
    actions_[i] = new QPushButton(this);
    connect(actions_[i], &QPushButton::clicked, this, [this, i] { OnAction(int(i)); });
  }
  settings_ = new QPushButton("S&ettings...", this);
  about_ = new QPushButton("&About...", this);
  close_ = new QPushButton("&Close", this);
  close_->setAutoDefault(false);

  // Room for the file list's three columns.
  const QFontMetrics metrics(font());
  int list_width = 4 * metrics.averageCharWidth();
  for (int column = 0; column < files_->columnCount(); ++column) list_width += files_->columnWidth(column);
  const int list_height = metrics.height() * 14;
  for (QWidget* w : std::initializer_list<QWidget*>{modules_, files_, log_}) w->setMinimumSize(list_width, list_height);

  auto* board_row = new QHBoxLayout;
  board_row->addWidget(board_label);
  board_row->addWidget(boards_, 1);
  auto* column = new QVBoxLayout;
  for (QPushButton* b : actions_) column->addWidget(b);
  column->addWidget(progress_text_);
  column->addStretch(1);
  auto* area = new QHBoxLayout;
  area->addWidget(modules_, 1);
  area->addWidget(files_, 1);
  area->addWidget(log_, 1);
  area->addLayout(column);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(settings_);
  bottom->addWidget(about_);
  bottom->addStretch(1);
  bottom->addWidget(close_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(board_row);
  layout->addWidget(tabs_);
  layout->addLayout(area, 1);
  layout->addLayout(bottom);
  files_->hide();
  log_->hide();

  connect(tabs_, &QTabBar::currentChanged, this, &CBootDlg::OnTab);
  connect(boards_, &QComboBox::currentIndexChanged, this, &CBootDlg::OnBoard);
  connect(modules_, &QListWidget::currentRowChanged, this, &CBootDlg::OnModuleRow);
  connect(settings_, &QPushButton::clicked, this, &CBootDlg::OnSettings);
  connect(about_, &QPushButton::clicked, this, &CBootDlg::OnAbout);
  connect(close_, &QPushButton::clicked, this, [this] { done(kConsoleResultOk); });
}

CBootDlg::~CBootDlg() { session_->worker.Quit(); }

void CBootDlg::Act(QWidget* busy, QWidget* focus, ConsoleJob job) {
  if (ended_) return;
  if (switches_) {
    session_->service_mode = switches_->service_mode;
    session_->auto_list = switches_->auto_list;
  }
  const bool counted = busy != nullptr;
  if (counted) {
    ++busy_;
    busy->setEnabled(false);
    busy->setCursor(Qt::WaitCursor);
  }
  auto s = session_;
  s->worker.Post([s, job = std::move(job), counted, busy = QPointer<QWidget>(busy), focus = QPointer<QWidget>(focus)] {
    s->RunJob(job, counted, busy, focus);
  });
}

void CBootDlg::JobDone(bool counted, QWidget* busy, QWidget* focus) {
  if (!counted) return;
  --busy_;
  if (busy) {
    busy->unsetCursor();
    busy->setEnabled(true);
  }
  if (focus && focus->isVisible() && focus->isEnabled()) focus->setFocus();
}

void CBootDlg::Show(const ConsoleSnapshot& s) {
  const QSignalBlocker block_boards(boards_), block_tabs(tabs_), block_modules(modules_);
  if (!shown_once_ || s.boards != shown_.boards) {
    boards_->clear();
    for (const std::string& line : s.boards) boards_->addItem(QString::fromStdString(line));
  }
  boards_->setCurrentIndex(s.board);
  tabs_->setCurrentIndex(int(s.tab));
  if (!shown_once_ || s.modules != shown_.modules) {
    modules_->clear();
    for (const std::string& line : s.modules) modules_->addItem(QString::fromStdString(line));
  }
  modules_->setCurrentRow(s.module);
  if (s.module < 0) modules_->clearSelection();
  if (!shown_once_ || !SameFiles(s.files, shown_.files)) FillFileList(files_, s.files);

  modules_->setVisible(s.tab == ConsoleTab::system_data);
  log_->setVisible(s.tab == ConsoleTab::sram);
  files_->setVisible(s.tab == ConsoleTab::file);
  for (size_t i = 0; i < actions_.size(); ++i) {
    actions_[i]->setText(QString::fromStdString(s.buttons[i].text));
    actions_[i]->setVisible(s.buttons[i].visible);
    actions_[i]->setEnabled(s.buttons[i].enabled);
  }
  shown_ = s;
  shown_once_ = true;
}

void CBootDlg::EndFatal() {
  if (child_) child_->done(kConsoleResultFatal);
  done(kConsoleResultFatal);
}

void CBootDlg::done(int result) {
  if (ended_) return;
  // A job is running: the dialog ends once it has (the node thread then closes the console).
  if (result != kConsoleResultFatal && busy_ > 0) return;
  ended_ = true;
  QDialog::done(result);
  session_->worker.Quit();
}

void CBootDlg::SetLog(const QString& text) { log_->setText(text); }

void CBootDlg::SetStatus(const QString& text) {
  if (auto* load = qobject_cast<CLoadDlg*>(child_.data())) {
    load->Status()->setText(text);
    return;
  }
  progress_text_->setText(text);
}

void CBootDlg::SetProgressRange(int range) {
  if (QProgressBar* bar = ProgressOf(child_)) bar->setRange(0, std::max(range, 1));
}

void CBootDlg::SetProgress(int position) {
  if (QProgressBar* bar = ProgressOf(child_)) bar->setValue(position);
}

void CBootDlg::OnTab(int index) {
  if (index == int(ConsoleTab::sram)) log_->clear();
  const auto tab = ConsoleTab(index);
  Act(this, tabs_, [tab](CBootConsole& c, ConsoleContext&) -> GuiStep {
    c.SetTab(tab);
    return {};
  });
}

void CBootDlg::OnBoard(int index) {
  if (shown_.tab == ConsoleTab::sram) log_->clear();
  Act(this, boards_, [index](CBootConsole& c, ConsoleContext&) -> GuiStep {
    c.SelectBoard(index);
    return {};
  });
}

void CBootDlg::OnModuleRow(int row) {
  Act(nullptr, nullptr, [row](CBootConsole& c, ConsoleContext&) -> GuiStep {
    c.SelectModule(row);
    return {};
  });
}

void CBootDlg::OnAction(int index) {
  // A console operation whose result the snapshot shows.
  auto call = [](auto operation) -> ConsoleJob {
    return [operation](CBootConsole& c, ConsoleContext&) -> GuiStep {
      (c.*operation)();
      return {};
    };
  };
  ConsoleJob job;
  switch (shown_.tab) {
    case ConsoleTab::system_data:
      if (index == 0)  // "&Load..."
        job = [](CBootConsole& c, ConsoleContext&) -> GuiStep {
          if (!c.CheckCardForLoad()) return {};
          return [](CBootDlg& d) { d.OpenLoad(); };
        };
      if (index == 1)  // "&Save"
        job = [](CBootConsole& c, ConsoleContext& ctx) -> GuiStep {
          const int selected = c.SelectedModule();
          const ModuleRecord* module = selected >= 0 ? &c.Modules()[size_t(selected)] : nullptr;
          std::optional<SavePlan> plan = PrepareSave(ctx, module);
          if (!plan) return {};
          return [plan = *plan](CBootDlg& d) { d.OpenCopy(plan); };
        };
      if (index == 2)  // "C&heck"
        job = [](CBootConsole& c, ConsoleContext&) -> GuiStep {
          const QString text = QString::fromStdString(c.CheckText());
          return [text](CBootDlg& d) { d.OpenChild(new CTextDlg(text, &d)); };
        };
      if (index == 3) job = call(&CBootConsole::DeleteModule);
      if (index == 4) job = call(&CBootConsole::Initialize);
      break;
    case ConsoleTab::sram:
      if (index == 0 || index == 1)  // "&Backup", "&Restore"
        job = [index](CBootConsole&, ConsoleContext& ctx) -> GuiStep {
          (index == 0 ? BackupSram : RestoreSram)(ctx);
          return {};
        };
      break;
    case ConsoleTab::file:
      if (index == 0) {  // "&Delete"
        std::vector<std::string> names;
        for (const QString& name : SelectedNames(files_)) names.push_back(name.toStdString());
        job = [names](CBootConsole& c, ConsoleContext&) -> GuiStep {
          c.DeleteFiles(names);
          return {};
        };
      }
      if (index == 1) job = call(&CBootConsole::FormatCard);
      if (index == 2) job = call(&CBootConsole::ListFiles);  // "&Refresh"
      break;
  }
  if (job) Act(this, actions_[index], std::move(job));
}

void CBootDlg::OpenChild(QDialog* child) {
  child_ = child;
  connect(child, &QDialog::finished, this, [this, child] {
    if (child_ == child) child_ = nullptr;
    child->deleteLater();
  });
  child->open();  // modal to this dialog only: other nodes' dialogs go on working
}

void CBootDlg::OpenLoad() {
  auto* dlg = new CLoadDlg(this);
  QPointer<CLoadDlg> p(dlg);
  auto list = [p](CBootConsole& c, ConsoleContext&) -> GuiStep {
    c.ListFiles();
    return [p, rows = c.Files()](CBootDlg&) {
      if (p) FillFileList(p->List(), rows);
    };
  };
  connect(dlg, &CLoadDlg::refreshRequested, this, [this, dlg, list] { Act(dlg, dlg->RefreshButton(), list); });
  connect(dlg, &CLoadDlg::loadRequested, this, [this, dlg, p](const QStringList& names) {
    std::vector<std::string> files;
    for (const QString& name : names) files.push_back(name.toStdString());
    auto s = session_;
    Act(dlg, dlg->LoadButton(), [s, p, files](CBootConsole& c, ConsoleContext& ctx) -> GuiStep {
      for (const std::string& file : files) {
        LoadModuleFiles(ctx, {file});
        c.ListModules();
        s->Gui([snapshot = TakeSnapshot(c), p, name = QString::fromStdString(file)](CBootDlg& d) {
          d.Show(snapshot);
          if (p) p->Deselect(name);
        });
      }
      return {};
    });
  });
  OpenChild(dlg);
  Act(dlg, dlg->List(), list);
}

void CBootDlg::OpenCopy(const SavePlan& plan) {
  auto* dlg = new CCopyDlg(QString::fromStdString(plan.source), QString::fromStdString(plan.target), this);
  QPointer<CCopyDlg> p(dlg);
  connect(dlg, &CCopyDlg::copyRequested, this, [this, dlg, p, plan] {
    Act(dlg, dlg->OkButton(), [p, plan](CBootConsole&, ConsoleContext& ctx) -> GuiStep {
      SaveModule(ctx, plan);
      // Whatever the outcome, the copy dialog then ends.
      return [p](CBootDlg&) {
        if (p) p->accept();
      };
    });
  });
  OpenChild(dlg);
}

void CBootDlg::OnSettings() {
  auto* dlg = new CLocationDlg(this);
  dlg->SetData(shown_.store.mcard == 0 ? 1 : 0, QString::fromStdString(shown_.store.folder));
  connect(dlg, &QDialog::accepted, this, [this, dlg] {
    const bool on_card = dlg->Choice() != 1;
    const std::string folder = dlg->Folder().toStdString();
    Act(this, settings_, [on_card, folder](CBootConsole& c, ConsoleContext&) -> GuiStep {
      c.ApplyLocation(on_card, folder);
      return {};
    });
  });
  OpenChild(dlg);
}

void CBootDlg::OnAbout() {
  if (!switches_) return;
  OpenChild(new CAboutDlg(*switches_, this));
}

}  // namespace kestrel
