#include "ui/fraKalvPic.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <cstdlib>

#include "platform/untApplication.h"
#include "platform/untThreads.h"

// ---- picture panel ---------------------------------------------------------------------------

TKalvPicPanel::TKalvPicPanel(QWidget *Parent) : QWidget(Parent) {
  // The picture covers the whole panel: no background erase, so nothing flickers.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
  setMouseTracking(false);
}

TKalvPicPanel::~TKalvPicPanel() = default;

void TKalvPicPanel::Invalidate() {
  if (isVisible()) repaint();
  else update();
}

void TKalvPicPanel::DrawBand(QPainter &Painter) {
  TCanvas canvas(&Painter);
  TPen oldPen = canvas.Pen;
  TBrush oldBrush = canvas.Brush;
  canvas.Pen.Color = KalvXorOutlineColor;
  canvas.Pen.Style = psSolid;
  canvas.Pen.Mode = pmXor;
  canvas.Brush.Style = bsClear;
  canvas.Rectangle(FAnchorX, FAnchorY, FCurrentX, FCurrentY);
  canvas.Pen = oldPen;
  canvas.Brush = oldBrush;
}

void TKalvPicPanel::paintEvent(QPaintEvent *Event) {
  CallGuarded([&] {
    QPainter painter(this);
    {
      TCanvas canvas(&painter);
      const QRect r = Event->rect();
      if (OnPaint) OnPaint(this, canvas, Rect(r.left(), r.top(), r.right() + 1, r.bottom() + 1));
    }
    if (FDragging) DrawBand(painter);
  });
}

void TKalvPicPanel::mousePressEvent(QMouseEvent *Event) {
  // Only the left button on its own, with no modifier, starts a band; anything else cancels it.
  if (Event->button() == Qt::LeftButton && Event->buttons() == Qt::LeftButton &&
      Event->modifiers() == Qt::NoModifier) {
    FAnchorX = FCurrentX = static_cast<int>(Event->position().x());
    FAnchorY = FCurrentY = static_cast<int>(Event->position().y());
    FDragging = true;
    grabKeyboard();
  } else {
    CancelBand();
  }
}

void TKalvPicPanel::mouseDoubleClickEvent(QMouseEvent *Event) {
  // The second press of a double click never starts a band.
  CancelBand();
  Event->accept();
}

void TKalvPicPanel::MoveBandTo(QPoint P) {
  if (!FDragging) return;
  // Right and bottom are exclusive: a band released on or past the far edge takes the last
  // column or row in.
  FCurrentX = std::max(0, std::min(width(), P.x()));
  FCurrentY = std::max(0, std::min(height(), P.y()));
  Invalidate();
}

void TKalvPicPanel::mouseMoveEvent(QMouseEvent *Event) {
  if (!FDragging) return;
  MoveBandTo(Event->position().toPoint());
  if (OnBandMove) CallGuarded([&] { OnBandMove(this, Event->globalPosition().toPoint()); });
}

void TKalvPicPanel::EndBand() {
  FDragging = false;
  if (keyboardGrabber() == this) releaseKeyboard();
  if (OnBandEnd) CallGuarded([&] { OnBandEnd(this); });
}

void TKalvPicPanel::CancelBand() {
  if (!FDragging) return;
  EndBand();
  Invalidate();
}

void TKalvPicPanel::keyPressEvent(QKeyEvent *Event) {
  if (FDragging && Event->key() == Qt::Key_Escape) {
    CancelBand();
    Event->accept();
    return;
  }
  QWidget::keyPressEvent(Event);
}

void TKalvPicPanel::mouseReleaseEvent(QMouseEvent *Event) {
  if (Event->button() != Qt::LeftButton || !FDragging) return;
  EndBand();
  int left = FAnchorX, right = FCurrentX, top = FAnchorY, bottom = FCurrentY;
  if (left > right) std::swap(left, right);
  if (top > bottom) std::swap(top, bottom);
  CallGuarded([&] {
    if (left < right && top < bottom && OnBand) OnBand(this, left, top, right, bottom);
  });
  Invalidate(); // removes the band from the screen
}

// ---- view ------------------------------------------------------------------------------------

TfrKalvPic::TfrKalvPic(QWidget *Parent) : QWidget(Parent) {
  sbxPics = new QScrollArea(this);
  sbxPics->setObjectName(QStringLiteral("sbxPics"));
  sbxPics->setFrameShape(QFrame::NoFrame);
  sbxPics->setWidgetResizable(false);
  sbxPics->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  sbxPics->horizontalScrollBar()->setTracking(true);
  sbxPics->verticalScrollBar()->setTracking(true);
  pnlPic = new TKalvPicPanel;
  pnlPic->setObjectName(QStringLiteral("pnlPic"));
  pnlPic->resize(0, 0);
  sbxPics->setWidget(pnlPic);
  pnlPic->setVisible(false);
  pnlPic->OnPaint = [this](TKalvPicPanel *Sender, TCanvas &Canvas, const TRect &R) {
    pnlPicPaint(Sender, Canvas, R);
  };
  QObject::connect(sbxPics->horizontalScrollBar(), &QScrollBar::rangeChanged, this, [this] { ApplyScrollPosition(); });
  QObject::connect(sbxPics->verticalScrollBar(), &QScrollBar::rangeChanged, this, [this] { ApplyScrollPosition(); });
  pnlPic->OnBand = [this](TKalvPicPanel *, int L, int T, int R, int B) {
    if (OnAddRegion) OnAddRegion(this, L, T, R, B);
  };
  pnlPic->OnBandMove = [this](TKalvPicPanel *Panel, QPoint Global) {
    DragScroll(Global, [Panel](QPoint G) { Panel->MoveBandTo(Panel->mapFromGlobal(G)); });
  };
  pnlPic->OnBandEnd = [this](TKalvPicPanel *) { StopDragScroll(); };
  FDragTimer.setInterval(30);
  QObject::connect(&FDragTimer, &QTimer::timeout, this, [this] { CallGuarded([this] { DragScrollStep(); }); });
}

