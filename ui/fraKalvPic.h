// TfrKalvPic: one picture page of the main window. It shows its picture at 1:1 in a scroll box and
// lets the user draw a new region with an exclusive-or rubber band.
//
// The view owns its picture. Only the part of the picture inside the update rectangle is copied
// when the panel paints, and the panel never erases its background, so redrawing the band or the
// region outlines does not flicker.
//
// Only the main thread uses it.
#pragma once

#include <QPoint>
#include <QScrollArea>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

#include "platform/untBitmaps.h"
#include "platform/untObjects.h"

class QPainter;

// The colour outlines are drawn with by exclusive-or over a picture. Flipping the top bit of every
// channel changes each pixel by 128 levels, so the band and the region outlines show on any
// content, mid-grey included (where white would give 127 on 128), and vanish when drawn twice.
constexpr TColor KalvXorOutlineColor = 0x808080;

// The picture panel: paints through OnPaint and draws the rubber band. Its Invalidate repaints at
// once, so drawing over the picture shows immediately.
class TKalvPicPanel : public QWidget, public TObject {
  Q_OBJECT
public:
  explicit TKalvPicPanel(QWidget *Parent = nullptr);
  ~TKalvPicPanel() override;

  void Invalidate();

  bool Dragging() const { return FDragging; }
  int AnchorX() const { return FAnchorX; }
  int AnchorY() const { return FAnchorY; }
  int CurrentX() const { return FCurrentX; }
  int CurrentY() const { return FCurrentY; }

  // Painting of the picture: canvas on the panel and the rectangle to update.
  std::function<void(TKalvPicPanel *Sender, TCanvas &Canvas, const TRect &UpdateRect)> OnPaint;
  // A completed rubber band, normalised (Left < Right, Top < Bottom).
  std::function<void(TKalvPicPanel *Sender, int Left, int Top, int Right, int Bottom)> OnBand;
  // The band's corner followed the pointer to GlobalPos; the band ended (released or cancelled).
  std::function<void(TKalvPicPanel *Sender, QPoint GlobalPos)> OnBandMove;
  std::function<void(TKalvPicPanel *Sender)> OnBandEnd;

  // Takes the band's corner to P (panel coordinates, kept inside the panel) and redraws it.
  void MoveBandTo(QPoint P);
  // Drops the band under way without a region (Esc).
  void CancelBand();

protected:
  void paintEvent(QPaintEvent *Event) override;
  void mousePressEvent(QMouseEvent *Event) override;
  void mouseMoveEvent(QMouseEvent *Event) override;
  void mouseReleaseEvent(QMouseEvent *Event) override;
  void mouseDoubleClickEvent(QMouseEvent *Event) override;
  // The keyboard is the panel's while a band is drawn, so Esc reaches it wherever the focus is.
  void keyPressEvent(QKeyEvent *Event) override;

private:
  void DrawBand(QPainter &Painter);
  void EndBand();

  bool FDragging = false;
  int FAnchorX = 0, FAnchorY = 0;
  int FCurrentX = 0, FCurrentY = 0;
};

class TfrKalvPic : public QWidget, public TObject {
  Q_OBJECT
public:
  explicit TfrKalvPic(QWidget *Parent = nullptr);
  ~TfrKalvPic() override;

  QScrollArea *sbxPics = nullptr;
  TKalvPicPanel *pnlPic = nullptr;

  // The picture shown (owned), or nullptr.
  TBitmap *Bitmap() const { return FBitmap.get(); }
  // Takes the picture over (freeing the one shown before) and lays the view out again. nullptr
  // clears the view (and changes nothing when it is clear already).
  void SetBitmap(std::unique_ptr<TBitmap> Value);
  // Scrolls to the top-left corner, shows the panel exactly when there is a non-empty picture and
  // sizes it to the picture. Processes no events: it runs inside job handlers, where a nested
  // close could wait for the very job being finished.
  void UpdateLayout();

  // Scrolls to (X, Y). A page that is not on show has no scroll range yet; the position is kept
  // and taken as soon as the range allows it, so every page shows the same part of the picture.
  void SetScrollPosition(int X, int Y);
  // The position the view keeps (its own after the user scrolled it).
  void KeepScrollPosition();
  // True while the view moves itself to the kept position (no scroll of the user's to pass on).
  bool ApplyingScroll() const { return FApplying; }

  // A completed rubber band (Left, Top, Right, Bottom on the picture); the main window turns it
  // into a region. Without a handler the band only disappears.
  std::function<void(TfrKalvPic *Sender, int Left, int Top, int Right, int Bottom)> OnAddRegion;

  void pnlPicPaint(TKalvPicPanel *Sender, TCanvas &Canvas, const TRect &UpdateRect);

  // Keeps a drag going past the view's edge (the rubber band and the region drags use it). With
  // the pointer at GlobalPos outside the visible area the view scrolls toward it every few
  // milliseconds, faster the farther out it is, and calls Step with the pointer's place after
  // every scroll, so the dragged thing follows as if the pointer had moved. Back inside, the
  // scrolling stops; StopDragScroll ends it at the end of the drag.
  void DragScroll(QPoint GlobalPos, std::function<void(QPoint GlobalPos)> Step);
  void StopDragScroll();
  bool DragScrolling() const { return FDragTimer.isActive(); }
  // The view a picture panel (or a region on one) belongs to, or nullptr.
  static TfrKalvPic *ViewOf(QWidget *Widget);

protected:
  void resizeEvent(QResizeEvent *Event) override;

private:
  void ApplyScrollPosition();
  void DragScrollStep();
  std::unique_ptr<TBitmap> FBitmap;
  QTimer FDragTimer;
  QPoint FDragPos;
  std::function<void(QPoint)> FDragStep;
  int FWantX = 0, FWantY = 0;
  bool FApplying = false;
};
