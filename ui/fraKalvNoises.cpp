#include "ui/fraKalvNoises.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QMenu>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>

#include "platform/untApplication.h"
#include "ui/untNoiseHost.h"
#include "widgets/TntExtraEdits.h"

namespace {

// The top strip: its context menu has no current chart.
class TNoisesTopPanel : public QWidget {
public:
  using QWidget::QWidget;
  std::function<void()> OnContextPopup;

protected:
  void contextMenuEvent(QContextMenuEvent *Event) override {
    if (OnContextPopup) CallGuarded(OnContextPopup);
    Event->ignore(); // the panel shows the menu
  }
};

TTntExtraLabeledEdit *MakePosField(QWidget *Parent, const char *Name, int Left, int Top, const char *Caption) {
  auto *e = new TTntExtraLabeledEdit(Parent);
  e->setObjectName(Name);
  e->SetInputType(itInteger);
  e->SetAlignment(taRightJustify);
  e->setReadOnly(true);
  e->SetLabelPositionCaption(lpLeft);
  e->EditLabelCaption()->SetCaption(QString::fromUtf8(Caption));
  e->SetBounds(Left, Top, 58, e->sizeHint().height());
  return e;
}

[[noreturn]] void NotImplemented() { throw Exception("Not Implemented!"); }

bool GSyncingHeights = false;
bool GSyncingScroll = false;

} // namespace

