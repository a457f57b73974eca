// What the noise charts and noise panels need of the program around them: the thread manager
// that draws the charts, the "same scale" switch, the window-wide scale over every panel, the
// current chart of the context menus and the synchronisation of heights and scroll positions.
//
// The main module and the main window implement it; the charts and panels reach it through the
// process-wide NoiseChartHost(). With no host set, charts keep their data but draw nothing and the
// panels work on their own (no same scale, no synchronisation, no context-menu commands).
//
// Main thread only.
#pragma once

#include <cstdint>

class QAction;
class TThreadMan;
class TfrKalvCustomNoiseDraw;
class TfrKalvNoises;

// The commands the chart and panel context menus show.
enum TNoiseHostAction : std::uint8_t {
  nhaSetChartDefHeight,  // actNsSetChartDefHeight, "&set chart to default height"
  nhaSetChartsDefHeight, // actNsSetChartsDefHeight, "set all charts to default height"
  nhaSameScale,          // actNsSameScale, "same scale" (checkable)
  nhaClose,              // actNsClose, "&remove region" (region panels only)
  nhaCloseAll,           // actNsCloseAll, "remove &all regions" (region panels only)
  nhaCopyFigures,        // "&copy figures" (the window's own command)
  nhaExportFigures,      // "export &figures..." (the window's own command)
  nhaFitCounts           // "fit to 99.9% of counts" (the window's own command, checkable)
};

class TNoiseChartHost {
public:
  virtual ~TNoiseChartHost() = default;

  // The thread manager the chart draw jobs are queued on (thmMain); nullptr: charts do not draw.
  virtual TThreadMan *NoiseThreadMan() = 0;
  // Whether "same scale" (actNsSameScale) is checked.
  virtual bool SameScale() = 0;
  // Whether "fit to 99.9% of counts" is checked: every chart's horizontal scale then ends at the
  // level below which 99.9% of its counts lie (FitLevel) instead of at the highest one counted.
  virtual bool FitCounts() { return false; }

  // The scale of a chart group (1: R, G, B, L*; 2: RG, GB, BR) over all noise panels: the largest
  // histogram count, the largest total count and the highest level with a non-zero count (with
  // FitCounts, the highest fitted level). The window takes in every region, also those whose
  // panel has not been made yet (their kept figures, TKalvRegionFigures).
  // NoisePanelsMaxCount & co. in ui/fraKalvNoises.h compute them from a list of panels.
  virtual std::int64_t GetMaxCount(int Group) = 0;
  virtual std::int64_t GetTotalCount(int Group) = 0;
  virtual std::uint8_t GetMaxLevel(int Group) = 0;
  // RedrawCharts on the picture panel, then on every region panel made (RectNoisesList order).
  virtual void RedrawAllCharts() = 0;

  // The chart whose context menu opened last, or nullptr (a panel's top strip). The module keeps
  // it as CurrentChart and enables "&set chart to default height" exactly when one is set. A chart
  // being destroyed calls this with nullptr if it is the current one (see
  // TfrKalvCustomNoiseDraw's destructor), so the host never keeps a freed chart.
  virtual void SetCurrentChart(TfrKalvCustomNoiseDraw *Chart) = 0;
  virtual TfrKalvCustomNoiseDraw *CurrentChart() = 0;

  // A chart of Source changed its height (after Source took part in a synchronisation): every
  // other panel's charts take Source's heights. NoisePanelsSyncChartHeights does the work.
  virtual void SyncChartHeights(TfrKalvNoises *Source) = 0;
  // Sender's scroll box moved: every other panel's scroll box takes its position.
  // NoisePanelsSyncScroll does the work.
  virtual void SyncNoiseScroll(TfrKalvNoises *Sender) = 0;

  // The Qt action of a context-menu command (owned by the module), or nullptr to leave it out.
  virtual QAction *NoiseAction(TNoiseHostAction Which) = 0;
};

// The process-wide host; nullptr when none is set. The setter does not take ownership.
TNoiseChartHost *NoiseChartHost();
void SetNoiseChartHost(TNoiseChartHost *Host);
