#pragma once
// The memory view: one fixed page of a node's memory (or the board's 16 registers), re-read and
// redrawn every 500 ms, with a cursor and data entry.
#include <QBasicTimer>
#include <QFont>
#include <QRawFont>
#include <QWidget>
#include <array>

#include "hexlook/hex_model.h"
#include "hexlook/node_access.h"

namespace hexlook {

// Courier New at 11.5 points, or the monospace face that fontconfig chooses for it.
QFont view_font();

class HexView : public QWidget {
  Q_OBJECT
 public:
  explicit HexView(NodeAccess& access, QWidget* parent = nullptr);
  ~HexView() override;

  HexModel& model() { return model_; }
  const HexModel& model() const { return model_; }
  NodeAccess& access() { return access_; }
  // What the last paint read and drew.
  const Page& last_page() const { return page_; }
  // "Node" + number + " : " + name of the current node.
  QString node_title() const { return title_; }
  void refresh_node_title();

  // Reads the page and lays it out as the next paint draws it; paints call this.
  const Page& compose();

  // Commands.
  void set_mode(Mode m);
  void previous_page();
  void next_page();
  void previous_line();
  void next_line();
  void toggle_read_only();
  void toggle_register_view();
  void toggle_physical_slot();
  void go_to(uint32_t address);
  // A character typed while the view has focus: a hexadecimal digit starts data entry, anything
  // else beeps.
  void type_character(QChar c);

  QSize sizeHint() const override;

 signals:
  // After every paint (the caption is due; in memory mode also the cursor-address, read-only and
  // link panes).
  void painted();
  // The cursor moved, the page changed or a toggle changed: the panes are due now.
  void stateChanged();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  void moved();
  void enter_data(QChar digit);
  // Glyph and advance of each printable ASCII character in the view's font, looked up once per
  // font: a page is some 530 short texts of these characters, and shaping each again at every
  // repaint cost most of the repaint.
  void prepare_glyphs();

  NodeAccess& access_;
  HexModel model_;
  Page page_;
  QString title_;
  QBasicTimer timer_;
  QFont glyph_font_;  // the font the tables below were made for
  QRawFont raw_font_;
  std::array<quint32, 128> glyph_{};
  std::array<qreal, 128> advance_{};
};

}  // namespace hexlook
