#include "ui/fraKalvRectNoises.h"

#include <QLabel>
#include <QMenu>
#include <algorithm>
#include <exception>
#include <limits>

#include "platform/untApplication.h"
#include "ui/untNoiseHost.h"
#include "widgets/TntExtraEdits.h"

namespace {
std::vector<TfrKalvRectNoises *> &RectNoisesListRef() {
  static std::vector<TfrKalvRectNoises *> list;
  return list;
}
} // namespace

const std::vector<TfrKalvRectNoises *> &RectNoisesList() { return RectNoisesListRef(); }

int ClampTypedPosition(TKalvPosField Field, int Value, const TRect &Bounds, int PW, int PH) {
  switch (Field) {
  case kpfLeft: return std::max(0, std::min(Value, PW - Bounds.Width()));
  case kpfTop: return std::max(0, std::min(Value, PH - Bounds.Height()));
  // The minimum side gives way to the picture's edge: a region never reaches past it.
  case kpfWidth: return std::min(PW - Bounds.Left, std::max(std::min(KalvRegionMinSide, PW), std::min(Value, PW - Bounds.Left)));
  case kpfHeight: return std::min(PH - Bounds.Top, std::max(std::min(KalvRegionMinSide, PH), std::min(Value, PH - Bounds.Top)));
  }
  return Value;
}

TfrKalvRectNoises::TfrKalvRectNoises(QWidget *Parent) : TfrKalvNoises(Parent) {
  lblName->setText(QStringLiteral("Region"));
  lblName->adjustSize();
  // Region captions take their colours when results arrive.
  for (TfrKalvCustomNoiseDraw *c : Charts()) c->ResetCaptionColor();
  const struct {
    TTntExtraLabeledEdit *Edit;
    void (TfrKalvRectNoises::*Handler)(TObject *);
  } fields[] = {{edtPosLeft, &TfrKalvRectNoises::edtPosLeftValue},
                {edtPosTop, &TfrKalvRectNoises::edtPosTopValue},
                {edtPosWidth, &TfrKalvRectNoises::edtPosWidthValue},
                {edtPosHeight, &TfrKalvRectNoises::edtPosHeightValue}};
  for (const auto &f : fields) {
    f.Edit->setReadOnly(false);
    f.Edit->OnValue = [this, h = f.Handler](TObject *Sender) { (this->*h)(Sender); };
  }
  RectNoisesListRef().push_back(this);
}

TfrKalvRectNoises::~TfrKalvRectNoises() {
  auto &l = RectNoisesListRef();
  l.erase(std::remove(l.begin(), l.end(), this), l.end());
}

void TfrKalvRectNoises::edtPosLeftValue(TObject *) { PositionTyped(kpfLeft, edtPosLeft); }
void TfrKalvRectNoises::edtPosTopValue(TObject *) { PositionTyped(kpfTop, edtPosTop); }
void TfrKalvRectNoises::edtPosWidthValue(TObject *) { PositionTyped(kpfWidth, edtPosWidth); }
void TfrKalvRectNoises::edtPosHeightValue(TObject *) { PositionTyped(kpfHeight, edtPosHeight); }

void TfrKalvRectNoises::PositionTyped(TKalvPosField Field, TTntExtraLabeledEdit *Edit) {
  if (Region == nullptr) return;
  TRect b = Region->RegionBounds();
  const int current[] = {b.Left, b.Top, b.Width(), b.Height()};
  bool ok = false;
  const int v = TTntExtraCustomEdit::TextToInteger(Edit->text(), &ok);
  if (!ok) {
    // No number (an empty field, a lone sign, too many digits): the region stays as it is.
    Edit->SetAsInteger(current[Field]);
    return;
  }
  const int n = ClampTypedPosition(Field, v, b, Region->PictureWidth(), Region->PictureHeight());
  if (n != current[Field]) {
    switch (Field) {
    case kpfLeft: b = Rect(n, b.Top, n + b.Width(), b.Bottom); break;
    case kpfTop: b = Rect(b.Left, n, b.Right, n + b.Height()); break;
    case kpfWidth: b.Right = b.Left + n; break;
    case kpfHeight: b.Bottom = b.Top + n; break;
    }
    Region->SetRegionBounds(b);
    Region->Recalculate();
  }
  if (n != v) Edit->SetAsInteger(n);
}

// ---- kept figures ---------------------------------------------------------------------------

namespace {
// The channels of each chart, as the panel's charts have them.
constexpr int ChartChannels[KalvNoiseChartCount] = {1, 1, 1, 1, 4, 1, 1, 1, 3};

std::vector<int> GroupChartIndexes(int Group) {
  switch (Group) {
  case 1: return {0, 1, 2, 3};
  case 2: return {5, 6, 7};
  default: throw Exception("Not Implemented!");
  }
}
} // namespace

void TKalvRegionFigures::SetChartData(int Chart, int Channel, const TChannelNoiseData *Data) {
  const TChartData item{Chart, Channel, Data};
  SetChartsData({&item, 1});
}

