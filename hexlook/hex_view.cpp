#include "hexlook/hex_view.h"

#include <QGlyphRun>
#include <QKeyEvent>
#include <QPainter>

#include "hexlook/dialogs.h"
#include "platform/prompter.h"

namespace hexlook {

QFont view_font() {
  QFont font("Courier New");
  font.setPointSizeF(11.5);
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  return font;
}

HexView::HexView(NodeAccess& access, QWidget* parent) : QWidget(parent), access_(access) {
  setFont(view_font());
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_OpaquePaintEvent);
  refresh_node_title();
  timer_.start(500, this);
}

HexView::~HexView() { timer_.stop(); }

void HexView::refresh_node_title() {
  const int node = access_.current_node();
  title_ = QString::fromStdString(hexlook::node_title(node, access_.node_name(node)));
}

const Page& HexView::compose() {
  page_ = compose_page(access_, model_);
  return page_;
}

QSize HexView::sizeHint() const {
  const QFontMetrics fm(font());
  // 16 lines under the header row; the character column ends at 70 widths.
  return QSize(71 * fm.horizontalAdvance('0'), 17 * fm.height());
}

void HexView::prepare_glyphs() {
  if (raw_font_.isValid() && glyph_font_ == font()) return;
  glyph_font_ = font();
  raw_font_ = QRawFont::fromFont(glyph_font_);
  QString printable;
  for (char16_t c = 0x20; c < 0x7F; ++c) printable += QChar(c);
  const QList<quint32> glyphs = raw_font_.glyphIndexesForString(printable);
  const QList<QPointF> advances = raw_font_.advancesForGlyphIndexes(glyphs);
  for (qsizetype i = 0; i < glyphs.size() && i < advances.size(); ++i) {
    glyph_[0x20 + i] = glyphs[i];
    advance_[0x20 + i] = advances[i].x();
  }
}

// The page's texts go out as two glyph runs, one in the text colour and one in white for the
// cursor cell (over its black background): the same glyphs at the same places as drawing each
// text on its own, in two calls.
void HexView::paintEvent(QPaintEvent*) {
  compose();
  prepare_glyphs();
  QPainter painter(this);
  painter.fillRect(rect(), palette().color(QPalette::Base));
  const QFontMetrics fm(font());
  const int cw = fm.horizontalAdvance('0');
  const int ch = fm.height();
  const int baseline = fm.ascent();
  const QColor colours[2] = {palette().color(QPalette::Text), QColor(0xFF, 0xFF, 0xFF)};
  QList<quint32> glyphs[2];
  QList<QPointF> positions[2];
  for (auto& list : glyphs) list.reserve(2048);
  for (auto& list : positions) list.reserve(2048);
  for (const auto& item : page_.layout) {
    const int x = item.x10 * cw / 10;  // cut toward zero
    const int y = item.row * ch;
    const int run = item.inverted ? 1 : 0;
    if (!raw_font_.isValid()) {  // no glyph tables for this font: each text drawn on its own
      const QString text = QString::fromStdString(item.text);
      if (item.inverted) painter.fillRect(x, y, fm.horizontalAdvance(text), ch, QColor(0, 0, 0));
      painter.setPen(colours[run]);
      painter.drawText(x, y + baseline, text);
      continue;
    }
    qreal pen = x;
    for (const char c : item.text) {
      auto code = static_cast<unsigned char>(c);
      if (code < 0x20 || code > 0x7E) code = '.';  // the layout holds printable ASCII only
      if (code != ' ') {  // a blank only advances
        glyphs[run].push_back(glyph_[code]);
        positions[run].push_back(QPointF(pen, baseline + y));
      }
      pen += advance_[code];
    }
    if (item.inverted) painter.fillRect(QRectF(x, y, pen - x, ch), QColor(0, 0, 0));
  }
  for (int run = 0; run < 2; ++run) {
    if (glyphs[run].isEmpty()) continue;
    QGlyphRun glyph_run;
    glyph_run.setRawFont(raw_font_);
    glyph_run.setGlyphIndexes(glyphs[run]);
    glyph_run.setPositions(positions[run]);
    painter.setPen(colours[run]);
    painter.drawGlyphRun(QPointF(0, 0), glyph_run);
  }
  emit painted();
}

void HexView::timerEvent(QTimerEvent* event) {
  if (event->timerId() == timer_.timerId())
    update();
  else
    QWidget::timerEvent(event);
}

void HexView::moved() {
  update();
  emit stateChanged();
}

void HexView::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_PageUp: model_.page_up(); break;
    case Qt::Key_PageDown: model_.page_down(); break;
    case Qt::Key_Left: model_.left(); break;
    case Qt::Key_Right: model_.right(); break;
    case Qt::Key_Up: model_.up(); break;
    case Qt::Key_Down: model_.down(); break;
    default: {
      const QString text = event->text();
      if (!text.isEmpty() && !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
        type_character(text.front());
        return;
      }
      break;  // other keys change nothing but still repaint
    }
  }
  moved();
}

void HexView::set_mode(Mode m) {
  model_.set_mode(m);
  moved();
}
void HexView::previous_page() { model_.page_up(); moved(); }
void HexView::next_page() { model_.page_down(); moved(); }
void HexView::previous_line() { model_.up(); moved(); }
void HexView::next_line() { model_.down(); moved(); }

void HexView::toggle_read_only() {
  model_.write_enabled = !model_.write_enabled;
  emit stateChanged();
}

void HexView::toggle_register_view() {
  model_.register_view = !model_.register_view;
  moved();
}

void HexView::toggle_physical_slot() {
  model_.physical_slot = !model_.physical_slot;
  emit stateChanged();
}

void HexView::go_to(uint32_t address) {
  model_.go_to(address);
  moved();
}

void HexView::type_character(QChar c) {
  if (c.unicode() < 0x80 && is_hex_digit(char(c.unicode())))
    enter_data(c);
  else
    moxel::prompter().beep();
}

void HexView::enter_data(QChar digit) {
  if (model_.register_view || !model_.write_enabled) {
    moxel::prompter().beep();
    return;
  }
  const uint32_t address = model_.cursor_address();
  const uint32_t unit = model_.unit();
  // The current data is the cursor cell's text as last painted. When the cursor or the mode has
  // changed since (a key came before the repaint), the cell is read now so the text belongs to the
  // cell that will be written and has its mode's width.
  QString current = QString::fromStdString(page_.current_text);
  if (page_.current_text.empty() || page_.current_address != address ||
      page_.current_text.size() != size_t(unit) * 2) {
    uint32_t value = 0;
    access_.read_cells(address, unit, 1, !model_.physical_slot, &value);
    current = QString::fromStdString(cell_text(model_.mode(), value));
  }
  DataDialog dialog(current, QString(digit), this);
  if (dialog.exec() != QDialog::Accepted) return;
  access_.write_unit(address, unit, parse_hex(dialog.new_text().toStdString()));
  model_.right();  // does nothing at the last cell of the address space
  moved();
}

}  // namespace hexlook
