// The viewer's window, view and dialogs over an in-memory node list (offscreen platform).
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QtTest>
#include <functional>

#include "hexlook/dialogs.h"
#include "hexlook/main_frame.h"
#include "hexlook/tests/fake_access.h"
#include "platform/prompter.h"

using namespace hexlook;
using hexlook::testing::FakeAccess;

namespace {

// Runs `body` on the next modal dialog of type D once its exec() has started; the body accepts or
// rejects it. A dialog the body leaves open is rejected so the test never hangs.
template <typename D>
void on_next_dialog(std::function<void(D*)> body, bool* seen) {
  *seen = false;
  QTimer::singleShot(0, [body, seen] {
    auto* dialog = qobject_cast<D*>(QApplication::activeModalWidget());
    if (!dialog) return;
    *seen = true;
    body(dialog);
    if (dialog->isVisible()) dialog->reject();
  });
}

}  // namespace

class HexlookUiTest : public QObject {
  Q_OBJECT

 private:
  moxel::ScriptedPrompter prompter_;
  FakeAccess fake_;

  void reset_fake() {
    fake_ = FakeAccess();
    fake_.nodes = {{1, "Lathe"}, {4, "Mill"}};
  }

 private slots:
  void init() {
    prompter_.clear();
    moxel::set_prompter(&prompter_);
    reset_fake();
  }
  void cleanup() { moxel::set_prompter(nullptr); }

  void caption_and_panes() {
    MainFrame frame(fake_);
    frame.view()->compose();
    frame.refresh();
    QCOMPARE(frame.windowTitle(), QString("Hexlook : Node1 : Lathe"));
    QCOMPARE(frame.address_pane()->text(), QString("20C00000"));
    QCOMPARE(frame.read_only_pane()->text(), QString("Read Only"));
    QCOMPARE(frame.link_pane()->text(), QString());
    QCOMPARE(frame.idle_pane()->text(), QString(kIdleText));
    QCOMPARE(frame.help_line()->text(), QString(kHelpText));

    fake_.status = 0x10;  // link bit 6 down
    frame.view()->compose();
    frame.refresh();
    QCOMPARE(frame.link_pane()->text(), QString("COM ERR"));

    frame.action(kReadOnly)->trigger();
    QVERIFY(frame.view()->model().write_enabled);
    QCOMPARE(frame.read_only_pane()->text(), QString());
    QVERIFY(!frame.action(kReadOnly)->isChecked());

    frame.view()->next_line();
    QCOMPARE(frame.address_pane()->text(), QString("20C00010"));
  }

