// A status bar made of panels side by side, each with a text and a width; a panel can be drawn by
// its owner (OnDrawPanel) instead of by the bar. The last panel always fills the remaining width.
//
// Only the main thread uses it.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <vector>

#include "platform/untObjects.h"

class QPainter;

enum TStatusPanelStyle { psText, psOwnerDraw };

struct TStatusPanel {
  QString Text;
  int Width = 50;
  TStatusPanelStyle Style = psText;
};

class TStatusBar : public QWidget, public TObject {
  Q_OBJECT
public:
  explicit TStatusBar(QWidget *Parent = nullptr);

  int PanelCount() const { return static_cast<int>(FPanels.size()); }
  void SetPanelCount(int Value);
  const TStatusPanel &Panel(int Index) const { return FPanels.at(static_cast<size_t>(Index)); }
  void SetPanelText(int Index, const QString &Text);
  void SetPanelWidth(int Index, int Width);
  void SetPanelStyle(int Index, TStatusPanelStyle Style);

  // The bar's horizontal border and the gap between two panels, in pixels (what a measured text
  // needs beside its own width to fit its panel).
  int BorderWidth() const { return 1; }
  int PanelSpacing() const { return 2; }
  // The inner rectangle of a panel (the part its text is drawn in); empty for a hidden panel.
  QRect PanelRect(int Index) const;

  // Draws an owner-drawn panel; the painter is set up for the bar, Rect is PanelRect(Panel).
  std::function<void(TStatusBar *Sender, int Panel, QPainter &Painter, const QRect &Rect)> OnDrawPanel;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

protected:
  virtual void DoDrawPanel(int Panel, QPainter &Painter, const QRect &Rect);
  void paintEvent(QPaintEvent *Event) override;

private:
  std::vector<TStatusPanel> FPanels;
};
