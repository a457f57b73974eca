#include "ui/fraKalvPic.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>

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
  } else {
    bool was = FDragging;
    FDragging = false;
    if (was) Invalidate();
  }
}

void TKalvPicPanel::mouseDoubleClickEvent(QMouseEvent *Event) {
  // The second press of a double click never starts a band.
  bool was = FDragging;
  FDragging = false;
  if (was) Invalidate();
  Event->accept();
}

void TKalvPicPanel::mouseMoveEvent(QMouseEvent *Event) {
  if (!FDragging) return;
  // Right and bottom are exclusive: a band released on or past the far edge takes the last
  // column or row in.
  FCurrentX = std::max(0, std::min(width(), static_cast<int>(Event->position().x())));
  FCurrentY = std::max(0, std::min(height(), static_cast<int>(Event->position().y())));
  Invalidate();
}

void TKalvPicPanel::mouseReleaseEvent(QMouseEvent *Event) {
  if (Event->button() != Qt::LeftButton || !FDragging) return;
  FDragging = false;
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
}

TfrKalvPic::~TfrKalvPic() = default;

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
