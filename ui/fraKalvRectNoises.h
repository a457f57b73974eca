// A region's noise panel: the picture panel's charts with editable position fields. A typed
// position is kept inside the picture (and at least 11 pixels wide and high where the picture and
// the region's place on it allow) before the region takes it.
//
// Main thread only.
#pragma once

#include <QPointer>
#include <array>
#include <memory>
#include <vector>

#include "engine/untGraphics.h"
#include "ui/fraKalvNoises.h"

// What the panel needs of its region (the region control implements it).
class TKalvNoiseRegion {
public:
  virtual ~TKalvNoiseRegion() = default;
  // The region's bounds in picture pixels (Right and Bottom excluded).
  virtual TRect RegionBounds() const = 0;
  virtual void SetRegionBounds(const TRect &Value) = 0;
  // Measures the region anew after a change of its bounds.
  virtual void Recalculate() = 0;
  // The size of the picture the region lies on (the RGB page's picture).
  virtual int PictureWidth() const = 0;
  virtual int PictureHeight() const = 0;
};

// The smallest region side a typed width or height or a drag leaves (a picture's side, where that
// is smaller).
constexpr int KalvRegionMinSide = 11;

enum TKalvPosField : std::uint8_t { kpfLeft, kpfTop, kpfWidth, kpfHeight };
// The bounds value a typed Value becomes in Field (Left, Top, Width, Height of Bounds on a
// PW x PH picture).
int ClampTypedPosition(TKalvPosField Field, int Value, const TRect &Bounds, int PW, int PH);

class TfrKalvRectNoises : public TfrKalvNoises {
  Q_OBJECT
public:
  explicit TfrKalvRectNoises(QWidget *Parent = nullptr);
  ~TfrKalvRectNoises() override;

  TKalvNoiseRegion *Region = nullptr; // not owned; the region frees this panel with its page

  void edtPosLeftValue(TObject *Sender);
  void edtPosTopValue(TObject *Sender);
  void edtPosWidthValue(TObject *Sender);
  void edtPosHeightValue(TObject *Sender);

protected:
  void FillContextMenu(QMenu *Menu) override;

private:
  void PositionTyped(TKalvPosField Field, TTntExtraLabeledEdit *Edit);
};

// A region's figures: whatever its measurements handed over, kept whether or not the region's
// panel exists. Region panels are made when their page is first shown (an import of a thousand
// regions would otherwise build a thousand panels of charts nobody looks at); until then the
// figures live here only, and the export, the common scale and the panel made later read them
// here. Once there is a panel everything handed over goes on to it as well.
class TKalvRegionFigures : public TKalvNoiseTarget {
public:
  TKalvRegionFigures() = default;
  TKalvRegionFigures(const TKalvRegionFigures &) = delete;
  TKalvRegionFigures &operator=(const TKalvRegionFigures &) = delete;

  void SetChartData(int Chart, int Channel, const TChannelNoiseData *Data) override;
  // Keeps them all, then hands them to the panel at once (each chart drawn once).
  void SetChartsData(std::span<const TChartData> Items) override;
  void SetPositionFields(int Left, int Top, int Width, int Height) override;
  void Reset() override;
  void SetChartsDefaultHeight() override;

  // The channels of a chart in panel order (nullptr: nothing handed over, an empty channel).
  TChannelNoiseArray ChartData(int Chart) const;
  // The bounds last shown in the position fields; false when there are none.
  bool Position(TRect &Bounds) const;
  // The group scales as the region's panel has them (see TfrKalvNoises).
  std::int64_t GetMaxCount(int Group) const;
  std::int64_t GetTotalCount(int Group) const;
  std::uint8_t GetMaxLevel(int Group) const;

  TfrKalvRectNoises *Panel() const { return FPanel.data(); }
  // Panel shows the figures from now on; it takes those kept so far at once.
  void SetPanel(TfrKalvRectNoises *Panel);

private:
  void Keep(const TChartData &Item);

  std::array<std::vector<std::unique_ptr<TChannelNoiseData>>, KalvNoiseChartCount> FCharts;
  bool FHasPosition = false;
  int FLeft = 0, FTop = 0, FWidth = 0, FHeight = 0;
  QPointer<TfrKalvRectNoises> FPanel;
};

// Every region panel made so far, in the order they were made.
const std::vector<TfrKalvRectNoises *> &RectNoisesList();
