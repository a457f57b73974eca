#include "ui/fraKalvCustomNoiseDraw.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/untKalvChart.h"
#include "platform/untApplication.h"
#include "ui/untNoiseHost.h"

// ---- the draw job --------------------------------------------------------------------------------

TDrawThreadManJob::TDrawThreadManJob() : TThreadManJob(nullptr) {
  FreeOnDone = true;
  // The picture reaches the frame in the done step: one trip to the main thread, and the worker
  // goes on to its next job without waiting for the frame.
  Executes = {tmjeInternExecute, tmjeDone};
}

TDrawThreadManJob::~TDrawThreadManJob() {
  // Freed before its done step (a start that failed, a manager dropping its queue): the
  // frame must not wait for it any longer.
  if (Frame != nullptr && Frame->FJob == this) {
    Frame->FJob = nullptr;
    Frame->FDrawing = false;
  }
}

void TDrawThreadManJob::SetChannels(const TChannelNoiseArray &Value) {
  FChannels.clear();
  for (const TChannelNoiseData *c : Value) {
    auto copy = std::make_unique<TChannelNoiseData>();
    if (c != nullptr) copy->Assign(c);
    FChannels.push_back(std::move(copy));
  }
}

TChannelNoiseArray TDrawThreadManJob::Channels() const {
  TChannelNoiseArray a;
  for (const auto &c : FChannels) a.push_back(c.get());
  return a;
}

void TDrawThreadManJob::DoInternExecute(TThreadManThread *aThread) {
  TThreadManJob::DoInternExecute(aThread);
  Bitmap = std::make_unique<TBitmap24>();
  Bitmap->SetSize(static_cast<int>(std::lround(Width * Scale)), static_cast<int>(std::lround(Height * Scale)));
  Bitmap->Canvas()->SetScale(Scale);
  DrawChart(*Bitmap, Channels(), MaxLevel, MaxCount, TotalCount, Fitted);
  FChannels.clear();
}

void TDrawThreadManJob::DoDone(TThreadManThread *aThread) {
  TThreadManJob::DoDone(aThread);
  if (Frame != nullptr) Frame->DrawDone(this);
}

// ---- the chart frame -----------------------------------------------------------------------------

TfrKalvCustomNoiseDraw::TfrKalvCustomNoiseDraw(QWidget *Parent) : TfrKalvCustomNoise(Parent) {
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  auto *lay = new QVBoxLayout(this);
  lay->setContentsMargins(0, 0, 0, 0);
  lay->setSpacing(0);

  pnlTop = new QWidget(this);
  pnlTop->setObjectName("pnlTop");
  pnlTop->setFixedHeight(41);
  lblCh = new QLabel(pnlTop);
  lblCh->setObjectName("lblCh");
  QFont bold = QApplication::font();
  bold.setBold(true);
  lblCh->setFont(bold);
  lblCh->move(8, 12);
  lay->addWidget(pnlTop);

  pnlClnt = new TKalvEventPanel(this);
  pnlClnt->setObjectName("pnlClnt");
  pnlClnt->setAutoFillBackground(false);
  pnlClnt->OnPaint = [this](QPaintEvent *e) { pnlClntPaint(e); };
  pnlClnt->OnResize = [this] { pnlClntResize(); };
  lay->addWidget(pnlClnt, 1);

  pnlBtm = new TKalvEventPanel(this);
  pnlBtm->setObjectName("pnlBtm");
  pnlBtm->setFixedHeight(4);
  pnlBtm->setCursor(Qt::SizeVerCursor);
  pnlBtm->OnMouseDown = [this](QMouseEvent *e) { pnlBtmMouseDown(e); };
  pnlBtm->OnMouseMove = [this](QMouseEvent *e) { pnlBtmMouseMove(e); };
  pnlBtm->OnMouseUp = [this](QMouseEvent *e) { pnlBtmMouseUp(e); };
  pnlBtm->OnDblClick = [this](QMouseEvent *) { pnlBtmDblClick(); };
  lay->addWidget(pnlBtm);

  resize(435, 200);
  FHeight = 200;
  setFixedHeight(FHeight);
}

TfrKalvCustomNoiseDraw::~TfrKalvCustomNoiseDraw() {
  // A running job keeps drawing into its own bitmap; it must not come back here.
  if (FJob != nullptr) {
    FJob->Frame = nullptr;
    FJob = nullptr;
  }
  if (TNoiseChartHost *host = NoiseChartHost(); host != nullptr && host->CurrentChart() == this)
    host->SetCurrentChart(nullptr);
}

