// Regions: a rectangle the user marks on the picture, with its own page and noise panel.
//
// TRectCntrl is a small child of the active page's picture panel that draws its outline and
// caption by exclusive-or over the picture (it has no background of its own), and lets the user
// move and resize it by its edges. Every change of its bounds cuts the region out of the RGB
// picture and measures it on a worker (TRectThreadManJob); changes made while that job runs are
// folded into one follow-up job with the latest rectangle.
//
// TRectCntrlList is the main window's owning list: deleting a region frees its control, its page
// and the noise panel on that page, and detaches any job still under way from them first, so no
// job result or chart ever reaches a freed panel.
//
// Main thread only; only the measurement itself runs on a worker, on the region's own copy of
// the pixels.
#pragma once

#include <functional>
#include <QFont>
#include <QHash>
#include <QRect>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <vector>

#include "app/dmdKalvMain.h"
#include "app/untKalvRegionsFile.h"
#include "platform/untBitmaps.h"
#include "platform/untObjects.h"
#include "ui/fraKalvRectNoises.h"

class QScrollArea;
class TfmKalvMain;
class TRectCntrl;

// The hit zones of a region, laid out like a numeric keypad: 1 top-left, 2 top, 3 top-right,
// 4 left, 5 inside, 6 right, 7 bottom-left, 8 bottom, 9 bottom-right.
std::uint8_t RegionHitZone(int X, int Y, int W, int H);

// The bounds a drag by (DX, DY) in Zone gives a region with Bounds on a PW x PH picture. The
// smallest side is 11 pixels, or the picture's side where that is smaller, and the result always
// lies inside the picture. RefX and RefY (the drag's reference point in control coordinates) are
// moved along for the right and bottom edges, where the control does not move with the pointer.
TRect RegionDragBounds(std::uint8_t Zone, const TRect &Bounds, int DX, int DY, int PW, int PH, int X, int Y,
                       int &RefX, int &RefY);

// A region's measurement job: the module's job class, which also knows the region it measures.
class TRectThreadManJob : public dmdKalvMain::TThreadManJob {
public:
  using dmdKalvMain::TThreadManJob::TThreadManJob;
  TRectCntrl *Region = nullptr; // not owned; cleared when the region goes first
  TRect Rect{};                 // the rectangle the job measures

  // Lets a pending change start its follow-up job before this job's results are shown.
  void DoDone(TThreadManThread *aThread) override;
};

class TRectCntrl : public QWidget, public TObject, public TKalvNoiseRegion {
  Q_OBJECT
public:
  // Window: the main window (not owned) whose pages, picture and module the region uses.
  explicit TRectCntrl(TfmKalvMain *Window);
  // Detaches a job still under way (it then shows its results nowhere).
  ~TRectCntrl() override;

  // The region's panel on its page, made when the page is first shown (TfmKalvMain::RegionPanel);
  // nullptr until then. Freed with Page.
  TfrKalvRectNoises *NoisePanel = nullptr;
  QWidget *Page = nullptr; // owned by the list (see TRectCntrlList)
  // The figures of the region's measurements: its jobs hand their results here, and from here to
  // the panel once there is one.
  TKalvRegionFigures Figures;
  bool Dragging = false;
  int DragX = 0, DragY = 0;
  std::uint8_t HitZone = 5;
  TRect LastRect{};
  bool JobRunning = false;
  bool RecalcPending = false;
  // Measurement jobs started for this region so far.
  int JobCount = 0;

  // The bounds in picture pixels (Right and Bottom excluded).
  TRect BoundsRect() const;
  void SetBoundsRect(const TRect &R);
  // "L:%d T:%d W:%d H:%d" of the bounds.
  std::string Caption() const;
  // Its page is the one on show on the right-hand side.
  bool Selected() const;

  // Measures the region anew unless its rectangle is the last one measured; while a job runs the
  // change is only noted and one follow-up job runs when it is done. Nothing starts while the
  // window is closing.
  void Recalculate() override;
  // The waiting event of the region's job: counts the job (the module's handler), then names the
  // page and fills the panel's position fields.
  void JobWaiting(TThreadManThread *aThread, ::TThreadManJob *aJob);
  // Called by the region's job when it is done. A job whose rectangle is no longer the region's
  // shows nothing (its figures would belong to another rectangle); the region is measured anew.
  void JobDone(TRectThreadManJob *Job);
  // The job under way, if any.
  TRectThreadManJob *Job() const { return FJob; }

  void UpdateHitZone(int X, int Y);
  // Moves the region by (DX, DY) pixels as a move drag would: it stops at the picture's borders
  // and is measured anew.
  void Nudge(int DX, int DY);
  // The parent's size: the picture's, since the views show it at 1:1 from their origin.
  int ParentWidth() const;
  int ParentHeight() const;

