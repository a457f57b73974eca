// A region's noise panel: the picture panel's charts with editable position fields. A typed
// position is kept inside the picture (and at least 11 pixels wide and high where the picture and
// the region's place on it allow) before the region takes it.
//
// Main thread only.
#pragma once

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

// Every region panel, in the order they were made.
const std::vector<TfrKalvRectNoises *> &RectNoisesList();
