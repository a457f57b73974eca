#include "ui/fraKalvNoiseMulti.h"

TfrKalvNoiseMulti3::TfrKalvNoiseMulti3(QWidget *Parent) : TfrKalvNoiseMulti(Parent) { SetChannelCount(3); }

TfrKalvNoiseMulti4::TfrKalvNoiseMulti4(QWidget *Parent) : TfrKalvNoiseMulti(Parent) { SetChannelCount(4); }
