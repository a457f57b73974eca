// What the main module needs of a noise panel: the receiver of a picture job's results. The
// whole-picture panel and every region panel of the window implement it.
#pragma once

#include <span>

class TChannelNoiseData; // engine/untKalvPicJobData.h

class TKalvNoiseTarget {
public:
  virtual ~TKalvNoiseTarget() = default;

  // The nine charts in panel order: 0 "R", 1 "G", 2 "B", 3 "L*", 4 "RGB L*", 5 "RG", 6 "GB",
  // 7 "BR", 8 "RG GB BR". Chart takes a copy of Data as its channel Channel.
  virtual void SetChartData(int Chart, int Channel, const TChannelNoiseData *Data) = 0;
  struct TChartData {
    int Chart = 0;
    int Channel = 0;
    const TChannelNoiseData *Data = nullptr;
  };
  // Several SetChartData at once, in order. A panel draws each chart once afterwards instead of
  // once per channel; this default simply calls SetChartData for each.
  virtual void SetChartsData(std::span<const TChartData> Items) {
    for (const TChartData &d : Items) SetChartData(d.Chart, d.Channel, d.Data);
  }
  // Shows an area's bounds in the panel's four position fields.
  virtual void SetPositionFields(int Left, int Top, int Width, int Height) = 0;
  // Empties the position fields and every chart, then redraws the charts.
  virtual void Reset() = 0;
  // Gives every chart its default height.
  virtual void SetChartsDefaultHeight() = 0;
};
