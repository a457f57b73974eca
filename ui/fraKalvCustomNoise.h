// The common base of the chart frames and the noise panels: the scale queries and the redraw that
// the charts of a panel share.
//
// Main thread only.
#pragma once

#include <cstdint>

#include "ui/fraKalvDef.h"

class TfrKalvCustomNoise : public TfrKalvDef {
  Q_OBJECT
public:
  using TfrKalvDef::TfrKalvDef;

  // The largest histogram count, the total count and the highest level with a non-zero count of
  // chart group Group (1: R, G, B, L*; 2: RG, GB, BR).
  virtual std::int64_t GetMaxCount(int Group) = 0;
  virtual std::int64_t GetTotalCount(int Group) = 0;
  virtual std::uint8_t GetMaxLevel(int Group) = 0;
  // Draws the chart (or every chart of the panel) anew.
  virtual void RedrawCharts() = 0;
};