QString TfrKalvCustomNoiseDraw::Caption() const { return lblCh->text(); }

void TfrKalvCustomNoiseDraw::SetCaption(const QString &Value) {
  lblCh->setText(Value);
  lblCh->adjustSize();
}

void TfrKalvCustomNoiseDraw::SetCaptionColor(TColor Color) {
  QPalette p = lblCh->palette();
  p.setColor(QPalette::WindowText, ToQColor(Color));
  lblCh->setPalette(p);
}

void TfrKalvCustomNoiseDraw::ResetCaptionColor() { lblCh->setPalette(QPalette()); }

void TfrKalvCustomNoiseDraw::SetFrameHeight(int Value) {
  if (Value == FHeight) return;
  FHeight = Value;
  setFixedHeight(Value);
  DoResize();
}

void TfrKalvCustomNoiseDraw::DoResize() {
  if (OnResize) OnResize(this);
}

TChannelNoiseArray TfrKalvCustomNoiseDraw::Channels() const {
  TChannelNoiseArray a;
  for (const auto &c : FChannels) a.push_back(c.get());
  return a;
}

void TfrKalvCustomNoiseDraw::SetChannelCount(int N) {
  FChannels.clear();
  for (int i = 0; i < std::max(0, N); ++i) FChannels.push_back(std::make_unique<TChannelNoiseData>(clBlack));
}

void TfrKalvCustomNoiseDraw::ClearData() { SetChannelCount(ChannelCount()); }

void TfrKalvCustomNoiseDraw::SetData(int Index, const TChannelNoiseData *Data) {
  AssignData(Index, Data);
  RedrawAfterData();
}

void TfrKalvCustomNoiseDraw::AssignData(int Index, const TChannelNoiseData *Data) {
  if (Index < 0 || Index >= ChannelCount())
    throw EListError(Format("Chart channel index out of range (%d)", Index));
  if (Data != nullptr)
    FChannels[static_cast<size_t>(Index)]->Assign(Data);
  else
    FChannels[static_cast<size_t>(Index)] = std::make_unique<TChannelNoiseData>(clBlack);
}

void TfrKalvCustomNoiseDraw::RedrawAfterData() {
  TNoiseChartHost *host = NoiseChartHost();
  if (host != nullptr && host->SameScale())
    host->RedrawAllCharts();
  else if (OwnerPanel)
    OwnerPanel->RedrawCharts();
  else
    RedrawCharts();
}

std::int64_t ChannelsMaxCount(const TChannelNoiseArray &Channels) {
  std::int64_t m = std::numeric_limits<std::int64_t>::min();
  for (const TChannelNoiseData *c : Channels) {
    if (c == nullptr) m = std::max<std::int64_t>(m, 0);
    else
      for (std::int64_t h : c->HistogramData()) m = std::max(m, h);
  }
  return m;
}

std::int64_t ChannelsTotalCount(const TChannelNoiseArray &Channels) {
  std::int64_t t = 0;
  for (const TChannelNoiseData *c : Channels)
    if (c != nullptr)
      for (std::int64_t h : c->HistogramData()) t += h;
  return t;
}

std::uint8_t ChannelsMaxLevel(const TChannelNoiseArray &Channels, bool Fitted) {
  if (Fitted) {
    int level = -1;
    for (const TChannelNoiseData *c : Channels)
      if (c != nullptr) level = std::max(level, FitLevel(c->HistogramData()));
    return level < 0 ? 255 : static_cast<std::uint8_t>(level);
  }
  for (int i = 255; i >= 0; --i)
    for (const TChannelNoiseData *c : Channels)
      if (c != nullptr && c->Histogram(i) > 0) return static_cast<std::uint8_t>(i);
  return 255;
}

std::int64_t TfrKalvCustomNoiseDraw::GetMaxCount(int) { return ChannelsMaxCount(Channels()); }

std::int64_t TfrKalvCustomNoiseDraw::GetTotalCount(int) { return ChannelsTotalCount(Channels()); }

std::uint8_t TfrKalvCustomNoiseDraw::GetMaxLevel(int) {
  TNoiseChartHost *host = NoiseChartHost();
  return ChannelsMaxLevel(Channels(), host != nullptr && host->FitCounts());
}

void TfrKalvCustomNoiseDraw::RedrawCharts() { StartDraw(); }