TfrKalvNoises::TfrKalvNoises(QWidget *Parent) : TfrKalvCustomNoise(Parent) {
  auto *outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  sbxNoises = new QScrollArea(this);
  sbxNoises->setObjectName("sbxNoises");
  // A horizontal scroll bar only when the page is narrower than the strips' fields need, so that
  // S mean and N mean stay reachable on a narrow right-hand side.
  sbxNoises->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  sbxNoises->setWidgetResizable(true);
  sbxNoises->setFrameShape(QFrame::NoFrame);
  outer->addWidget(sbxNoises);

  auto *content = new QWidget;
  auto *lay = new QVBoxLayout(content);
  lay->setContentsMargins(0, 0, 0, 0);
  lay->setSpacing(0);

  auto *top = new TNoisesTopPanel(content);
  top->OnContextPopup = [this] { pnlTopContextPopup(); };
  pnlTop = top;
  pnlTop->setObjectName("pnlTop");
  pnlTop->setFixedHeight(66);
  lblName = new QLabel(QStringLiteral("Picture"), pnlTop);
  lblName->setObjectName("lblName");
  QFont bold = QApplication::font();
  bold.setBold(true);
  lblName->setFont(bold);
  lblName->move(8, 12);
  lblName->adjustSize();
  // Positions follow the texts' widths, so the name never runs into the labels of the fields.
  const QFontMetrics fm(pnlTop->font());
  constexpr int Field = 58, Spacing = 3, Gap = 10;
  // A region's name (its number) is shorter than "Picture".
  const int col1 = 8 + QFontMetrics(bold).horizontalAdvance(QStringLiteral("Picture")) + Gap +
                   std::max(fm.horizontalAdvance(QStringLiteral("Left")), fm.horizontalAdvance(QStringLiteral("Top"))) +
                   Spacing;
  const int col2 = col1 + Field + Gap +
                   std::max(fm.horizontalAdvance(QStringLiteral("Width")), fm.horizontalAdvance(QStringLiteral("Height"))) +
                   Spacing;
  edtPosLeft = MakePosField(pnlTop, "edtPosLeft", col1, 8, "Left");
  edtPosTop = MakePosField(pnlTop, "edtPosTop", col1, 37, "Top");
  edtPosWidth = MakePosField(pnlTop, "edtPosWidth", col2, 8, "Width");
  edtPosHeight = MakePosField(pnlTop, "edtPosHeight", col2, 37, "Height");
  lay->addWidget(pnlTop);

  frNsR = new TfrKalvNoise(content);
  frNsG = new TfrKalvNoise(content);
  frNsB = new TfrKalvNoise(content);
  frNsL = new TfrKalvNoise(content);
  frNsRGBL = new TfrKalvNoiseMulti4(content);
  frNsRG = new TfrKalvNoise(content);
  frNsGB = new TfrKalvNoise(content);
  frNsBR = new TfrKalvNoise(content);
  frNsRGGBBR = new TfrKalvNoiseMulti3(content);
  FCharts = {frNsR, frNsG, frNsB, frNsL, frNsRGBL, frNsRG, frNsGB, frNsBR, frNsRGGBBR};
  const char *names[] = {"frNsR", "frNsG", "frNsB", "frNsL", "frNsRGBL", "frNsRG", "frNsGB", "frNsBR", "frNsRGGBBR"};
  const char *captions[] = {NoiseChannelCaption(ncR),  NoiseChannelCaption(ncG),  NoiseChannelCaption(ncB),
                            NoiseChannelCaption(ncL),  NoiseCaptionRGBL,          NoiseChannelCaption(ncRG),
                            NoiseChannelCaption(ncGB), NoiseChannelCaption(ncBR), NoiseCaptionPairs};
  for (int i = 0; i < KalvNoiseChartCount; ++i) {
    TfrKalvCustomNoiseDraw *c = FCharts[static_cast<size_t>(i)];
    c->setObjectName(names[i]);
    c->SetCaption(QString::fromUtf8(captions[i]));
    c->OwnerPanel = this;
    c->SetFrameHeight(KalvChartDefaultHeight);
    c->SetChartGroup(i < 5 ? 1 : 2);
    c->OnResize = [this](TObject *Sender) { ChartResized(Sender); };
    lay->addWidget(c);
  }
  lay->addStretch(1);
  // The picture panel shows the channel colours from the start.
  frNsR->SetCaptionColor(NoiseChannelColor(ncR));
  frNsG->SetCaptionColor(NoiseChannelColor(ncG));
  frNsB->SetCaptionColor(NoiseChannelColor(ncB));
  frNsRG->SetCaptionColor(NoiseChannelColor(ncRG));
  frNsGB->SetCaptionColor(NoiseChannelColor(ncGB));
  frNsBR->SetCaptionColor(NoiseChannelColor(ncBR));
  sbxNoises->setWidget(content);
  content->setMinimumWidth(PreferredWidth() - sbxNoises->verticalScrollBar()->sizeHint().width() - 4);

  pmuNoises = new QMenu(this);
  pmuNoises->setObjectName("pmuNoises");

  const auto scrolled = [this] {
    CallGuarded([this] {
      if (TNoiseChartHost *host = NoiseChartHost()) host->SyncNoiseScroll(this);
    });
  };
  connect(sbxNoises->verticalScrollBar(), &QScrollBar::valueChanged, this, scrolled);
  connect(sbxNoises->horizontalScrollBar(), &QScrollBar::valueChanged, this, scrolled);
  // The user scrolling first cancels a position still waiting for its range.
  connect(sbxNoises->verticalScrollBar(), &QScrollBar::sliderPressed, this, [this] { FPendingX = FPendingY = -1; });
  connect(sbxNoises->horizontalScrollBar(), &QScrollBar::rangeChanged, this, [this] { ApplyPendingScroll(); });
  connect(sbxNoises->verticalScrollBar(), &QScrollBar::rangeChanged, this, [this] { ApplyPendingScroll(); });
  resize(435, 600);
}

TfrKalvNoises::~TfrKalvNoises() {
  // The charts go with the content widget; they must not call back into a half-destroyed panel.
  for (TfrKalvCustomNoiseDraw *c : FCharts) c->OnResize = nullptr;
}

std::vector<TfrKalvCustomNoiseDraw *> TfrKalvNoises::GroupCharts(int Group) const {
  switch (Group) {
  case 1: return {frNsR, frNsG, frNsB, frNsL};
  case 2: return {frNsRG, frNsGB, frNsBR};
  default: NotImplemented();
  }
}

std::int64_t TfrKalvNoises::GetMaxCount(int Group) {
  std::int64_t m = std::numeric_limits<std::int64_t>::min();
  for (TfrKalvCustomNoiseDraw *c : GroupCharts(Group)) m = std::max(m, c->GetMaxCount(Group));
  return m;
}