  void commands_keys_and_toolbar() {
    MainFrame frame(fake_);
    struct Row { int id; const char* key; const char* prompt; const char* tip; };
    const Row rows[] = {
        {kSelectNode, "F2", "Changes node.", "Change Node"},
        {kAddress, "F9", "Jumps to specified address.", "Address"},
        {kPreviousPage, "", "Displays previous page.", "Previous Page"},
        {kNextPage, "", "Displays next page.", "Next Page"},
        {kPreviousLine, "", "Displays previous line.", "Previous Line"},
        {kNextLine, "", "Displays next line.", "Next Line"},
        {kByte, "F6", "Displays data in byte.", "Byte"},
        {kWord, "F7", "Displays data in word.", "Word"},
        {kDword, "F8", "Displays data in double word.", "Double Word"},
        {kFluxIo, "F3", "Displays FLUX I/O registers.", "FLUX I/O Registers"},
        {kReadOnly, "F4", "Switches data writing mode: Write Enable/Read Only.",
         "Write Enable/Read Only"},
        {kPhysicalSlot, "", "Allows to having access to physical slot.", "Physical Slot"},
    };
    for (const auto& r : rows) {
      QAction* a = frame.action(r.id);
      QVERIFY2(a, qPrintable(QString::number(r.id)));
      QCOMPARE(a->shortcut(), QKeySequence(r.key));
      QCOMPARE(a->statusTip(), QString(r.prompt));
      QCOMPARE(a->toolTip(), QString(r.tip));
    }
    auto* toolbar = frame.findChild<QToolBar*>("toolbar");
    QVERIFY(toolbar);
    QList<int> order;
    for (QAction* a : toolbar->actions()) order << (a->isSeparator() ? 0 : a->data().toInt());
    QCOMPARE(order, (QList<int>{kSelectNode, kFluxIo, kReadOnly, 0, kByte, kWord, kDword, 0,
                                kAddress, kPreviousPage, kPreviousLine, kNextLine, kNextPage}));

    // The commands act on the view as their keys do.
    frame.action(kWord)->trigger();
    QCOMPARE(frame.view()->model().mode(), Mode::word);
    QVERIFY(frame.action(kWord)->isChecked() && !frame.action(kByte)->isChecked());
    frame.action(kNextPage)->trigger();
    QCOMPARE(frame.view()->model().top_line(), 0x20C0010u);
    frame.action(kPreviousLine)->trigger();
    QCOMPARE(frame.view()->model().top_line(), 0x20C000Fu);
    frame.action(kPhysicalSlot)->trigger();
    QVERIFY(frame.view()->model().physical_slot && frame.action(kPhysicalSlot)->isChecked());

    // The accelerators reach the commands from the view.
    frame.show();
    QVERIFY(QTest::qWaitForWindowActive(&frame));
    QTest::keyClick(frame.view(), Qt::Key_F8);
    QCOMPARE(frame.view()->model().mode(), Mode::dword);
    QTest::keyClick(frame.view(), Qt::Key_F4);
    QVERIFY(frame.view()->model().write_enabled);
    QTest::keyClick(frame.view(), Qt::Key_F3);
    QVERIFY(frame.view()->model().register_view);
    QTest::keyClick(frame.view(), Qt::Key_F6);  // greyed in register view
    QCOMPARE(frame.view()->model().mode(), Mode::dword);
  }

  void menus_and_status_prompts() {
    MainFrame frame(fake_);
    QStringList menus;
    for (QAction* top : frame.menuBar()->actions()) {
      QStringList entries;
      for (QAction* a : top->menu()->actions())
        entries << (a->isSeparator() ? QString("-") : a->text());
      menus << top->text() + ": " + entries.join(", ");
    }
    QCOMPARE(menus, (QStringList{
                        "&Node: &Select Node..., -, E&xit",
                        "&Jump: &Address..., &Previous Page, &Next Page",
                        "&View: &Byte, &Word, &Dword, -, &FLUX I/O, -, &Read Only, -, &Physical Slot",
                        "&Help: &About...",
                    }));
    // A command's prompt replaces the idle text while it is pointed at.
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    frame.action(kFluxIo)->showStatusText(&frame);
    QCOMPARE(frame.statusBar()->currentMessage(), QString("Displays FLUX I/O registers."));
    QVERIFY(!frame.idle_pane()->isVisible());
    frame.statusBar()->clearMessage();
    QVERIFY(frame.idle_pane()->isVisible());
  }

  void a_node_gone_meanwhile_keeps_the_current_node() {
    MainFrame frame(fake_);
    bool seen = false;
    on_next_dialog<NodeDialog>(
        [&](NodeDialog* d) {
          d->node_list()->setCurrentIndex(1);  // node 4
          fake_.nodes.erase(4);
          d->address_edit()->setText("1000");
          d->accept();
        },
        &seen);
    frame.select_node();
    QVERIFY(seen);
    QCOMPARE(fake_.current_node(), 1);
    QCOMPARE(frame.windowTitle(), QString("Hexlook : Node1 : Lathe"));
    QCOMPARE(frame.view()->model().cursor_address(), 0x1000u);
  }

