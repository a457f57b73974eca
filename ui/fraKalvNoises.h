// A noise panel: the position of an area and its nine noise charts, stacked in a scroll box.
// The picture panel (frNs) is a TfrKalvNoises; every region whose page has been shown has a
// TfrKalvRectNoises.
//
// The panels act as one list through the host (ui/untNoiseHost.h): their scroll positions and
// chart heights follow each other, and in same-scale mode a chart group shares one scale over all
// of them. The NoisePanels... functions below do that work for the host over its panels in order
// (the picture panel first, then the region panels).
//
// Main thread only.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "app/untKalvNoiseTarget.h"
#include "ui/fraKalvCustomNoise.h"
#include "ui/fraKalvNoise.h"
#include "ui/fraKalvNoiseMulti.h"

class QLabel;
class QMenu;
class QScrollArea;
class QVBoxLayout;
class TTntExtraLabeledEdit;

constexpr int KalvNoiseChartCount = 9;

class TfrKalvNoises : public TfrKalvCustomNoise, public TKalvNoiseTarget {
  Q_OBJECT
public:
  explicit TfrKalvNoises(QWidget *Parent = nullptr);
  ~TfrKalvNoises() override;

  QScrollArea *sbxNoises = nullptr;
  QWidget *pnlTop = nullptr;
  QLabel *lblName = nullptr;
  TTntExtraLabeledEdit *edtPosLeft = nullptr;
  TTntExtraLabeledEdit *edtPosTop = nullptr;
  TTntExtraLabeledEdit *edtPosWidth = nullptr;
  TTntExtraLabeledEdit *edtPosHeight = nullptr;
  TfrKalvNoise *frNsR = nullptr;
  TfrKalvNoise *frNsG = nullptr;
  TfrKalvNoise *frNsB = nullptr;
  TfrKalvNoise *frNsL = nullptr;
  TfrKalvNoiseMulti4 *frNsRGBL = nullptr;
  TfrKalvNoise *frNsRG = nullptr;
  TfrKalvNoise *frNsGB = nullptr;
  TfrKalvNoise *frNsBR = nullptr;
  TfrKalvNoiseMulti3 *frNsRGGBBR = nullptr;
  QMenu *pmuNoises = nullptr;

  // The nine charts in panel order (see TKalvNoiseTarget).
  TfrKalvCustomNoiseDraw *Chart(int Index) const { return FCharts.at(static_cast<size_t>(Index)); }
  // The width that shows every field of the strips without cutting one off (scroll bar included).
  int PreferredWidth() const;
  const std::array<TfrKalvCustomNoiseDraw *, KalvNoiseChartCount> &Charts() const { return FCharts; }

  bool HeightsSynced = false;

  // Group 1 over R, G, B, L*, group 2 over RG, GB, BR; any other group raises "Not Implemented!".
  std::int64_t GetMaxCount(int Group) override;
  std::int64_t GetTotalCount(int Group) override;
  std::uint8_t GetMaxLevel(int Group) override;
  // The nine charts in panel order.
  void RedrawCharts() override;

  void SetChartData(int ChartIndex, int Channel, const TChannelNoiseData *Data) override;
  // Every chart drawn once after all are set (also when one of the items is out of range).
  void SetChartsData(std::span<const TChartData> Items) override;
  void SetPositionFields(int Left, int Top, int Width, int Height) override;
  void Reset() override;
  void SetChartsDefaultHeight() override;

  // A chart changed its height: the other panels follow once this one has been synchronised.
  void ChartResized(TObject *Sender);

  int ScrollX() const;
  int ScrollY() const;
  void SetScroll(int X, int Y);

  // The context menu's entries; region panels add theirs.
  virtual void FillContextMenu(QMenu *Menu);

protected:
  void contextMenuEvent(QContextMenuEvent *Event) override;
  void pnlTopContextPopup();

private:
  std::vector<TfrKalvCustomNoiseDraw *> GroupCharts(int Group) const;
  void ApplyPendingScroll();
  std::array<TfrKalvCustomNoiseDraw *, KalvNoiseChartCount> FCharts{};
  // A position asked for before the scroll box had the range for it (a panel not laid out yet);
  // taken once the range allows it. -1: none.
  int FPendingX = -1, FPendingY = -1;
};

// ---- work over all panels, for the host ------------------------------------------------------------

// The scale of Group over Panels (the maximum of the panels' answers; the smallest value of the
// type when there are none).
std::int64_t NoisePanelsMaxCount(const std::vector<TfrKalvNoises *> &Panels, int Group);
std::int64_t NoisePanelsTotalCount(const std::vector<TfrKalvNoises *> &Panels, int Group);
std::uint8_t NoisePanelsMaxLevel(const std::vector<TfrKalvNoises *> &Panels, int Group);
// RedrawCharts on every panel in order.
void NoisePanelsRedraw(const std::vector<TfrKalvNoises *> &Panels);
// Every panel but Source takes Source's chart heights, then every panel counts as synchronised.
// Height changes made here do not start a synchronisation of their own.
void NoisePanelsSyncChartHeights(const std::vector<TfrKalvNoises *> &Panels, TfrKalvNoises *Source);
// Every panel but Sender takes Sender's scroll position. Guarded by a process-wide flag, so the
// scroll events this raises do not start again.
void NoisePanelsSyncScroll(const std::vector<TfrKalvNoises *> &Panels, TfrKalvNoises *Sender);
