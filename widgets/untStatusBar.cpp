#include "widgets/untStatusBar.h"

#include <QPaintEvent>
#include <QPainter>
#include <algorithm>

#include "platform/untApplication.h"

TStatusBar::TStatusBar(QWidget *Parent) : QWidget(Parent) {
  setFixedHeight(19);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void TStatusBar::SetPanelCount(int Value) {
  FPanels.resize(static_cast<size_t>(std::max(0, Value)));
  update();
}

void TStatusBar::SetPanelText(int Index, const QString &Text) {
  if (Index < 0 || Index >= PanelCount()) return;
  FPanels[static_cast<size_t>(Index)].Text = Text;
  update();
}

void TStatusBar::SetPanelWidth(int Index, int Width) {
  if (Index < 0 || Index >= PanelCount()) return;
  FPanels[static_cast<size_t>(Index)].Width = std::max(0, Width);
  update();
}

void TStatusBar::SetPanelStyle(int Index, TStatusPanelStyle Style) {
  if (Index < 0 || Index >= PanelCount()) return;
  FPanels[static_cast<size_t>(Index)].Style = Style;
  update();
}

QRect TStatusBar::PanelRect(int Index) const {
  if (Index < 0 || Index >= PanelCount()) return {};
  int x = BorderWidth();
  for (int i = 0; i < Index; ++i) {
    int w = FPanels[static_cast<size_t>(i)].Width;
    if (w > 0) x += w + PanelSpacing();
  }
  int w = Index == PanelCount() - 1 ? std::max(0, width() - BorderWidth() - x)
                                    : FPanels[static_cast<size_t>(Index)].Width;
  if (w <= 0) return {};
  return QRect(x, 2, w, std::max(0, height() - 3));
}

QSize TStatusBar::sizeHint() const { return {200, 19}; }
QSize TStatusBar::minimumSizeHint() const { return {0, 19}; }

void TStatusBar::DoDrawPanel(int Panel, QPainter &Painter, const QRect &Rect) {
  if (OnDrawPanel) OnDrawPanel(this, Panel, Painter, Rect);
}

void TStatusBar::paintEvent(QPaintEvent *) {
  CallGuarded([&] {
    QPainter p(this);
    p.fillRect(rect(), palette().window());
    for (int i = 0; i < PanelCount(); ++i) {
      QRect r = PanelRect(i);
      if (r.isEmpty()) continue;
      // A sunken outline, as the panels of a status bar have.
      p.setPen(palette().color(QPalette::Mid));
      p.drawLine(r.left() - 1, r.top() - 1, r.right(), r.top() - 1);
      p.drawLine(r.left() - 1, r.top() - 1, r.left() - 1, r.bottom());
      p.setPen(palette().color(QPalette::Light));
      p.drawLine(r.left() - 1, r.bottom() + 1, r.right() + 1, r.bottom() + 1);
      p.drawLine(r.right() + 1, r.top() - 1, r.right() + 1, r.bottom() + 1);
      const TStatusPanel &panel = FPanels[static_cast<size_t>(i)];
      p.save();
      p.setClipRect(r);
      if (panel.Style == psOwnerDraw) {
        p.setFont(font());
        DoDrawPanel(i, p, r);
      } else if (!panel.Text.isEmpty()) {
        p.setPen(palette().color(QPalette::WindowText));
        p.drawText(r.adjusted(2, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, panel.Text);
      }
      p.restore();
    }
  });
}