  void register_view_greys_memory_commands() {
    MainFrame frame(fake_);
    frame.action(kFluxIo)->trigger();
    QVERIFY(frame.view()->model().register_view);
    QVERIFY(frame.action(kFluxIo)->isChecked());
    for (int id : {kAddress, kPreviousPage, kNextPage, kPreviousLine, kNextLine, kByte, kWord,
                   kDword, kReadOnly})
      QVERIFY2(!frame.action(id)->isEnabled(), qPrintable(QString::number(id)));
    for (int id : {kSelectNode, kFluxIo, kPhysicalSlot, kExit, kAbout})
      QVERIFY2(frame.action(id)->isEnabled(), qPrintable(QString::number(id)));
    QCOMPARE(frame.help_line()->text(), QString());

    // The register page reads the 16 registers, no memory, and shows the port address.
    fake_.cell_reads.clear();
    fake_.register_reads = 0;
    const Page& page = frame.view()->compose();
    QVERIFY(fake_.cell_reads.empty());
    QCOMPARE(fake_.register_reads, 16);
    const auto rows = render_rows(page.layout);
    QCOMPARE(QString::fromStdString(rows[1]),
             QString("0320 A0 A1 A2 A3 A4 A5 A6 A7 A8 50 AA AB AC AD AE AF"));

    frame.action(kFluxIo)->trigger();
    QVERIFY(frame.action(kAddress)->isEnabled() && frame.action(kReadOnly)->isEnabled());
    QCOMPARE(frame.help_line()->text(), QString(kHelpText));
  }

  void keys_in_register_view_keep_the_address_pane_with_the_page() {
    MainFrame frame(fake_);
    frame.action(kFluxIo)->trigger();
    // The keys move the hidden memory page; the pane follows it, also across a paint.
    struct Step {
      Qt::Key key;
      const char* address;
    } const steps[] = {{Qt::Key_PageDown, "20C00100"}, {Qt::Key_PageDown, "20C00200"},
                       {Qt::Key_Down, "20C00210"},     {Qt::Key_PageUp, "20C00100"}};
    for (const auto& step : steps) {
      QTest::keyClick(frame.view(), step.key);
      QCOMPARE(frame.address_pane()->text(), QString(step.address));
      frame.view()->compose();
      frame.refresh();
      QCOMPARE(frame.address_pane()->text(), QString(step.address));
    }
    frame.action(kFluxIo)->trigger();
    QCOMPARE(frame.view()->model().cursor_address(), 0x20C00100u);
    QCOMPARE(frame.address_pane()->text(), QString("20C00100"));
  }

  void memory_page_reads_in_ascending_order() {
    MainFrame frame(fake_);
    struct Case { Mode mode; bool slot; int cells; };
    for (const Case c : {Case{Mode::byte, false, 256}, Case{Mode::word, false, 128},
                         Case{Mode::dword, true, 64}}) {
      frame.view()->set_mode(c.mode);
      frame.view()->model().physical_slot = c.slot;
      fake_.cell_reads.clear();
      frame.view()->compose();
      // The first cell alone, then the rest of the page in one call.
      QCOMPARE(fake_.cell_reads.size(), size_t(2));
      QCOMPARE(fake_.cell_reads[0].address, 0x20C00000u);
      QCOMPARE(fake_.cell_reads[0].count, 1);
      QCOMPARE(fake_.cell_reads[1].address, 0x20C00000u + unit_size(c.mode));
      QCOMPARE(fake_.cell_reads[1].count, c.cells - 1);
      for (const auto& r : fake_.cell_reads) {
        QCOMPARE(r.unit, unit_size(c.mode));
        QCOMPARE(r.check_slot, !c.slot);
      }
    }
  }