std::int64_t TfrKalvNoises::GetTotalCount(int Group) {
  std::int64_t m = std::numeric_limits<std::int64_t>::min();
  for (TfrKalvCustomNoiseDraw *c : GroupCharts(Group)) m = std::max(m, c->GetTotalCount(Group));
  return m;
}

std::uint8_t TfrKalvNoises::GetMaxLevel(int Group) {
  // A chart without data has no level with a count; it must not stretch the others' scale to 255.
  int m = -1;
  for (TfrKalvCustomNoiseDraw *c : GroupCharts(Group))
    if (c->GetTotalCount(Group) > 0) m = std::max<int>(m, c->GetMaxLevel(Group));
  return m < 0 ? 255 : static_cast<std::uint8_t>(m);
}

void TfrKalvNoises::RedrawCharts() {
  for (TfrKalvCustomNoiseDraw *c : FCharts) c->RedrawCharts();
}

void TfrKalvNoises::SetChartData(int ChartIndex, int Channel, const TChannelNoiseData *Data) {
  if (ChartIndex < 0 || ChartIndex >= KalvNoiseChartCount)
    throw EListError(Format("Chart index out of range (%d)", ChartIndex));
  Chart(ChartIndex)->SetData(Channel, Data);
}

void TfrKalvNoises::SetChartsData(std::span<const TChartData> Items) {
  if (Items.empty()) return;
  std::exception_ptr failure;
  try {
    for (const TChartData &d : Items) {
      if (d.Chart < 0 || d.Chart >= KalvNoiseChartCount)
        throw EListError(Format("Chart index out of range (%d)", d.Chart));
      Chart(d.Chart)->AssignData(d.Channel, d.Data);
    }
  } catch (...) {
    failure = std::current_exception();
  }
  // Any chart's redraw is the panel's (or, in same-scale mode, every panel's).
  Chart(0)->RedrawAfterData();
  if (failure) std::rethrow_exception(failure);
}

void TfrKalvNoises::SetPositionFields(int Left, int Top, int Width, int Height) {
  edtPosLeft->SetAsInteger(Left);
  edtPosTop->SetAsInteger(Top);
  edtPosWidth->SetAsInteger(Width);
  edtPosHeight->SetAsInteger(Height);
}

void TfrKalvNoises::Reset() {
  for (TTntExtraLabeledEdit *e : {edtPosLeft, edtPosTop, edtPosWidth, edtPosHeight}) e->setText(QString());
  for (TfrKalvCustomNoiseDraw *c : FCharts) c->ClearData();
  for (TfrKalvCustomNoiseDraw *c : FCharts) c->RedrawCharts();
}

void TfrKalvNoises::SetChartsDefaultHeight() {
  for (TfrKalvCustomNoiseDraw *c : FCharts) c->pnlBtmDblClick();
}

void TfrKalvNoises::ChartResized(TObject *) {
  if (!HeightsSynced) return;
  if (TNoiseChartHost *host = NoiseChartHost()) host->SyncChartHeights(this);
}

int TfrKalvNoises::ScrollX() const { return sbxNoises->horizontalScrollBar()->value(); }
int TfrKalvNoises::ScrollY() const { return sbxNoises->verticalScrollBar()->value(); }

void TfrKalvNoises::SetScroll(int X, int Y) {
  QScrollBar *h = sbxNoises->horizontalScrollBar(), *v = sbxNoises->verticalScrollBar();
  FPendingX = X > h->maximum() ? X : -1;
  FPendingY = Y > v->maximum() ? Y : -1;
  h->setValue(X);
  v->setValue(Y);
}

void TfrKalvNoises::ApplyPendingScroll() {
  QScrollBar *h = sbxNoises->horizontalScrollBar(), *v = sbxNoises->verticalScrollBar();
  if (FPendingX >= 0) {
    h->setValue(FPendingX);
    if (h->value() == FPendingX) FPendingX = -1;
  }
  if (FPendingY >= 0) {
    v->setValue(FPendingY);
    if (v->value() == FPendingY) FPendingY = -1;
  }
}

