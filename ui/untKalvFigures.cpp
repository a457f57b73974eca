#include "ui/untKalvFigures.h"

#include <filesystem>
#include <sstream>

#include "platform/untClasses.h"

#include "ui/fraKalvNoises.h"
#include "ui/fraKalvRectNoises.h"
#include "widgets/TntExtraEdits.h"

namespace {

// The single-channel charts of a panel in channel order R, G, B, L*, RG, GB, BR.
constexpr int ChannelCharts[MeasureChannelCount] = {0, 1, 2, 3, 5, 6, 7};

const TChannelNoiseData *ChannelData(const TfrKalvNoises &Panel, int Channel) {
  const TChannelNoiseArray data = Panel.Chart(ChannelCharts[Channel])->Channels();
  return data.empty() ? nullptr : data[0];
}

QString TwoDecimals(bool Available, float Value) {
  return Available ? QString::number(static_cast<double>(Value), 'f', 2) : QString();
}

// An area in the command line's words ("picture 0,0 2000 x 1300", "region 150,150 500 x 450").
QString AreaTitle(const TAreaResult &A) {
  return QStringLiteral("%1 %2,%3 %4 x %5")
      .arg(A.IsRegion ? QStringLiteral("region") : QStringLiteral("picture"))
      .arg(A.Left)
      .arg(A.Top)
      .arg(A.Width)
      .arg(A.Height);
}

} // namespace

QString NoisePanelFiguresText(const TfrKalvNoises &Panel, const std::string &FileName) {
  QString text;
  if (!FileName.empty())
    text += QString::fromStdString(EscapeFileName(std::filesystem::path(PathFromUtf8(FileName)).filename().string())) + '\n';
  text += AreaTitle(NoisePanelArea(Panel)) + '\n';
  text += QStringLiteral("channel\tS/N ratio dB\tS mean\tN mean\n");
  for (int c = 0; c < MeasureChannelCount; ++c) {
    // A copy, since the figure getters are not const.
    TChannelNoiseData data;
    if (const TChannelNoiseData *d = ChannelData(Panel, c)) data.Assign(d);
    float snr = 0, s = 0, n = 0;
    const bool hasSnr = data.GetSNRatio(snr), hasS = data.GetSMean(s), hasN = data.GetNMean(n);
    text += QString::fromUtf8(MeasureChannelNames[c]) + '\t' + TwoDecimals(hasSnr, snr) + '\t' +
            TwoDecimals(hasS, s) + '\t' + TwoDecimals(hasN, n) + '\n';
  }
  return text;
}

namespace {
// The sums of the seven channels, Data(chart) giving a chart's channels (the first is the one of
// a single-channel chart; nullptr or none: no figures).
template <class TData> void FillChannels(TAreaResult &Area, const TData &Data) {
  for (int c = 0; c < MeasureChannelCount; ++c) {
    TChannelFigures &f = Area.Channels[static_cast<std::size_t>(c)];
    const TChannelNoiseArray data = Data(ChannelCharts[c]);
    if (const TChannelNoiseData *d = data.empty() ? nullptr : data[0]) {
      f.SSum = d->SSum;
      f.SCount = d->SCount;
      f.NSum = d->NSum;
      f.NCount = d->NCount;
      f.Clipped = d->Clipped;
      f.Histogram = d->HistogramData();
    }
  }
}
} // namespace

TAreaResult RegionFiguresArea(const TKalvRegionFigures &Figures, const TRect &Bounds) {
  TAreaResult area;
  area.IsRegion = true;
  area.Left = Bounds.Left;
  area.Top = Bounds.Top;
  area.Width = Bounds.Width();
  area.Height = Bounds.Height();
  FillChannels(area, [&](int Chart) { return Figures.ChartData(Chart); });
  return area;
}

TAreaResult NoisePanelArea(const TfrKalvNoises &Panel) {
  TAreaResult area;
  area.IsRegion = dynamic_cast<const TfrKalvRectNoises *>(&Panel) != nullptr;
  // A region's own bounds: its fields may hold a text being typed.
  const auto *rect = dynamic_cast<const TfrKalvRectNoises *>(&Panel);
  if (rect != nullptr && rect->Region != nullptr) {
    const TRect r = rect->Region->RegionBounds();
    area.Left = r.Left;
    area.Top = r.Top;
    area.Width = r.Width();
    area.Height = r.Height();
  } else {
    area.Left = Panel.edtPosLeft->AsInteger();
    area.Top = Panel.edtPosTop->AsInteger();
    area.Width = Panel.edtPosWidth->AsInteger();
    area.Height = Panel.edtPosHeight->AsInteger();
  }
  FillChannels(area, [&](int Chart) { return Panel.Chart(Chart)->Channels(); });
  return area;
}

std::string NoisePanelsCsv(const std::string &FileName, int PW, int PH,
                           const std::vector<TfrKalvNoises *> &Panels) {
  std::vector<TAreaResult> areas;
  for (TfrKalvNoises *p : Panels) areas.push_back(NoisePanelArea(*p));
  return AreasCsv(FileName, PW, PH, std::move(areas));
}

std::string AreasCsv(const std::string &FileName, int PW, int PH, std::vector<TAreaResult> Areas) {
  TFileResult file;
  file.File = FileName;
  file.Width = PW;
  file.Height = PH;
  file.Areas = std::move(Areas);
  std::ostringstream out;
  WriteCsv(out, {file}, false);
  return out.str();
}
