#include "ui/untRectCntrl.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <optional>

#include "app/untKalvMainConstType.h"
#include "engine/untGraphics.h"
#include "engine/untKalvPicJobDataJobs.h"
#include "platform/untApplication.h"
#include "platform/untThreads.h"
#include "ui/fraKalvPic.h"
#include "ui/frmKalvMain.h"

namespace {
// Edge bands are this deep; corner zones reach this far along an edge.
constexpr int EdgeBand = 5;
constexpr int CornerReach = 20;
// The caption's margin inside the outline.
constexpr int CaptionMargin = 4;

int Clamp(int V, int Lo, int Hi) { return std::max(Lo, std::min(Hi, V)); }

Qt::CursorShape ZoneCursor(std::uint8_t Zone) {
  switch (Zone) {
  case 1: case 9: return Qt::SizeFDiagCursor;
  case 3: case 7: return Qt::SizeBDiagCursor;
  case 2: case 8: return Qt::SizeVerCursor;
  case 4: case 6: return Qt::SizeHorCursor;
  default: return Qt::SizeAllCursor;
  }
}
} // namespace

std::uint8_t RegionHitZone(int X, int Y, int W, int H) {
  if (X < EdgeBand) return Y < CornerReach ? 1 : Y > H - CornerReach - 1 ? 7 : 4;
  if (X > W - EdgeBand - 1) return Y < CornerReach ? 3 : Y > H - CornerReach - 1 ? 9 : 6;
  if (Y < EdgeBand) return X < CornerReach ? 1 : X > W - CornerReach - 1 ? 3 : 2;
  if (Y > H - EdgeBand - 1) return X < CornerReach ? 7 : X > W - CornerReach - 1 ? 9 : 8;
  return 5;
}

TRect RegionDragBounds(std::uint8_t Zone, const TRect &Bounds, int DX, int DY, int PW, int PH, int X, int Y,
                       int &RefX, int &RefY) {
  // On a picture narrower or lower than the usual minimum the picture's side is the minimum, so
  // no region ever reaches past it.
  const int minW = std::min(KalvRegionMinSide, PW), minH = std::min(KalvRegionMinSide, PH);
  int l = Bounds.Left, t = Bounds.Top, w = Bounds.Width(), h = Bounds.Height();
  const auto left = [&] {
    const int nl = Clamp(l + DX, 0, PW - minW);
    w = std::max(minW, l - nl + w);
    l = nl;
  };
  const auto top = [&] {
    const int nt = Clamp(t + DY, 0, PH - minH);
    h = std::max(minH, t - nt + h);
    t = nt;
  };
  // A region narrower than the minimum at the picture's edge (made from two corners there) can
  // only grow as far as the edge.
  const auto right = [&] {
    w = std::min(PW - l, std::max(minW, std::min(PW - l, w + DX)));
    RefX = std::max(minW, X);
  };
  const auto bottom = [&] {
    h = std::min(PH - t, std::max(minH, std::min(PH - t, h + DY)));
    RefY = std::max(minH, Y);
  };
  switch (Zone) {
  case 1: left(); top(); break;
  case 2: top(); break;
  case 3: top(); right(); break;
  case 4: left(); break;
  case 6: right(); break;
  case 7: left(); bottom(); break;
  case 8: bottom(); break;
  case 9: right(); bottom(); break;
  default:
    l = std::max(0, std::min(PW - w, l + DX));
    t = std::max(0, std::min(PH - h, t + DY));
    break;
  }
  return Rect(l, t, l + w, t + h);
}

// ---- job -------------------------------------------------------------------------------------