void TfrKalvNoises::contextMenuEvent(QContextMenuEvent *Event) {
  pmuNoises->clear();
  FillContextMenu(pmuNoises);
  if (pmuNoises->isEmpty()) {
    Event->ignore();
    return;
  }
  pmuNoises->popup(Event->globalPos());
  Event->accept();
}

void TfrKalvNoises::FillContextMenu(QMenu *Menu) {
  TNoiseChartHost *host = NoiseChartHost();
  if (host == nullptr) return;
  if (QAction *a = host->NoiseAction(nhaSetChartDefHeight)) Menu->addAction(a);
  if (QAction *a = host->NoiseAction(nhaSetChartsDefHeight)) Menu->addAction(a);
  Menu->addSeparator();
  if (QAction *a = host->NoiseAction(nhaSameScale)) Menu->addAction(a);
  if (QAction *a = host->NoiseAction(nhaFitCounts)) Menu->addAction(a);
  QAction *copy = host->NoiseAction(nhaCopyFigures), *exp = host->NoiseAction(nhaExportFigures);
  if (copy != nullptr || exp != nullptr) Menu->addSeparator();
  if (copy != nullptr) Menu->addAction(copy);
  if (exp != nullptr) Menu->addAction(exp);
}

void TfrKalvNoises::pnlTopContextPopup() {
  if (TNoiseChartHost *host = NoiseChartHost()) host->SetCurrentChart(nullptr);
}

// ---- over all panels ---------------------------------------------------------------------------------

std::int64_t NoisePanelsMaxCount(const std::vector<TfrKalvNoises *> &Panels, int Group) {
  std::int64_t m = std::numeric_limits<std::int64_t>::min();
  for (TfrKalvNoises *p : Panels) m = std::max(m, p->GetMaxCount(Group));
  return m;
}

std::int64_t NoisePanelsTotalCount(const std::vector<TfrKalvNoises *> &Panels, int Group) {
  std::int64_t m = std::numeric_limits<std::int64_t>::min();
  for (TfrKalvNoises *p : Panels) m = std::max(m, p->GetTotalCount(Group));
  return m;
}

std::uint8_t NoisePanelsMaxLevel(const std::vector<TfrKalvNoises *> &Panels, int Group) {
  int m = -1;
  for (TfrKalvNoises *p : Panels)
    if (p->GetTotalCount(Group) > 0) m = std::max<int>(m, p->GetMaxLevel(Group));
  return m < 0 ? 255 : static_cast<std::uint8_t>(m);
}

void NoisePanelsRedraw(const std::vector<TfrKalvNoises *> &Panels) {
  for (TfrKalvNoises *p : Panels) p->RedrawCharts();
}

void NoisePanelsSyncChartHeights(const std::vector<TfrKalvNoises *> &Panels, TfrKalvNoises *Source) {
  if (GSyncingHeights || Source == nullptr) return;
  GSyncingHeights = true;
  try {
    for (TfrKalvNoises *p : Panels) {
      if (p != Source)
        for (int i = 0; i < KalvNoiseChartCount; ++i) p->Chart(i)->SetFrameHeight(Source->Chart(i)->FrameHeight());
      p->HeightsSynced = true;
    }
    Source->HeightsSynced = true;
  } catch (...) {
    GSyncingHeights = false;
    throw;
  }
  GSyncingHeights = false;
}

void NoisePanelsSyncScroll(const std::vector<TfrKalvNoises *> &Panels, TfrKalvNoises *Sender) {
  if (GSyncingScroll || Sender == nullptr) return;
  GSyncingScroll = true;
  try {
    const int x = Sender->ScrollX(), y = Sender->ScrollY();
    for (TfrKalvNoises *p : Panels)
      if (p != Sender) p->SetScroll(x, y);
  } catch (...) {
    GSyncingScroll = false;
    throw;
  }
  GSyncingScroll = false;
}

int TfrKalvNoises::PreferredWidth() const {
  const int strips = std::max(edtPosHeight->geometry().right(), frNsR->edtNMean->geometry().right());
  return strips + 10 + sbxNoises->verticalScrollBar()->sizeHint().width() + 4;
}