  void a_board_that_stays_busy_costs_one_cell_per_paint() {
    fake_.memory[0x20C00001] = 0x42;
    fake_.read_delay = std::chrono::milliseconds(60);  // as slow as a unit that times out
    MainFrame frame(fake_);
    // Slow but no longer busy: the page is read.
    fake_.status = 0x50;
    frame.view()->compose();
    QCOMPARE(fake_.cell_reads.size(), size_t(2));
    QCOMPARE(render_rows(frame.view()->last_page().layout)[1].substr(9, 4), std::string("0042"));
    QVERIFY(!frame.view()->last_page().stalled);
    frame.refresh();
    QCOMPARE(frame.link_pane()->text(), QString());
    // Slow and still busy: only the first cell is read, the rest shows all ones.
    fake_.cell_reads.clear();
    fake_.status = 0xD0;
    QElapsedTimer timer;
    timer.start();
    frame.view()->compose();
    QVERIFY(timer.elapsed() < 1000);
    QCOMPARE(fake_.cell_reads.size(), size_t(1));
    QVERIFY(frame.view()->last_page().stalled);
    const auto rows = render_rows(frame.view()->last_page().layout);
    QCOMPARE(rows[1].substr(9, 4), std::string("00FF"));
    QCOMPARE(rows[16].substr(9, 4), std::string("FFFF"));
    // The link pane tells a board that stays busy from a link that is down.
    frame.refresh();
    QCOMPARE(frame.link_pane()->text(), QString("BUSY"));
    fake_.status = 0x90;  // busy, link down
    frame.view()->compose();
    frame.refresh();
    QCOMPARE(frame.link_pane()->text(), QString("COM ERR"));
  }

  // The page goes out in glyph runs; it must look as each text drawn on its own with drawText at
  // its place, in every mode, the cursor cell included.
  void paint_looks_as_each_text_drawn_alone() {
    for (int i = 0; i < 256; ++i) fake_.memory[0x20C00000 + i] = uint8_t(i * 7 + 0x20);
    for (Mode mode : {Mode::byte, Mode::word, Mode::dword}) {
      HexView view(fake_);
      view.model().set_mode(mode);
      view.model().down();
      view.model().right();
      view.resize(view.sizeHint());
      QImage drawn(view.size(), QImage::Format_ARGB32_Premultiplied);
      view.render(&drawn);

      QImage expected(view.size(), QImage::Format_ARGB32_Premultiplied);
      QPainter painter(&expected);
      painter.setFont(view.font());
      painter.fillRect(expected.rect(), view.palette().color(QPalette::Base));
      const QFontMetrics fm(view.font());
      const int cw = fm.horizontalAdvance('0'), ch = fm.height();
      int inverted = 0;
      for (const auto& item : view.last_page().layout) {
        const int x = item.x10 * cw / 10, y = item.row * ch;
        const QString text = QString::fromStdString(item.text);
        if (item.inverted) {
          ++inverted;
          painter.fillRect(x, y, fm.horizontalAdvance(text), ch, Qt::black);
          painter.setPen(Qt::white);
        } else {
          painter.setPen(view.palette().color(QPalette::Text));
        }
        painter.drawText(x, y + fm.ascent(), text);
      }
      painter.end();
      QVERIFY(inverted > 0);
      int differing = 0;
      for (int y = 0; y < drawn.height(); ++y)
        for (int x = 0; x < drawn.width(); ++x)
          if (drawn.pixel(x, y) != expected.pixel(x, y)) ++differing;
      QVERIFY2(differing == 0, qPrintable(QString("%1 pixels differ").arg(differing)));
    }
  }