void TRectThreadManJob::DoDone(TThreadManThread *aThread) {
  // The follow-up job is queued (and counted) before this job's results are shown and its
  // commands released, so the commands stay held over the whole burst of changes.
  std::exception_ptr failure;
  if (TRectCntrl *region = Region) {
    Region = nullptr;
    try {
      region->JobDone(this);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  dmdKalvMain::TThreadManJob::DoDone(aThread);
  if (failure) std::rethrow_exception(failure);
}

// ---- region control --------------------------------------------------------------------------

TRectCntrl::TRectCntrl(TfmKalvMain *Window) : QWidget(nullptr), FWindow(Window) {
  setObjectName(QStringLiteral("RectCntrl"));
  // No background: the picture under the control shows through, the outline inverts it.
  setAttribute(Qt::WA_NoSystemBackground);
  setAttribute(Qt::WA_TranslucentBackground);
  setAutoFillBackground(false);
  setMouseTracking(true);
  setFocusPolicy(Qt::NoFocus);
  setCursor(ZoneCursor(HitZone));
}

TRectCntrl::~TRectCntrl() {
  // A job still under way finishes without a region or a panel to show its results on.
  if (FJob != nullptr) {
    FJob->Region = nullptr;
    FJob->TargetPanel = nullptr;
    FJob = nullptr;
  }
  if (NoisePanel != nullptr && NoisePanel->Region == this) NoisePanel->Region = nullptr;
  // Its caption goes with it (hiding refreshes the view's captions). Hidden, not taken out of
  // the view: taking a widget out of its window walks the window's whole focus chain, which many
  // regions' panels make long.
  if (parentWidget() != nullptr) hide();
}

TRect TRectCntrl::BoundsRect() const { return Rect(x(), y(), x() + width(), y() + height()); }

void TRectCntrl::SetBoundsRect(const TRect &R) { setGeometry(R.Left, R.Top, R.Width(), R.Height()); }

std::string TRectCntrl::Caption() const { return Format(SRegionCaption, x(), y(), width(), height()); }

bool TRectCntrl::Selected() const { return Page != nullptr && FWindow->pctMain->currentWidget() == Page; }

bool TRectCntrl::event(QEvent *Event) {
  const bool handled = QWidget::event(Event);
  switch (Event->type()) {
  case QEvent::Move:
  case QEvent::Resize:
  case QEvent::Show:
  case QEvent::Hide: TRegionCaptions::RefreshOn(parentWidget()); break;
  default: break;
  }
  return handled;
}

int TRectCntrl::ParentWidth() const { return parentWidget() != nullptr ? parentWidget()->width() : 0; }
int TRectCntrl::ParentHeight() const { return parentWidget() != nullptr ? parentWidget()->height() : 0; }

int TRectCntrl::PictureWidth() const {
  TBitmap *rgb = FWindow->frPicRGB()->Bitmap();
  return rgb != nullptr ? rgb->Width() : 0;
}

int TRectCntrl::PictureHeight() const {
  TBitmap *rgb = FWindow->frPicRGB()->Bitmap();
  return rgb != nullptr ? rgb->Height() : 0;
}

void TRectCntrl::SetRegionBounds(const TRect &Value) { MoveTo(Value); }

void TRectCntrl::MoveTo(const TRect &R) {
  const TRect old = BoundsRect();
  if (R == old) return;
  QWidget *parent = parentWidget();
  SetBoundsRect(R);
  if (parent != nullptr && parent->isVisible()) {
    // The picture under the old outline comes back before the drag goes on.
    QRegion dirty(old.Left, old.Top, old.Width(), old.Height());
    dirty += QRect(R.Left, R.Top, R.Width(), R.Height());
    parent->repaint(dirty);
  }
  Figures.SetPositionFields(R.Left, R.Top, R.Width(), R.Height());
}

// ---- measuring -------------------------------------------------------------------------------

void TRectCntrl::Recalculate() {
  if (width() <= 0 || height() <= 0 || Page == nullptr || parentWidget() == nullptr) {
    JobRunning = false;
    return;
  }
  if (JobRunning) {
    RecalcPending = true;
    return;
  }
  TdmKalvMain *module = FWindow->Module();
  if (module != nullptr && module->Closing()) return;
  const TRect r = BoundsRect();
  if (r == LastRect) return;
  LastRect = r;
  try {
    if (module == nullptr) throw EInvalidOperation("There is no module to measure the region");
    TBitmap *rgb = FWindow->frPicRGB()->Bitmap();
    if (rgb == nullptr || rgb->Empty() || rgb->PixelFormat() != pf24bit)
      throw EInvalidOperation("There is no picture to measure the region on");
    if (r.Left < 0 || r.Top < 0 || r.Right > rgb->Width() || r.Bottom > rgb->Height())
      throw EInvalidOperation(Format("The region %s lies outside the picture", Caption()));
    auto cut = std::make_unique<TBitmap24>();
    cut->SetSize(r.Width(), r.Height());
    if (cut->Empty()) throw EOutOfMemory("Out of memory");
    TBitmap24 *picture = cut.get();
    auto data = std::make_unique<TMemPicJobData>(std::move(cut), NoProgressWnd);
    data->MeasureOnly = true; // a region shows figures and charts, never pages of its cut-out
    // A small region takes less time to measure than to start its part threads (many regions
    // imported at once would start thousands of them).
    if (std::int64_t{r.Width()} * r.Height() < (std::int64_t{1} << 18)) {
      data->PartCount = 1;
      data->PartsHere = true;
    }
    {
      // The copy is written under its lock, which the job takes before it reads the pixels. The
      // lock ends before the start: a start that fails frees the copy with the job's data.
      TLockGuard lockCut(*picture);
      TLockGuard lockSource(*rgb);
      const std::size_t bytes = static_cast<std::size_t>(r.Width()) * 3;
      for (int y = 0; y < r.Height(); ++y)
        std::memcpy(picture->ScanLine(y), rgb->ScanLine(r.Top + y) + static_cast<std::size_t>(r.Left) * 3, bytes);
    }
    std::unique_ptr<TRectThreadManJob> job = module->CreateJob<TRectThreadManJob>(&Figures);
    job->Region = this;
    job->Rect = r;
    job->OnWaiting = [module](TThreadManThread *aThread, ::TThreadManJob *aJob) {
      auto *rj = static_cast<TRectThreadManJob *>(aJob);
      if (rj->Region != nullptr) rj->Region->JobWaiting(aThread, aJob);
      else module->tmjLoadPicWaiting(aThread, aJob);
    };
    data->Job = job.get();
    // The bookkeeping comes first: the start runs the job's waiting handler, and whatever that
    // handler leads to must see this region busy with this job.
    FJob = job.get();
    JobRunning = true;
    RecalcPending = false;
    ++JobCount;
    try {
      // The manager frees the job after its done step, the module's done handler the data; a
      // start that fails has freed both.
      StartJob(std::move(job), std::move(data));
    } catch (...) {
      FJob = nullptr;
      JobRunning = false;
      --JobCount;
      throw;
    }
  } catch (...) {
    if (module != nullptr) module->StopRunTimer();
    throw;
  }
}

void TRectCntrl::JobWaiting(TThreadManThread *aThread, ::TThreadManJob *aJob) {
  if (TdmKalvMain *module = FWindow->Module()) module->tmjLoadPicWaiting(aThread, aJob);
  if (Page != nullptr) {
    const QString caption = QString::fromStdString(Caption());
    const int index = FWindow->pctMain->indexOf(Page);
    if (index >= 0 && FWindow->pctMain->tabText(index) != caption) {
      FWindow->pctMain->setTabText(index, caption);
      // Painted when the event loop next runs: a tab bar paints every tab, and many regions
      // start their jobs one after the other.
      FWindow->pctMain->tabBar()->update();
    }
  }
  Figures.SetPositionFields(x(), y(), width(), height());
}

void TRectCntrl::JobDone(TRectThreadManJob *Job) {
  if (FJob == Job) FJob = nullptr;
  JobRunning = false;
  if (Job->Rect != BoundsRect()) {
    Job->TargetPanel = nullptr;
    RecalcPending = true;
  }
  if (RecalcPending) {
    RecalcPending = false;
    Recalculate();
  }
}

// ---- mouse -----------------------------------------------------------------------------------

void TRectCntrl::UpdateHitZone(int X, int Y) {
  HitZone = RegionHitZone(X, Y, width(), height());
  setCursor(ZoneCursor(HitZone));
}

void TRectCntrl::Select() {
  if (Page != nullptr && FWindow->pctMain->indexOf(Page) >= 0) FWindow->pctMain->setCurrentWidget(Page);
  if (TdmKalvMain *module = FWindow->Module())
    module->RegionPageChanged(FWindow->pctMain->currentWidget() != FWindow->tbsPicNoise);
  if (parentWidget() != nullptr) parentWidget()->update();
}

void TRectCntrl::mousePressEvent(QMouseEvent *Event) {
  CallGuarded([&] {
    const int x = static_cast<int>(Event->position().x()), y = static_cast<int>(Event->position().y());
    const bool plainLeft = Event->button() == Qt::LeftButton && Event->buttons() == Qt::LeftButton &&
                           Event->modifiers() == Qt::NoModifier;
    const bool rightNoAlt = Event->button() == Qt::RightButton && !(Event->modifiers() & Qt::AltModifier);
    FMenuAllowed = rightNoAlt;
    if (plainLeft || rightNoAlt) Select();
    if (plainLeft) {
      UpdateHitZone(x, y);
      DragX = x;
      DragY = y;
      Dragging = true;
    } else {
      Dragging = false;
    }
  });
  Event->accept();
}

void TRectCntrl::mouseDoubleClickEvent(QMouseEvent *Event) {
  // The second press of a double click neither selects nor drags.
  Dragging = false;
  FMenuAllowed = Event->button() == Qt::RightButton && !(Event->modifiers() & Qt::AltModifier);
  Event->accept();
}

void TRectCntrl::DragStep(int X, int Y) {
  const TRect old = BoundsRect();
  const TRect r = RegionDragBounds(HitZone, old, X - DragX, Y - DragY, ParentWidth(), ParentHeight(), X, Y,
                                   DragX, DragY);
  if (r == old) return;
  MoveTo(r);
  Recalculate();
}

void TRectCntrl::Nudge(int DX, int DY) {
  int refX = 0, refY = 0;
  const TRect old = BoundsRect();
  const TRect r = RegionDragBounds(5, old, DX, DY, PictureWidth(), PictureHeight(), 0, 0, refX, refY);
  if (r == old) return;
  MoveTo(r);
  Recalculate();
}

void TRectCntrl::mouseMoveEvent(QMouseEvent *Event) {
  CallGuarded([&] {
    const int x = static_cast<int>(Event->position().x()), y = static_cast<int>(Event->position().y());
    if (!Dragging) {
      UpdateHitZone(x, y);
      return;
    }
    DragStep(x, y);
    // Past the view's edge the view scrolls on and the drag goes with it.
    if (TfrKalvPic *view = TfrKalvPic::ViewOf(parentWidget())) {
      QPointer<TRectCntrl> self(this);
      view->DragScroll(Event->globalPosition().toPoint(), [self](QPoint G) {
        if (self && self->Dragging) {
          const QPoint p = self->mapFromGlobal(G);
          self->DragStep(p.x(), p.y());
        }
      });
    }
  });
  Event->accept();
}

void TRectCntrl::mouseReleaseEvent(QMouseEvent *Event) {
  Dragging = false;
  if (TfrKalvPic *view = TfrKalvPic::ViewOf(parentWidget())) view->StopDragScroll();
  Event->accept();
}

void TRectCntrl::contextMenuEvent(QContextMenuEvent *Event) {
  // Only after a right press that selected this region, so "remove region" applies to it.
  const bool allowed = FMenuAllowed;
  FMenuAllowed = false;
  TdmKalvMain *module = FWindow->Module();
  if (allowed && module != nullptr && module->pmnRect != nullptr) module->pmnRect->popup(Event->globalPos());
  Event->accept();
}

// ---- painting --------------------------------------------------------------------------------

void TRectCntrl::paintEvent(QPaintEvent *) {
  CallGuarded([&] {
    QPainter painter(this);
    TCanvas canvas(&painter);
    Paint(canvas);
  });
}

void TRectCntrl::Paint(TCanvas &Canvas) {
  // Only the outline: the caption is on a plate of the view's captions (TRegionCaptions), where
  // it can be whole and apart from the other regions' captions.
  const TPen oldPen = Canvas.Pen;
  const TBrush oldBrush = Canvas.Brush;
  Canvas.Pen.Color = KalvXorOutlineColor;
  Canvas.Pen.Mode = pmXor;
  Canvas.Pen.Style = Selected() ? psSolid : psDot;
  Canvas.Brush.Style = bsClear;
  Canvas.Rectangle(0, 0, width(), height());
  Canvas.Pen = oldPen;
  Canvas.Brush = oldBrush;
}

// ---- captions --------------------------------------------------------------------------------

std::vector<QRect> LayoutRegionCaptions(const std::vector<QRect> &Regions, const std::vector<QSize> &Sizes,
                                        const QRect &View) {
  std::vector<QRect> plates(Regions.size());
  std::vector<QRect> placed;
  const auto intoView = [&](QRect P) {
    P.moveLeft(std::max(View.left(), std::min(P.left(), View.right() + 1 - P.width())));
    P.moveTop(std::max(View.top(), std::min(P.top(), View.bottom() + 1 - P.height())));
    return P;
  };
  const auto isFree = [&](const QRect &P) {
    return View.contains(P) && std::none_of(placed.begin(), placed.end(), [&](const QRect &Q) { return Q.intersects(P); });
  };
  for (std::size_t i = 0; i < Regions.size() && i < Sizes.size(); ++i) {
    const QRect r = Regions[i];
    const QSize s = Sizes[i];
    if (!r.intersects(View) || s.isEmpty() || s.width() > View.width() || s.height() > View.height()) continue;
    const QRect candidates[] = {
        QRect(QPoint(r.left() + CaptionMargin, r.bottom() + 1 - CaptionMargin / 2 - s.height()), s),
        QRect(QPoint(r.left(), r.bottom() + 2), s),
        QRect(QPoint(r.left() + CaptionMargin, r.top() + CaptionMargin / 2), s),
        QRect(QPoint(r.left(), r.top() - 1 - s.height()), s),
    };
    std::optional<QRect> got;
    for (const QRect &c : candidates) {
      const QRect p = intoView(c);
      if (isFree(p)) {
        got = p;
        break;
      }
    }
    const QRect first = intoView(candidates[0]);
    for (int step = 1; !got; ++step) {
      bool inView = false;
      for (int dir : {1, -1}) {
        const QRect p = first.translated(0, dir * step * (s.height() + 1));
        if (!View.contains(p)) continue;
        inView = true;
        if (isFree(p)) {
          got = p;
          break;
        }
      }
      if (!inView) break;
    }
    if (got) {
      plates[i] = *got;
      placed.push_back(*got);
    }
  }
  return plates;
}

TRegionCaptions::TRegionCaptions(QScrollArea *View) : QWidget(View->viewport()), FView(View) {
  setObjectName(QStringLiteral("RegionCaptions"));
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setAttribute(Qt::WA_NoSystemBackground);
  setAutoFillBackground(false);
  setFocusPolicy(Qt::NoFocus);
  setGeometry(View->viewport()->rect());
  View->viewport()->installEventFilter(this);
  // The plates stay in the visible part of the picture, so they move when it scrolls.
  connect(View->horizontalScrollBar(), &QScrollBar::valueChanged, this, [this] { Refresh(); });
  connect(View->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { Refresh(); });
  raise();
  show();
}

namespace {
int GCaptionHolds = 0;
std::vector<QPointer<TRegionCaptions>> GHeldCaptions; // to refresh when the holds end
} // namespace

void TRegionCaptions::RefreshOn(QWidget *PicturePanel) {
  if (PicturePanel == nullptr || PicturePanel->parentWidget() == nullptr) return;
  auto *captions = PicturePanel->parentWidget()->findChild<TRegionCaptions *>(QString(), Qt::FindDirectChildrenOnly);
  if (captions == nullptr) return;
  if (GCaptionHolds == 0) {
    captions->Refresh();
  } else if (std::find(GHeldCaptions.begin(), GHeldCaptions.end(), captions) == GHeldCaptions.end()) {
    GHeldCaptions.emplace_back(captions);
  }
}

TRegionCaptions::THold::THold() { ++GCaptionHolds; }

TRegionCaptions::THold::~THold() {
  if (--GCaptionHolds > 0) return;
  std::vector<QPointer<TRegionCaptions>> held;
  held.swap(GHeldCaptions);
  for (const QPointer<TRegionCaptions> &c : held)
    if (c) c->Refresh();
}

void TRegionCaptions::Refresh() {
  QRegion dirty;
  for (const TPlate &p : FPlates) dirty += p.Rect;
  FPlates.clear();
  QWidget *panel = FView->widget();
  if (panel != nullptr && panel->isVisible()) {
    const QFontMetrics fm(font());
    // Captions come and go with the regions' moves; the widths stay bounded by a clear.
    if (FWidthsFont != font() || FWidths.size() > 65536) {
      FWidths.clear();
      FWidthsFont = font();
    }
    std::vector<TRectCntrl *> regions;
    std::vector<QRect> rects;
    std::vector<QSize> sizes;
    for (TRectCntrl *r : panel->findChildren<TRectCntrl *>(QString(), Qt::FindDirectChildrenOnly)) {
      if (r->isHidden()) continue;
      const QString text = QString::fromStdString(r->Caption());
      regions.push_back(r);
      rects.push_back(r->geometry().translated(panel->pos()));
      auto width = FWidths.constFind(text);
      if (width == FWidths.cend()) width = FWidths.insert(text, fm.horizontalAdvance(text));
      sizes.emplace_back(*width + 6, fm.height() + 2);
    }
    const QRect view = rect().intersected(panel->geometry());
    const std::vector<QRect> plates = LayoutRegionCaptions(rects, sizes, view);
    for (std::size_t i = 0; i < regions.size(); ++i) {
      if (plates[i].isEmpty()) continue;
      FPlates.push_back({plates[i], QString::fromStdString(regions[i]->Caption()), regions[i]->Selected()});
      dirty += plates[i];
    }
  }
  if (!dirty.isEmpty()) update(dirty);
}

void TRegionCaptions::paintEvent(QPaintEvent *) {
  QPainter p(this);
  p.setFont(font());
  for (const TPlate &plate : FPlates) {
    const QColor back = plate.Selected ? QColor(255, 255, 255) : QColor(24, 24, 24);
    const QColor fore = plate.Selected ? QColor(0, 0, 0) : QColor(255, 255, 255);
    p.fillRect(plate.Rect, back);
    p.setPen(QColor(128, 128, 128));
    p.drawRect(plate.Rect.adjusted(0, 0, -1, -1));
    p.setPen(fore);
    p.drawText(plate.Rect, Qt::AlignCenter | Qt::TextSingleLine, plate.Text);
  }
}

bool TRegionCaptions::eventFilter(QObject *Watched, QEvent *Event) {
  if (Watched == FView->viewport() && Event->type() == QEvent::Resize) {
    setGeometry(FView->viewport()->rect());
    raise();
    Refresh();
  }
  return QWidget::eventFilter(Watched, Event);
}

// ---- list ------------------------------------------------------------------------------------

TRectCntrlList::~TRectCntrlList() { Clear(); }

int TRectCntrlList::IndexOf(const TRectCntrl *Item) const {
  for (std::size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i].get() == Item) return static_cast<int>(i);
  return -1;
}

void TRectCntrlList::Add(std::unique_ptr<TRectCntrl> Item) {
  FItems.push_back(std::move(Item));
  Changed();
}

void TRectCntrlList::Delete(int Index) {
  if (Index < 0 || Index >= Count()) throw EListError(Format("List index out of bounds (%d)", Index));
  std::unique_ptr<TRectCntrl> item = std::move(FItems[static_cast<std::size_t>(Index)]);
  FItems.erase(FItems.begin() + Index);
  QWidget *page = item->Page;
  // The control first: it detaches its job from the panel that goes with the page.
  item.reset();
  // A page control drops the tab of a page that is destroyed; the panel goes with its page.
  delete page;
  Changed();
}

void TRectCntrlList::Clear() {
  if (FItems.empty()) return;
  const TRegionCaptions::THold hold;
  while (!FItems.empty()) Delete(Count() - 1);
}

std::vector<TRect> TRectCntrlList::Rects() const {
  std::vector<TRect> rects;
  rects.reserve(FItems.size());
  for (const auto &item : FItems) rects.push_back(item->BoundsRect());
  return rects;
}

void TRectCntrlList::SaveToIni(TWideFileMemIniFile &Ini, const std::string &Format) const {
  SaveRegionsToIni(Ini, Format, Rects());
}

void TRectCntrlList::LoadFromIni(const TWideFileMemIniFile &Ini, const std::string &Format, bool Append,
                                 const TAddRegionFunction &AddRegion) {
  if (!Append) Clear();
  LoadRegionsFromIni(Ini, Format, AddRegion);
}

void TRectCntrlList::Changed() {
  if (OnChange) OnChange(Count());
}
