// The viewer and its text dump against simulated nodes in a lorandd of their own.
#include <QAction>
#include <QApplication>
#include <QTimer>
#include <QtTest>
#include <memory>
#include <sstream>

#include "hexlook/dialogs.h"
#include "hexlook/main_frame.h"
#include "hexlook/start_options.h"
#include "hexlook/tests/sim_nodes.h"
#include "platform/prompter.h"
#include "testsupport/test_daemon.h"

using namespace hexlook;
using moxel::test::ProgramResult;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

ProgramResult dump(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {HEXLOOK_PROGRAM, "--dump"};
  argv.insert(argv.end(), args.begin(), args.end());
  return moxel::test::run_program(argv);
}

std::string trimmed(const std::string& s) {
  const size_t end = s.find_last_not_of(" \n");
  return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

}  // namespace

class HexlookSimTest : public QObject {
  Q_OBJECT

 private:
  moxel::ScriptedPrompter prompter_;
  std::unique_ptr<moxel::test::Daemon> daemon_;

  void start_daemon() {
    // The process's MOXEL_SYSCONFDIR and MOXEL_RUNDIR point into the daemon's root while it lives.
    daemon_ = std::make_unique<moxel::test::Daemon>("hexlook-test");
    daemon_->configure(hexlook::testing::two_node_conf());
    QVERIFY2(daemon_->start({"--foreground"}), daemon_->error().c_str());
  }
  void poke(int node, const char* address, const char* hex) {
    const auto r = daemon_->cncsim({"poke", std::to_string(node), address, hex});
    QVERIFY2(r.status == 0, r.err.c_str());
  }
  std::string peek(int node, const char* address, int length) {
    const auto r = daemon_->cncsim({"peek", std::to_string(node), address, std::to_string(length)});
    return r.status == 0 ? trimmed(r.out) : "peek failed: " + r.err;
  }

 private slots:
  void init() {
    prompter_.clear();
    moxel::set_prompter(&prompter_);
  }
  void cleanup() {
    daemon_.reset();
    moxel::set_prompter(nullptr);
  }

  void without_a_display_says_so_and_ends_with_one() {
    const std::vector<std::vector<std::string>> environments = {
        {"QT_QPA_PLATFORM=", "DISPLAY=", "WAYLAND_DISPLAY="},
        {"QT_QPA_PLATFORM=", "DISPLAY=:4711", "WAYLAND_DISPLAY="},  // set, but no server there
    };
    for (const auto& env : environments) {
      const auto r = moxel::test::run_program({HEXLOOK_PROGRAM}, moxel::test::Stderr::separate, env);
      QVERIFY2(r.status == 1, r.err.c_str());
      QVERIFY2(r.err.find("hexlook: no display found (") != std::string::npos, r.err.c_str());
      QVERIFY2(r.err.find("--dump") != std::string::npos, r.err.c_str());
      QVERIFY2(r.err.find("Reinstalling") == std::string::npos, r.err.c_str());
    }
    // Help needs no display either.
    const auto help = moxel::test::run_program({HEXLOOK_PROGRAM, "--help"},
                                               moxel::test::Stderr::separate, environments[0]);
    QCOMPARE(help.status, 0);
    QVERIFY(help.out.find("--dump") != std::string::npos);
  }

  void dump_refuses_without_a_daemon() {
    QTemporaryDir empty;
    qputenv("MOXEL_RUNDIR", empty.path().toUtf8());
    qputenv("MOXEL_SYSCONFDIR", empty.path().toUtf8());
    const auto r = dump({});
    QVERIFY(r.status != 0);
    QCOMPARE(QString::fromStdString(r.out), QString());
    QVERIFY2(r.err.find("Installation of FLUX driver (LORAND) is not success. ") != std::string::npos,
             r.err.c_str());
  }

