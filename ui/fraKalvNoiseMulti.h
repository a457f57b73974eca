// The combined charts: several channels' curves in one chart ("RGB L*": L*, R, G, B;
// "RG GB BR": RG, GB, BR), drawn in channel order so later channels lie on top.
//
// Main thread only.
#pragma once

#include "ui/fraKalvCustomNoiseDraw.h"

class TfrKalvNoiseMulti : public TfrKalvCustomNoiseDraw {
  Q_OBJECT
public:
  using TfrKalvCustomNoiseDraw::TfrKalvCustomNoiseDraw;
};

class TfrKalvNoiseMulti3 : public TfrKalvNoiseMulti {
  Q_OBJECT
public:
  explicit TfrKalvNoiseMulti3(QWidget *Parent = nullptr);
};

class TfrKalvNoiseMulti4 : public TfrKalvNoiseMulti {
  Q_OBJECT
public:
  explicit TfrKalvNoiseMulti4(QWidget *Parent = nullptr);
};
