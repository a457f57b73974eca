#include "ui/untNoiseHost.h"

namespace {
TNoiseChartHost *GHost = nullptr;
}

TNoiseChartHost *NoiseChartHost() { return GHost; }
void SetNoiseChartHost(TNoiseChartHost *Host) { GHost = Host; }