void TfrKalvCustomNoiseDraw::StartDraw() {
  if (FDrawing) {
    FRedrawPending = true;
    return;
  }
  const int w = pnlClnt->width(), h = pnlClnt->height();
  if (w < 1 || h < 1) {
    FDrawing = false;
    FRedrawPending = false;
    return;
  }
  TNoiseChartHost *host = NoiseChartHost();
  TThreadMan *thm = host != nullptr ? host->NoiseThreadMan() : nullptr;
  if (thm == nullptr) return; // nothing to draw on; the data stays for a later drawing

  auto job = std::make_unique<TDrawThreadManJob>();
  job->Frame = this;
  job->Width = w;
  job->Height = h;
  // On a high-density screen the picture is drawn at the screen's resolution.
  job->Scale = std::clamp(pnlClnt->devicePixelRatioF(), 1.0, 4.0);
  const int group = ChartGroup();
  TfrKalvCustomNoise *scale = this;
  if (host->SameScale()) {
    job->MaxCount = host->GetMaxCount(group);
    job->TotalCount = host->GetTotalCount(group);
    job->MaxLevel = host->GetMaxLevel(group);
  } else {
    if (OwnerPanel) scale = OwnerPanel.data();
    job->MaxCount = scale->GetMaxCount(group);
    job->TotalCount = scale->GetTotalCount(group);
    job->MaxLevel = scale->GetMaxLevel(group);
  }
  job->Fitted = host->FitCounts();
  job->SetChannels(Channels());
  FJob = job.get();
  FDrawing = true;
  try {
    // The thread manager frees the job after its done step; a start that fails has freed it.
    const int index = job->ThreadIndex;
    thm->StartJob(std::move(job), index);
  } catch (...) {
    FJob = nullptr;
    FDrawing = false;
    throw;
  }
  FRedrawPending = false;
  ++FDrawCount;
}

void TfrKalvCustomNoiseDraw::DrawDone(TDrawThreadManJob *Job) {
  Job->Frame = nullptr;
  if (FJob == Job) FJob = nullptr;
  FDrawing = false;
  FPicture = std::move(Job->Bitmap);
  FPictureSize = QSize(Job->Width, Job->Height);
  if (FRedrawPending) CallGuarded([this] { StartDraw(); });
  pnlClnt->update();
  if (pnlClnt->isVisible()) pnlClnt->repaint();
}

void TfrKalvCustomNoiseDraw::pnlClntPaint(QPaintEvent *Event) {
  QPainter p(pnlClnt);
  // A picture drawn before the frame had its size on screen is shown only once one of the panel's
  // own size was: stretched, it would be shrunken labels blown up.
  if (FPicture && !FPicture->Empty() && FPictureSize == pnlClnt->size()) FFittingShown = true;
  if (FPicture && !FPicture->Empty() && FFittingShown) {
    // Stretched to the current size, so a resize shows the old picture until the new one is in.
    p.drawImage(pnlClnt->rect(), FPicture->Image());
  } else {
    p.fillRect(Event->rect(), pnlClnt->palette().window());
  }
}

void TfrKalvCustomNoiseDraw::pnlClntResize() {
  StartDraw();
  pnlClnt->update();
}

void TfrKalvCustomNoiseDraw::pnlBtmMouseDown(QMouseEvent *Event) {
  if (Event->button() == Qt::LeftButton && Event->buttons() == Qt::LeftButton &&
      Event->modifiers() == Qt::NoModifier) {
    FDragStartY = static_cast<int>(Event->globalPosition().y());
    FDragStartHeight = FHeight;
    FDragging = true;
  } else {
    FDragging = false;
  }
}

void TfrKalvCustomNoiseDraw::pnlBtmMouseMove(QMouseEvent *Event) {
  if (!FDragging) return;
  int screenH = std::numeric_limits<int>::max();
  if (QScreen *s = screen(); s != nullptr) screenH = s->geometry().height();
  const int y = static_cast<int>(Event->globalPosition().y());
  SetFrameHeight(std::min(screenH, std::max(KalvChartMinHeight, FDragStartHeight + y - FDragStartY)));
}

void TfrKalvCustomNoiseDraw::pnlBtmMouseUp(QMouseEvent *Event) {
  if (Event->button() == Qt::LeftButton) FDragging = false;
}

void TfrKalvCustomNoiseDraw::pnlBtmDblClick() {
  FDragging = false;
  SetFrameHeight(KalvChartDefaultHeight);
}

void TfrKalvCustomNoiseDraw::contextMenuEvent(QContextMenuEvent *Event) {
  if (TNoiseChartHost *host = NoiseChartHost()) host->SetCurrentChart(this);
  Event->ignore(); // the panel around the chart shows its menu
}
