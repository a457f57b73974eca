// The noise chart picture: the histogram of absolute neighbour differences as line curves, the
// difference value on the horizontal axis and the share of all differences (percent) on the
// vertical one.
//
// DrawChart touches nothing but the bitmap and the curves it is given, so a worker thread may run
// it (the chart frames do, through their draw jobs). The labels use the fixed-width font of
// platform/untBitmaps.h (FixedWidthFont) at 11 pixels.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/untGraphics.h"
#include "engine/untKalvPicJobData.h"

// One curve of a chart: its colour (0x00BBGGRR) and the 256 histogram entries.
struct TChartCurve {
  TColor Color = clBlack;
  std::array<std::int64_t, 256> Histogram{};
};

// The geometry DrawChart uses for a bitmap size and scale; exposed so that tests (and anyone
// placing things over a chart) can find the grid without repeating the rules.
struct TChartLayout {
  bool HasData = false;    // MaxCount > 0: curves are drawn
  std::int64_t MaxCount = 0;  // the count that stands for the top of the plot
  std::int64_t TopPct = 0;    // the percentage the top of the plot stands for
  int MaxLevel = 0;        // the highest difference value on the horizontal axis (>= 1)
  int TH = 0;              // text height of the labels
  int LabelW = 0;          // width of the widest vertical label; the vertical axis is at this x
  int Right = 0;           // right end of the plot (W - 10)
  int Top = 0;             // y of the top grid line
  int PlotH = 0, PlotH1 = 0;
  int PlotW = 0;
  int AxisY = 0;           // y of the horizontal axis
  int XLabelY = 0;         // top of the horizontal labels
  int GridStep = 1;        // vertical grid step in percent
  std::vector<int> GridValues; // the vertical grid values, from the first below the top to 0
  int XStep = 1;           // horizontal label step
};

// Computes the layout for a W x H picture. The scale choices for the degenerate cases:
// - MaxCount <= 0 (no data): MaxCount is taken as 100 and no curves are drawn.
// - MaxLevel 0 (every difference is 0): the horizontal axis runs from 0 to 1, so the chart shows
//   the single occupied level at the left and nothing is divided by zero.
// - TopPct rounding to 0 (the largest share is below 0.5 %): the top stands for 1 % and the
//   curves are scaled to that (MaxCount becomes the count of 1 %), so labels and curves agree.
TChartLayout ChartLayout(TCanvas &Canvas, int W, int H, std::uint8_t MaxLevel, std::int64_t MaxCount,
                         std::int64_t TotalCount);

// Draws the chart over the whole of Bitmap (which keeps its size; an empty bitmap is left as it
// is). Curves are drawn in order, so later ones lie on top. The bitmap's canvas is locked while
// drawing. With a canvas Scale above 1 the chart is laid out for the bitmap's size divided by the
// scale and drawn at the bitmap's full resolution.
// With MaxLevel 0 every count is at difference 0: each curve is a bar at 0, not a line to the
// empty level 1. Fitted says the horizontal scale ends at the fitted level (FitLevel) rather than
// at the highest one counted; the chart then says so at its top right (FitScaleLabel).
void DrawChart(TBitmap24 &Bitmap, std::span<const TChartCurve> Curves, std::uint8_t MaxLevel,
               std::int64_t MaxCount, std::int64_t TotalCount, bool Fitted = false);

// The same with the curves of channel results (colour and histogram of each; nullptr entries are
// left out).
void DrawChart(TBitmap24 &Bitmap, const TChannelNoiseArray &Channels, std::uint8_t MaxLevel,
               std::int64_t MaxCount, std::int64_t TotalCount, bool Fitted = false);

// The label of a fitted horizontal scale.
extern const char *const FitScaleLabel; // "99.9% of counts"

// The level a fitted scale ends at: the lowest at which the counts from 0 up to it make up at
// least 999 in 1000 of all the histogram's counts; -1 for a histogram without counts. One far
// outlier then no longer squeezes the curve into the left end of the chart.
int FitLevel(const std::array<std::int64_t, 256> &Histogram);

// Rounds Num / Den, the quotient taken in single precision like all the engine's floating-point
// work, to the nearest integer (ties to even). Den must not be 0.
std::int64_t RoundQuotient(std::int64_t Num, std::int64_t Den);