void TKalvRegionFigures::SetChartsData(std::span<const TChartData> Items) {
  if (Items.empty()) return;
  std::exception_ptr failure;
  try {
    for (const TChartData &d : Items) Keep(d);
  } catch (...) {
    failure = std::current_exception();
  }
  if (FPanel) {
    FPanel->SetChartsData(Items);
  } else if (TNoiseChartHost *host = NoiseChartHost(); host != nullptr && host->SameScale()) {
    // The common scale may have changed for the panels there are.
    host->RedrawAllCharts();
  }
  if (failure) std::rethrow_exception(failure);
}

void TKalvRegionFigures::Keep(const TChartData &Item) {
  const int Chart = Item.Chart, Channel = Item.Channel;
  const TChannelNoiseData *Data = Item.Data;
  if (Chart < 0 || Chart >= KalvNoiseChartCount) throw EListError(Format("Chart index out of range (%d)", Chart));
  if (Channel < 0 || Channel >= ChartChannels[Chart])
    throw EListError(Format("Chart channel index out of range (%d)", Channel));
  auto &chans = FCharts[static_cast<std::size_t>(Chart)];
  chans.resize(static_cast<std::size_t>(ChartChannels[Chart]));
  auto &slot = chans[static_cast<std::size_t>(Channel)];
  if (Data == nullptr) {
    slot.reset();
  } else {
    if (!slot) slot = std::make_unique<TChannelNoiseData>();
    slot->Assign(Data);
  }
}

void TKalvRegionFigures::SetPositionFields(int Left, int Top, int Width, int Height) {
  FHasPosition = true;
  FLeft = Left;
  FTop = Top;
  FWidth = Width;
  FHeight = Height;
  if (FPanel) FPanel->SetPositionFields(Left, Top, Width, Height);
}

void TKalvRegionFigures::Reset() {
  for (auto &chans : FCharts) chans.clear();
  FHasPosition = false;
  if (FPanel) FPanel->Reset();
}

void TKalvRegionFigures::SetChartsDefaultHeight() {
  if (FPanel) FPanel->SetChartsDefaultHeight();
}

TChannelNoiseArray TKalvRegionFigures::ChartData(int Chart) const {
  const auto &chans = FCharts.at(static_cast<std::size_t>(Chart));
  TChannelNoiseArray a(static_cast<std::size_t>(ChartChannels[Chart]), nullptr);
  for (std::size_t i = 0; i < chans.size(); ++i) a[i] = chans[i].get();
  return a;
}

bool TKalvRegionFigures::Position(TRect &Bounds) const {
  if (FHasPosition) Bounds = Rect(FLeft, FTop, FLeft + FWidth, FTop + FHeight);
  return FHasPosition;
}

std::int64_t TKalvRegionFigures::GetMaxCount(int Group) const {
  std::int64_t m = std::numeric_limits<std::int64_t>::min();
  for (int c : GroupChartIndexes(Group)) m = std::max(m, ChannelsMaxCount(ChartData(c)));
  return m;
}

std::int64_t TKalvRegionFigures::GetTotalCount(int Group) const {
  std::int64_t m = std::numeric_limits<std::int64_t>::min();
  for (int c : GroupChartIndexes(Group)) m = std::max(m, ChannelsTotalCount(ChartData(c)));
  return m;
}

std::uint8_t TKalvRegionFigures::GetMaxLevel(int Group) const {
  TNoiseChartHost *host = NoiseChartHost();
  const bool fitted = host != nullptr && host->FitCounts();
  int m = -1;
  for (int c : GroupChartIndexes(Group)) {
    const TChannelNoiseArray data = ChartData(c);
    if (ChannelsTotalCount(data) > 0) m = std::max<int>(m, ChannelsMaxLevel(data, fitted));
  }
  return m < 0 ? 255 : static_cast<std::uint8_t>(m);
}

void TKalvRegionFigures::SetPanel(TfrKalvRectNoises *Panel) {
  FPanel = Panel;
  if (Panel == nullptr) return;
  if (FHasPosition) Panel->SetPositionFields(FLeft, FTop, FWidth, FHeight);
  // Only what was handed over: a channel never set keeps the panel's own empty one (and caption).
  std::vector<TChartData> items;
  for (int c = 0; c < KalvNoiseChartCount; ++c) {
    const auto &chans = FCharts[static_cast<std::size_t>(c)];
    for (std::size_t i = 0; i < chans.size(); ++i)
      if (chans[i]) items.push_back({c, static_cast<int>(i), chans[i].get()});
  }
  Panel->SetChartsData(items);
}

// ---- panel ----------------------------------------------------------------------------------

void TfrKalvRectNoises::FillContextMenu(QMenu *Menu) {
  TfrKalvNoises::FillContextMenu(Menu);
  TNoiseChartHost *host = NoiseChartHost();
  if (host == nullptr) return;
  Menu->addSeparator();
  if (QAction *a = host->NoiseAction(nhaClose)) Menu->addAction(a);
  if (QAction *a = host->NoiseAction(nhaCloseAll)) Menu->addAction(a);
}