  void dump_shows_evenly_spaced_cells_in_every_mode() {
    start_daemon();
    poke(2, "0x20c01000", "48656c6c6f2c204d696c6c0001fe7f41");
    auto r = dump({"--node", "2", "--address", "20c01000"});
    QVERIFY2(r.status == 0, r.err.c_str());
    auto lines = lines_of(r.out);
    QCOMPARE(int(lines.size()), 17);
    QCOMPARE(QString::fromStdString(lines[0]),
             QString("         +0 +1 +2 +3 +4 +5 +6 +7 +8 +9 +A +B +C +D +E +F 0123456789ABCDEF"));
    QCOMPARE(QString::fromStdString(lines[1]),
             QString("20C01000 48 65 6C 6C 6F 2C 20 4D 69 6C 6C 00 01 FE 7F 41 Hello, Mill....A"));
    QCOMPARE(QString::fromStdString(lines[16]).left(8), QString("20C010F0"));

    r = dump({"--node", "2", "--address", "20C01004", "--mode", "word"});
    QVERIFY2(r.status == 0, r.err.c_str());
    lines = lines_of(r.out);
    QCOMPARE(QString::fromStdString(lines[0]),
             QString("         +0   +2   +4   +6   +8   +A   +C   +E   0123456789ABCDEF"));
    QCOMPARE(QString::fromStdString(lines[1]),
             QString("20C01000 6548 6C6C 2C6F 4D20 6C69 006C FE01 417F Hello, Mill....A"));

    r = dump({"--node", "2", "--mode", "dword", "--address", "20c01000"});
    lines = lines_of(r.out);
    QCOMPARE(QString::fromStdString(lines[0]),
             QString("         +0       +4       +8       +C       0123456789ABCDEF"));
    QCOMPARE(QString::fromStdString(lines[1]),
             QString("20C01000 6C6C6548 4D202C6F 006C6C69 417FFE01 Hello, Mill....A"));

    r = dump({"--node", "2", "--registers"});
    QVERIFY2(r.status == 0, r.err.c_str());
    lines = lines_of(r.out);
    QCOMPARE(int(lines.size()), 2);
    QCOMPARE(QString::fromStdString(lines[0]),
             QString("     +0 +1 +2 +3 +4 +5 +6 +7 +8 +9 +A +B +C +D +E +F"));
    QCOMPARE(QString::fromStdString(lines[1]).left(5), QString("0320 "));
    // Status register: link and ready.
    QCOMPARE(QString::fromStdString(lines[1]).mid(5 + 3 * 9, 2).toUInt(nullptr, 16) & 0x50, 0x50u);

    // Bad options and an absent node are refused.
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--node", "1"}, {"--node", "9"}, {"--address", "xyz"}, {"--address", "123456789"},
             {"--mode", "qword"}}) {
      r = dump(args);
      QVERIFY2(r.status != 0 && !r.err.empty() && r.out.empty(), args[0].c_str());
    }
  }

  void data_entry_writes_one_word() {
    start_daemon();
    poke(2, "0x20c02000", "ff00ff00");
    auto access = make_client_access();
    QVERIFY(access->available());
    QVERIFY(access->select_node(2));
    MainFrame frame(*access);
    frame.view()->refresh_node_title();
    HexView* view = frame.view();
    frame.action(kWord)->trigger();
    frame.action(kReadOnly)->trigger();
    view->go_to(0x20C02002);
    view->compose();
    frame.refresh();
    QCOMPARE(frame.windowTitle(), QString("Hexlook : Node2 : Mill"));
    QCOMPARE(QString::fromStdString(view->last_page().current_text), QString("00FF"));

    bool seen = false;
    QTimer::singleShot(0, [&] {
      auto* d = qobject_cast<DataDialog*>(QApplication::activeModalWidget());
      if (!d) return;
      seen = true;
      QCOMPARE(d->current_edit()->text(), QString("00FF"));
      QTest::keyClicks(d->new_edit(), "eef");
      QCOMPARE(d->new_text(), QString("7eef"));
      d->accept();
      if (d->isVisible()) d->reject();
    });
    QTest::keyClick(view, Qt::Key_7);
    QVERIFY(seen);
    QCOMPARE(QString::fromStdString(peek(2, "0x20c02000", 4)), QString("ff00ef7e"));
    QCOMPARE(view->model().cursor_address(), 0x20C02004u);
    // Node 0 was not touched.
    QCOMPARE(QString::fromStdString(peek(0, "0x20c02002", 2)), QString("0000"));
    // The next paint shows what the CNC holds.
    view->go_to(0x20C02002);
    view->compose();
    QCOMPARE(QString::fromStdString(view->last_page().current_text), QString("7EEF"));
  }

  void slot_check_and_link_pane() {
    start_daemon();
    poke(0, "0x20c00000", "41424344");
    auto access = make_client_access();
    QVERIFY(access->available());
    QCOMPARE(access->current_node(), 0);
    MainFrame frame(*access);
    HexView* view = frame.view();

    view->compose();
    frame.refresh();
    QCOMPARE(QString::fromStdString(render_rows(view->last_page().layout)[1]).left(20),
             QString("20C00000 4142 43 44 "));
    QCOMPARE(frame.link_pane()->text(), QString());

    // The board sees, per cell, a status read and then the unit; and one status read for the pane.
    QCOMPARE(daemon_->cncsim({"trace", "0", "start"}).status, 0);
    view->compose();
    const auto trace = lines_of(daemon_->cncsim({"trace", "0", "show"}).out);
    int status_reads = 0, units = 0;
    bool alternating = true;
    char last = 'U';
    for (const auto& line : trace) {
      if (line.rfind("RP 9 ", 0) == 0) {
        ++status_reads;
        if (last == 'S' && units < 256) alternating = false;
        last = 'S';
      } else if (line.rfind("R1 ", 0) == 0) {
        if (last != 'S') alternating = false;
        ++units;
        last = 'U';
      }
    }
    QCOMPARE(units, 256);
    QCOMPARE(status_reads, 257);
    QVERIFY(alternating);
    daemon_->cncsim({"trace", "0", "stop"});

    // Ready (bit 4) off: every cell shows FF and the character column dots; the link stays up.
    QCOMPARE(daemon_->cncsim({"ready", "0", "off"}).status, 0);
    view->compose();
    frame.refresh();
    const auto rows = render_rows(view->last_page().layout);
    for (int i = 1; i <= 16; ++i) {
      const QString row = QString::fromStdString(rows[i]);
      QCOMPARE(row.mid(9, 44).remove(' '), QString(32, 'F'));
      QCOMPARE(row.mid(54), QString(16, '.'));
    }
    QCOMPARE(frame.link_pane()->text(), QString());
    // Physical slot on: memory is read without the test.
    frame.action(kPhysicalSlot)->trigger();
    view->compose();
    QCOMPARE(QString::fromStdString(render_rows(view->last_page().layout)[1]).left(20),
             QString("20C00000 4142 43 44 "));

    // Link down: "COM ERR".
    QCOMPARE(daemon_->cncsim({"link", "0", "down"}).status, 0);
    view->compose();
    frame.refresh();
    QCOMPARE(frame.link_pane()->text(), QString("COM ERR"));
  }

  void a_daemon_gone_shows_com_err() {
    start_daemon();
    auto access = make_client_access();
    QVERIFY(access->available());
    MainFrame frame(*access);
    HexView* view = frame.view();
    view->compose();
    frame.refresh();
    QCOMPARE(frame.link_pane()->text(), QString());

    // No status can be read any more: that is no link, not a sound one.
    QCOMPARE(daemon_->stop(), 0);
    view->compose();
    frame.refresh();
    QCOMPARE(frame.link_pane()->text(), QString("COM ERR"));
    QCOMPARE(QString::fromStdString(render_rows(view->last_page().layout)[1]).mid(9, 44).remove(' '),
             QString(32, 'F'));
  }

  void a_stuck_board_keeps_the_window_responsive() {
    start_daemon();
    poke(0, "0x20c00000", "41424344");
    auto access = make_client_access();
    QVERIFY(access->available());
    MainFrame frame(*access);
    HexView* view = frame.view();
    QCOMPARE(daemon_->cncsim({"fault", "0", "stuck-busy", "on"}).status, 0);
    // Each unit now fails only after the driver's bound; a page read unit by unit would take
    // 256 times that.
    QElapsedTimer timer;
    timer.start();
    view->compose();
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(view->last_page().stalled);
    frame.refresh();
    QCOMPARE(frame.link_pane()->text(), QString("BUSY"));
    const auto rows = render_rows(view->last_page().layout);
    for (int i = 1; i <= 16; ++i)
      QCOMPARE(QString::fromStdString(rows[i]).mid(9, 44).remove(' '), QString(32, 'F'));

    QCOMPARE(daemon_->cncsim({"fault", "0", "stuck-busy", "off"}).status, 0);
    view->compose();
    QVERIFY(!view->last_page().stalled);
    frame.refresh();
    QCOMPARE(frame.link_pane()->text(), QString());
    QCOMPARE(QString::fromStdString(render_rows(view->last_page().layout)[1]).left(20),
             QString("20C00000 4142 43 44 "));
  }
};

QTEST_MAIN(HexlookSimTest)
#include "sim_test.moc"