  // ---- TKalvNoiseRegion ----
  TRect RegionBounds() const override { return BoundsRect(); }
  void SetRegionBounds(const TRect &Value) override;
  int PictureWidth() const override;
  int PictureHeight() const override;

protected:
  void paintEvent(QPaintEvent *Event) override;
  void mousePressEvent(QMouseEvent *Event) override;
  void mouseMoveEvent(QMouseEvent *Event) override;
  void mouseReleaseEvent(QMouseEvent *Event) override;
  void mouseDoubleClickEvent(QMouseEvent *Event) override;
  void contextMenuEvent(QContextMenuEvent *Event) override;
  // Every change of place, size or visibility moves the captions of the view.
  bool event(QEvent *Event) override;

private:
  void Select();
  // One step of a drag with the pointer at X, Y (control coordinates).
  void DragStep(int X, int Y);
  // New bounds from a drag, a key or a typed position: the old and the new area are repainted
  // at once, and the panel's fields show the new bounds (while a job still measures the old).
  void MoveTo(const TRect &R);
  void Paint(TCanvas &Canvas);

  TfmKalvMain *FWindow; // not owned
  TRectThreadManJob *FJob = nullptr; // freed by the thread manager after its done event
  bool FMenuAllowed = false;
};

// Where the region captions of a view go: Plates[i] for Regions[i], of Sizes[i], all in viewport
// coordinates. Every plate lies whole inside View and none overlaps another. A plate sits inside
// its region's bottom-left corner where it can, else below the region, inside its top or above
// it (each shifted into the view), else at the nearest free place up or down the view from the
// first; a region outside the view, or one for which no place is free, gets an empty rectangle.
std::vector<QRect> LayoutRegionCaptions(const std::vector<QRect> &Regions, const std::vector<QSize> &Sizes,
                                        const QRect &View);

// The region captions of one picture view: a child of the view's viewport laid over the picture
// panel, which lets the mouse through and paints each caption whole on an opaque plate (light
// for the selected region, dark for the others), so captions stay readable on any picture and
// where regions touch. The outlines stay with the regions, drawn by exclusive-or.
class TRegionCaptions : public QWidget {
  Q_OBJECT
public:
  explicit TRegionCaptions(QScrollArea *View);

  struct TPlate {
    QRect Rect; // in the viewport's coordinates
    QString Text;
    bool Selected = false;
  };
  const std::vector<TPlate> &Plates() const { return FPlates; }
  // Lays the plates out again and repaints where they were and where they are now.
  void Refresh();
  // Refresh of the captions over a picture panel, if it has any.
  static void RefreshOn(QWidget *PicturePanel);

  // While one is alive, refreshes are only noted; the views concerned refresh once when the last
  // one ends (many regions added, moved between views or removed at once, where a refresh per
  // region would lay out every caption again each time).
  class THold {
  public:
    THold();
    ~THold();
    THold(const THold &) = delete;
    THold &operator=(const THold &) = delete;
  };

protected:
  void paintEvent(QPaintEvent *Event) override;
  bool eventFilter(QObject *Watched, QEvent *Event) override;

private:
  QScrollArea *FView; // not owned: the captions are its viewport's child
  std::vector<TPlate> FPlates;
  // Caption widths in the font they were measured in: a refresh measures only new captions.
  QHash<QString, int> FWidths;
  QFont FWidthsFont;
};

// The window's regions in the order they were made.
class TRectCntrlList {
public:
  TRectCntrlList() = default;
  ~TRectCntrlList();
  TRectCntrlList(const TRectCntrlList &) = delete;
  TRectCntrlList &operator=(const TRectCntrlList &) = delete;

  int Count() const { return static_cast<int>(FItems.size()); }
  bool Empty() const { return FItems.empty(); }
  TRectCntrl *Items(int Index) const { return FItems.at(static_cast<std::size_t>(Index)).get(); }
  int IndexOf(const TRectCntrl *Item) const;
  void Add(std::unique_ptr<TRectCntrl> Item);
  // Frees the region, its page (taken out of its page control first) and the panel on it.
  void Delete(int Index);
  // Deletes every region, last first.
  void Clear();
  // The bounds of every region, in list order.
  std::vector<TRect> Rects() const;
  // The regions block of the list (stale region sections of Ini removed, other keys kept).
  void SaveToIni(TWideFileMemIniFile &Ini, const std::string &Format) const;
  // Without Append the list is emptied first; then AddRegion (the window's, which fits and
  // creates a region) is called for each region of Ini's block in order.
  void LoadFromIni(const TWideFileMemIniFile &Ini, const std::string &Format, bool Append,
                   const TAddRegionFunction &AddRegion);

  // Called after every change with the new count (the window keeps the commands in step).
  std::function<void(int Count)> OnChange;

private:
  void Changed();
  std::vector<std::unique_ptr<TRectCntrl>> FItems;
};