  void paint_draws_the_cursor_inverted() {
    for (int i = 0; i < 16; ++i) fake_.memory[0x20C00000 + i] = uint8_t(0x41 + i);
    MainFrame frame(fake_);
    frame.resize(900, 600);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    HexView* view = frame.view();
    view->model().right();
    view->model().right();  // byte 2, "43", at 14.6 widths
    const QImage image = view->grab().toImage();
    const QFontMetrics fm(view->font());
    const int cw = fm.horizontalAdvance('0'), ch = fm.height();
    auto dark_pixels = [&](int x0, int y0, int w, int h) {
      int dark = 0;
      for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x)
          if (qGray(image.pixel(x, y)) < 64) ++dark;
      return dark;
    };
    const int cell_x = 146 * cw / 10;
    const int cell_w = fm.horizontalAdvance("43");
    // Inverted: mostly black, with white glyphs. Other cells: mostly background with dark glyphs.
    const int area = cell_w * ch;
    QVERIFY(dark_pixels(cell_x, ch, cell_w, ch) > area / 2);
    QVERIFY(dark_pixels(9 * cw, ch, fm.horizontalAdvance("41"), ch) < area / 2);
    // Its character "C" too, at 56 widths.
    QVERIFY(dark_pixels(56 * cw, ch, cw, ch) > cw * ch / 2);
    QVERIFY(dark_pixels(55 * cw, ch, cw, ch) < cw * ch / 2);
    QCOMPARE(QString::fromStdString(view->last_page().current_text), QString("43"));
    QCOMPARE(frame.windowTitle(), QString("Hexlook : Node1 : Lathe"));
  }

  void node_dialog_lists_present_nodes() {
    fake_.current = 4;
    MainFrame frame(fake_);
    bool seen = false;
    on_next_dialog<NodeDialog>(
        [](NodeDialog* d) {
          QCOMPARE(d->windowTitle(), QString("Node"));
          QCOMPARE(d->node_list()->count(), 2);
          QCOMPARE(d->node_list()->itemText(0), QString("Node1 : Lathe"));
          QCOMPARE(d->node_list()->itemText(1), QString("Node4 : Mill"));
          QCOMPARE(d->node_list()->currentIndex(), 1);
          QCOMPARE(d->address_text(), QString("20C00000"));
        },
        &seen);
    frame.select_node();
    QVERIFY(seen);
    QCOMPARE(frame.view()->model().top_line(), 0x20C0000u);
  }

  void node_dialog_checks_the_address() {
    MainFrame frame(fake_);
    frame.view()->set_mode(Mode::word);
    bool seen = false;
    int beeps_on_empty = -1;
    on_next_dialog<NodeDialog>(
        [&](NodeDialog* d) {
          d->address_edit()->setText("");
          d->accept();
          beeps_on_empty = prompter_.beeps();
          QVERIFY(d->isVisible());
          d->address_edit()->setText("12x4");  // past the key filter (which beeps for it too)
          const int before = prompter_.beeps();
          d->accept();
          QCOMPARE(prompter_.beeps(), before + 1);
          QVERIFY(d->isVisible());
          d->node_list()->setCurrentIndex(1);
          d->address_edit()->setText("20c01237");
          d->accept();
          QVERIFY(!d->isVisible());
        },
        &seen);
    frame.select_node();
    QVERIFY(seen);
    QCOMPARE(beeps_on_empty, 1);
    QCOMPARE(fake_.current_node(), 4);
    QCOMPARE(frame.windowTitle(), QString("Hexlook : Node4 : Mill"));
    QCOMPARE(frame.view()->model().cursor_address(), 0x20C01236u);  // word mode kept
    QCOMPARE(frame.address_pane()->text(), QString("20C01236"));

    // Cancel changes nothing.
    on_next_dialog<NodeDialog>([](NodeDialog* d) { d->node_list()->setCurrentIndex(0); d->reject(); },
                               &seen);
    frame.select_node();
    QVERIFY(seen);
    QCOMPARE(fake_.current_node(), 4);
    QCOMPARE(frame.view()->model().cursor_address(), 0x20C01236u);
  }

  void address_dialog() {
    MainFrame frame(fake_);
    frame.view()->go_to(0x20C00345);
    bool seen = false;
    on_next_dialog<AddressDialog>(
        [&](AddressDialog* d) {
          QCOMPARE(d->windowTitle(), QString("Address"));
          QCOMPARE(d->address_text(), QString("20C00345"));
          QCOMPARE(d->address_edit()->maxLength(), 8);
          d->address_edit()->setText("");
          d->accept();
          QVERIFY(d->isVisible());
          // The edit lets only hexadecimal digits through; a refused key beeps.
          d->address_edit()->setFocus();
          QTest::keyClicks(d->address_edit(), "1g2z37");
          QCOMPARE(d->address_text(), QString("1237"));
          d->accept();
        },
        &seen);
    frame.jump_to_address();
    QVERIFY(seen);
    QCOMPARE(prompter_.beeps(), 3);
    QCOMPARE(frame.view()->model().top_line(), 0x123u);
    QCOMPARE(frame.view()->model().column(), 7u);
  }

  void typing_outside_data_entry_beeps() {
    MainFrame frame(fake_);
    HexView* view = frame.view();
    QTest::keyClick(view, Qt::Key_G);
    QCOMPARE(prompter_.beeps(), 1);
    QTest::keyClick(view, Qt::Key_7);  // read-only
    QCOMPARE(prompter_.beeps(), 2);
    frame.action(kReadOnly)->trigger();
    frame.action(kFluxIo)->trigger();
    QTest::keyClick(view, Qt::Key_7);  // register view
    QCOMPARE(prompter_.beeps(), 3);
    QVERIFY(fake_.writes.empty());
    // Arrows move; other keys change nothing.
    frame.action(kFluxIo)->trigger();
    QTest::keyClick(view, Qt::Key_Right);
    QTest::keyClick(view, Qt::Key_Down);
    QTest::keyClick(view, Qt::Key_Home);
    QCOMPARE(view->model().cursor_address(), 0x20C00011u);
    QTest::keyClick(view, Qt::Key_PageDown);
    QCOMPARE(view->model().cursor_address(), 0x20C00100u);
    QTest::keyClick(view, Qt::Key_Left);
    QCOMPARE(view->model().cursor_address(), 0x20C000FFu);
    QCOMPARE(prompter_.beeps(), 3);
  }

  void data_entry_writes_one_unit() {
    fake_.memory[0x20C00000] = 0xFF;  // word 00FF
    MainFrame frame(fake_);
    HexView* view = frame.view();
    frame.action(kWord)->trigger();
    frame.action(kReadOnly)->trigger();
    view->compose();
    bool seen = false;
    on_next_dialog<DataDialog>(
        [&](DataDialog* d) {
          QCOMPARE(d->windowTitle(), QString("Data"));
          QCOMPARE(d->current_edit()->text(), QString("00FF"));
          QCOMPARE(d->new_text(), QString("7"));
          d->new_edit()->setText("12345");
          d->accept();
          QCOMPARE(prompter_.beeps(), 1);
          QVERIFY(d->isVisible());
          d->new_edit()->setText("");
          d->accept();
          QCOMPARE(prompter_.beeps(), 2);
          d->new_edit()->setText("a5c");
          d->accept();
        },
        &seen);
    QTest::keyClick(view, Qt::Key_7);
    QVERIFY(seen);
    QCOMPARE(fake_.writes.size(), size_t(1));
    QCOMPARE(fake_.writes[0].address, 0x20C00000u);
    QCOMPARE(fake_.writes[0].unit, 2u);
    QCOMPARE(fake_.writes[0].value, 0xA5Cu);
    QCOMPARE(view->model().cursor_address(), 0x20C00002u);
    QCOMPARE(frame.address_pane()->text(), QString("20C00002"));

    // Cancel writes nothing and leaves the cursor.
    on_next_dialog<DataDialog>([](DataDialog* d) { d->reject(); }, &seen);
    QTest::keyClick(view, Qt::Key_B);
    QVERIFY(seen);
    QCOMPARE(fake_.writes.size(), size_t(1));
    QCOMPARE(view->model().cursor_address(), 0x20C00002u);
  }

  void data_entry_after_a_mode_change_uses_the_new_cell() {
    fake_.memory[0x20C00004] = 0x78;
    fake_.memory[0x20C00005] = 0x56;
    fake_.memory[0x20C00006] = 0x34;
    fake_.memory[0x20C00007] = 0x12;
    MainFrame frame(fake_);
    HexView* view = frame.view();
    frame.action(kReadOnly)->trigger();
    view->compose();  // byte mode, cursor on "00"
    view->go_to(0x20C00004);
    frame.action(kDword)->trigger();  // no paint in between
    bool seen = false;
    on_next_dialog<DataDialog>(
        [](DataDialog* d) {
          QCOMPARE(d->current_edit()->text(), QString("12345678"));
          d->new_edit()->setText("CAFEF00D");
          d->accept();
        },
        &seen);
    QTest::keyClick(view, Qt::Key_C);
    QVERIFY(seen);
    QCOMPARE(fake_.writes.size(), size_t(1));
    QCOMPARE(fake_.writes[0].address, 0x20C00004u);
    QCOMPARE(fake_.writes[0].unit, 4u);
    QCOMPARE(fake_.writes[0].value, 0xCAFEF00Du);
  }

  void data_entry_at_the_last_cell_stays() {
    MainFrame frame(fake_);
    HexView* view = frame.view();
    frame.action(kReadOnly)->trigger();
    view->go_to(0xFFFFFFFF);
    bool seen = false;
    on_next_dialog<DataDialog>([](DataDialog* d) { d->accept(); }, &seen);
    QTest::keyClick(view, Qt::Key_1);
    QVERIFY(seen);
    QCOMPARE(fake_.writes.size(), size_t(1));
    QCOMPARE(fake_.writes[0].address, 0xFFFFFFFFu);
    QCOMPARE(fake_.writes[0].value, 1u);
    QCOMPARE(view->model().cursor_address(), 0xFFFFFFFFu);
  }

  void data_dialog_leaves_the_typed_digit_unselected() {
    DataDialog dialog("00FF", "7");
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QTRY_COMPARE(dialog.new_edit()->hasFocus(), true);
    QTRY_COMPARE(dialog.new_edit()->cursorPosition(), 1);
    QCOMPARE(dialog.new_edit()->selectedText(), QString());
    QTest::keyClicks(dialog.new_edit(), "a");
    QCOMPARE(dialog.new_text(), QString("7a"));
    QVERIFY(dialog.current_edit()->isReadOnly());
  }

  void dialog_labels() {
    const std::vector<std::pair<int, QString>> nodes = {{1, "Node1 : Lathe"}};
    NodeDialog node(nodes, 1);
    AddressDialog address("20C00000");
    DataDialog data("00FF", "7");
    auto labels = [](QDialog& d) {
      QStringList out;
      for (auto* label : d.findChildren<QLabel*>()) out << label->text();
      return out;
    };
    QCOMPARE(labels(node), (QStringList{"Node:", "Address:"}));
    QCOMPARE(labels(address), (QStringList{"Address:"}));
    QCOMPARE(labels(data), (QStringList{"Current Data:", "New Data:"}));
  }

  void refusal_when_no_node_is_reachable() {
    FakeAccess none;
    QVERIFY(!nodes_reachable_or_refuse(none));
    const auto shown = prompter_.shown();
    QCOMPARE(shown.size(), size_t(1));
    QCOMPARE(QString::fromStdString(shown[0].caption), QString("Hexlook"));
    QCOMPARE(QString::fromStdString(shown[0].text),
             QString("Installation of FLUX driver (LORAND) is not success. "));
    QVERIFY(shown[0].icon == moxel::Icon::stop);
    QVERIFY(shown[0].buttons == moxel::Buttons::ok);
    QVERIFY(nodes_reachable_or_refuse(fake_));
    QCOMPARE(prompter_.shown().size(), size_t(1));
  }

  void repaint_every_half_second() {
    MainFrame frame(fake_);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    fake_.memory[0x20C00000] = 0x5A;
    QTRY_COMPARE_WITH_TIMEOUT(QString::fromStdString(frame.view()->last_page().current_text),
                              QString("5A"), 3000);
    // Nothing else asks for paints here: the timer alone re-reads the page.
    const size_t before = fake_.cell_reads.size();
    QTRY_VERIFY_WITH_TIMEOUT(fake_.cell_reads.size() >= before + 2, 3000);
  }
};

QTEST_MAIN(HexlookUiTest)
#include "ui_test.moc"