TfrKalvPic::~TfrKalvPic() = default;

TfrKalvPic *TfrKalvPic::ViewOf(QWidget *Widget) {
  for (QWidget *w = Widget; w != nullptr; w = w->parentWidget())
    if (auto *view = qobject_cast<TfrKalvPic *>(w)) return view;
  return nullptr;
}

void TfrKalvPic::DragScroll(QPoint GlobalPos, std::function<void(QPoint)> Step) {
  FDragPos = GlobalPos;
  FDragStep = std::move(Step);
  const bool outside = !sbxPics->viewport()->rect().contains(sbxPics->viewport()->mapFromGlobal(GlobalPos));
  if (outside && !FDragTimer.isActive()) FDragTimer.start();
  else if (!outside) FDragTimer.stop();
}

void TfrKalvPic::StopDragScroll() {
  FDragTimer.stop();
  FDragStep = nullptr;
}

void TfrKalvPic::DragScrollStep() {
  const QRect port = sbxPics->viewport()->rect();
  const QPoint p = sbxPics->viewport()->mapFromGlobal(FDragPos);
  // A step of a quarter of the distance past the edge, at least 2 and at most 64 pixels.
  const auto step = [](int Past) { return Past == 0 ? 0 : (Past > 0 ? 1 : -1) * std::clamp(std::abs(Past) / 4, 2, 64); };
  const int dx = step(p.x() < port.left() ? p.x() - port.left() : p.x() > port.right() ? p.x() - port.right() : 0);
  const int dy = step(p.y() < port.top() ? p.y() - port.top() : p.y() > port.bottom() ? p.y() - port.bottom() : 0);
  if (dx == 0 && dy == 0) {
    FDragTimer.stop();
    return;
  }
  QScrollBar *h = sbxPics->horizontalScrollBar(), *v = sbxPics->verticalScrollBar();
  const int oldX = h->value(), oldY = v->value();
  h->setValue(oldX + dx);
  v->setValue(oldY + dy);
  if ((h->value() != oldX || v->value() != oldY) && FDragStep) {
    const auto stepFn = FDragStep; // the step may end the drag
    stepFn(FDragPos);
  }
}

void TfrKalvPic::SetBitmap(std::unique_ptr<TBitmap> Value) {
  if (!Value && !FBitmap) return; // nothing shown, nothing to show
  FBitmap = std::move(Value);
  UpdateLayout();
}

void TfrKalvPic::SetScrollPosition(int X, int Y) {
  FWantX = X;
  FWantY = Y;
  ApplyScrollPosition();
}

void TfrKalvPic::KeepScrollPosition() {
  FWantX = sbxPics->horizontalScrollBar()->value();
  FWantY = sbxPics->verticalScrollBar()->value();
}

void TfrKalvPic::ApplyScrollPosition() {
  QScrollBar *h = sbxPics->horizontalScrollBar(), *v = sbxPics->verticalScrollBar();
  const bool was = FApplying;
  FApplying = true;
  if (h->value() != FWantX && FWantX <= h->maximum()) h->setValue(FWantX);
  if (v->value() != FWantY && FWantY <= v->maximum()) v->setValue(FWantY);
  FApplying = was;
}

void TfrKalvPic::UpdateLayout() {
  SetScrollPosition(0, 0);
  bool show = FBitmap && !FBitmap->Empty();
  pnlPic->setVisible(show);
  if (show) {
    pnlPic->setGeometry(0, 0, FBitmap->Width(), FBitmap->Height());
    pnlPic->Invalidate();
  }
}

void TfrKalvPic::pnlPicPaint(TKalvPicPanel *, TCanvas &Canvas, const TRect &UpdateRect) {
  if (!FBitmap) return;
  TRect r{std::max(0, UpdateRect.Left), std::max(0, UpdateRect.Top),
          std::min(FBitmap->Width(), UpdateRect.Right), std::min(FBitmap->Height(), UpdateRect.Bottom)};
  if (r.Left >= r.Right || r.Top >= r.Bottom) return;
  TCanvas *source = FBitmap->Canvas();
  // The panel's canvas first, then the picture's; released in the reverse order.
  TLockGuard lockPanel(Canvas);
  TLockGuard lockPicture(*source);
  Canvas.CopyMode = cmSrcCopy;
  Canvas.CopyRect(r, *source, r);
}

void TfrKalvPic::resizeEvent(QResizeEvent *Event) {
  QWidget::resizeEvent(Event);
  sbxPics->setGeometry(rect());
  if (pnlPic->isVisible()) pnlPic->update();
}
