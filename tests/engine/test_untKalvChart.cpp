#include <gtest/gtest.h>

#include <QFont>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "engine/untKalvChart.h"

namespace {

// Pins the chart font so that text sizes do not depend on the desktop's settings.
class KalvChart : public ::testing::Test {
protected:
  void SetUp() override { SetFixedWidthFontForTests(QFont("DejaVu Sans Mono")); }
  void TearDown() override { SetFixedWidthFontForTests(std::nullopt); }

  static int TextW(const std::string &S) {
    TBitmap24 b;
    b.SetSize(4, 4);
    b.Canvas()->Font.Name = "Courier New";
    b.Canvas()->Font.Height = -11;
    return b.Canvas()->TextWidth(S);
  }
  static int TextH() {
    TBitmap24 b;
    b.SetSize(4, 4);
    b.Canvas()->Font.Name = "Courier New";
    b.Canvas()->Font.Height = -11;
    return b.Canvas()->TextHeight("X");
  }
  static TChartLayout Layout(int W, int H, int MaxLevel, std::int64_t MaxCount, std::int64_t Total) {
    TBitmap24 b;
    b.SetSize(W, H);
    return ChartLayout(*b.Canvas(), W, H, static_cast<std::uint8_t>(MaxLevel), MaxCount, Total);
  }
  static TColor Px(TBitmap24 &B, int X, int Y) { return B.Canvas()->Pixel(X, Y); }
  // Pixels of a row in [X0, X1) that have colour C.
  static int CountRow(TBitmap24 &B, int Y, int X0, int X1, TColor C) {
    int n = 0;
    for (int x = X0; x < X1; ++x) n += Px(B, x, Y) == C;
    return n;
  }
  static int NonWhite(TBitmap24 &B, int X0, int Y0, int X1, int Y1, int SkipX) {
    int n = 0;
    for (int y = Y0; y < Y1; ++y)
      for (int x = X0; x < X1; ++x)
        if (x != SkipX && Px(B, x, y) != clWhite) ++n;
    return n;
  }
};

std::vector<int> Range(int From, int Step) {
  std::vector<int> v;
  for (int i = From; i >= 0; i -= Step) v.push_back(i);
  return v;
}

TEST_F(KalvChart, VerticalGridForTypicalTopPercentages) {
  struct Case {
    std::int64_t MaxCount, Total, TopPct;
    int Step;
    std::vector<int> Grid;
  };
  const std::vector<Case> cases = {
      {37, 100, 37, 5, Range(35, 5)},  {600, 1000, 60, 10, Range(60, 10)},
      {8, 100, 8, 1, Range(8, 1)},     {25, 100, 25, 5, Range(20, 5)},
      {1, 3, 33, 5, Range(30, 5)},     {1, 1, 100, 10, Range(100, 10)},
  };
  const int W = 435, H = 155;
  const int th = TextH();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.TopPct);
    TBitmap24 b;
    b.SetSize(W, H);
    DrawChart(b, std::span<const TChartCurve>{}, 255, c.MaxCount, c.Total);
    const TChartLayout L = Layout(W, H, 255, c.MaxCount, c.Total);
    EXPECT_EQ(L.TopPct, c.TopPct);
    EXPECT_EQ(L.GridStep, c.Step);
    EXPECT_EQ(L.GridValues, c.Grid);
    const int labelW = TextW(std::to_string(c.TopPct) + "% ");
    ASSERT_EQ(L.LabelW, labelW);
    const int top = th / 2, plotH1 = H - top - th - 5 - 1;
    // The top line: black tick left of the axis, silver to the right end.
    EXPECT_EQ(Px(b, labelW - 5, top), clBlack);
    EXPECT_EQ(Px(b, labelW - 1, top), clBlack);
    EXPECT_GT(CountRow(b, top, labelW + 1, W - 10, clSilver), (W - 10 - labelW) * 8 / 10);
    for (int v : c.Grid) {
      const int y = top + plotH1 - static_cast<int>(std::nearbyint(double(v) * plotH1 / double(c.TopPct)));
      SCOPED_TRACE(v);
      EXPECT_EQ(Px(b, labelW - 5, y), clBlack);
      EXPECT_EQ(Px(b, labelW - 1, y), clBlack);
      EXPECT_EQ(Px(b, labelW - 6, y) == clBlack, false);
      if (v > 0) {
        EXPECT_GT(CountRow(b, y, labelW + 1, W - 10, clSilver), (W - 10 - labelW) * 8 / 10);
      } else {
        // 0 is the horizontal axis itself.
        EXPECT_EQ(CountRow(b, y + 1, labelW, W - 9, clBlack), W - 9 - labelW);
      }
      // The row midway to the next grid line carries only the vertical grid.
      if (v > 0) {
        const int yMid = top + plotH1 -
                         static_cast<int>(std::nearbyint((v - c.Step / 2.0) * plotH1 / double(c.TopPct)));
        if (c.Step >= 5) {
          EXPECT_LT(CountRow(b, yMid, labelW + 1, W - 10, clSilver), 40);
        }
      }
    }
    // The first grid value below the top is labelled unless it lies too close to the top label.
    const int yFirst = plotH1 - static_cast<int>(std::nearbyint(double(c.Grid[0]) * plotH1 / double(c.TopPct)));
    const int firstLabelInk = NonWhite(b, 0, yFirst, labelW - 5, yFirst + th, -1);
    if (yFirst >= th) {
      EXPECT_GT(firstLabelInk, 0);
    } else {
      EXPECT_EQ(NonWhite(b, 0, th, labelW - 5, yFirst + th, -1), 0);
    }
  }
}

TEST_F(KalvChart, HorizontalLabelsSkipWhereTheyWouldRunIntoTheNextTick) {
  const int H = 200;
  const std::int64_t maxCount = 30, total = 100; // TopPct 30
  const int labelW = TextW("30% ");
  const int th = TextH(), top = th / 2, plotH = H - top - th - 5, axisY = top + plotH, xLabelY = axisY + 5;
  // 203 on 390: the last tick label (192) would end right at the end label "203".
  struct Case {
    int MaxLevel, PlotW, Skipped;
  };
  for (const Case &c : {Case{255, 200, 0}, Case{200, 200, 1}, Case{203, 390, 1}}) {
    const int maxLevel = c.MaxLevel, plotW = c.PlotW;
    const int W = plotW + labelW + 10;
    SCOPED_TRACE(maxLevel);
    TBitmap24 b;
    b.SetSize(W, H);
    DrawChart(b, std::span<const TChartCurve>{}, static_cast<std::uint8_t>(maxLevel), maxCount, total);
    const TChartLayout L = Layout(W, H, maxLevel, maxCount, total);
    ASSERT_EQ(L.PlotW, plotW);
    const int minGap = static_cast<int>(std::nearbyint(TextW(std::to_string(maxLevel)) * 1.3));
    const auto xOf = [&](int I) { return static_cast<int>(std::nearbyint((plotW - 1.0) * I / maxLevel)) + labelW + 1; };
    int xstep = 1;
    while (static_cast<int>(std::nearbyint((plotW - 1.0) * xstep / maxLevel)) <= minGap) xstep *= 2;
    EXPECT_EQ(L.XStep, xstep);
    EXPECT_GT(xstep, 1);
    int skipped = 0;
    for (int i = 0; i <= maxLevel; i += xstep) {
      SCOPED_TRACE(i);
      const int x = xOf(i);
      // Every tick below the axis is black, every grid line above it silver. (Its lowest pixel
      // may lie under the end label's cell.)
      EXPECT_EQ(Px(b, x, xLabelY - 1), clBlack);
      EXPECT_EQ(Px(b, x, axisY + 2), clBlack);
      if (i > 0) {
        EXPECT_EQ(Px(b, x, (top + axisY) / 2), clSilver);
      }
      const int lw = TextW(std::to_string(i));
      const int nextX = std::min(xOf(i + xstep), plotW + labelW);
      const int endLeft = plotW + labelW - TextW(std::to_string(maxLevel)) / 2;
      const int ink = NonWhite(b, x - lw / 2, xLabelY, x - lw / 2 + lw, xLabelY + th, x);
      if (x + lw < nextX && x - lw / 2 + lw < endLeft - TextW(" ")) {
        EXPECT_GT(ink, 0);
      } else {
        ++skipped;
        // Only the end label (if it reaches this far) may leave ink here.
        EXPECT_EQ(NonWhite(b, x - lw / 2, xLabelY, std::min(x - lw / 2 + lw, endLeft), xLabelY + th, x), 0);
      }
    }
    EXPECT_EQ(skipped, c.Skipped);
    // The end: its label always, its tick one pixel higher, its grid line up to the top line.
    const int xe = plotW + labelW;
    const int ew = TextW(std::to_string(maxLevel));
    EXPECT_GT(NonWhite(b, xe - ew / 2, xLabelY, xe - ew / 2 + ew, xLabelY + th, xe), 0);
    EXPECT_EQ(Px(b, xe, xLabelY - 1), clBlack);
    EXPECT_EQ(Px(b, xe, top), clSilver);
    EXPECT_EQ(Px(b, xe, axisY), clBlack); // the axis' end pixel
  }
}

TEST_F(KalvChart, NoDataShowsTheGridForOneHundredPercentAndNoCurve) {
  const int W = 300, H = 180;
  TChartCurve red;
  red.Color = clRed;
  red.Histogram.fill(5);
  for (std::int64_t total : {0, 1}) {
    SCOPED_TRACE(total);
    TBitmap24 b;
    b.SetSize(W, H);
    std::vector<TChartCurve> curves{red};
    DrawChart(b, curves, 255, 0, total);
    const TChartLayout L = Layout(W, H, 255, 0, total);
    EXPECT_FALSE(L.HasData);
    // MaxCount is taken as 100: 100 % without counts, 100 * 100 / 1 with one.
    EXPECT_EQ(L.TopPct, total == 0 ? 100 : 10000);
    EXPECT_EQ(L.GridStep, 10);
    int colours = 0;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const TColor c = Px(b, x, y);
        EXPECT_NE(c, clRed);
        colours += c == clSilver;
      }
    EXPECT_GT(colours, 1000);
    EXPECT_EQ(Px(b, L.LabelW, L.AxisY), clBlack);
    EXPECT_EQ(Px(b, L.LabelW, L.Top), clBlack);
  }
}

TEST_F(KalvChart, CurvesFollowTheHistogramInChannelOrder) {
  const int W = 300, H = 200;
  TChartCurve a, c;
  a.Color = clRed;
  a.Histogram[0] = 50;
  a.Histogram[1] = 100;
  c.Color = clBlue; // drawn later: lies on top where both meet
  c.Histogram[0] = 50;
  c.Histogram[1] = 100;
  TBitmap24 b;
  b.SetSize(W, H);
  std::vector<TChartCurve> curves{a, c};
  DrawChart(b, curves, 4, 100, 200);
  const TChartLayout L = Layout(W, H, 4, 100, 200);
  EXPECT_EQ(L.TopPct, 50);
  const int x0 = L.LabelW + 1;
  const int x1 = static_cast<int>(std::nearbyint((L.PlotW - 1) / 4.0)) + L.LabelW + 1;
  EXPECT_EQ(Px(b, x0, L.Top + L.PlotH1 - static_cast<int>(std::nearbyint(L.PlotH1 / 2.0))), clBlue);
  EXPECT_EQ(Px(b, x1, L.Top), clBlue);
  // Down to 0 at level 2 and along the bottom to the last point, which is set too.
  EXPECT_EQ(Px(b, L.Right, L.Top + L.PlotH1), clBlue);
  EXPECT_EQ(Px(b, (x1 + L.Right) / 2 + 20, L.Top + L.PlotH1), clBlue);
  int red = 0;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) red += Px(b, x, y) == clRed;
  EXPECT_EQ(red, 0);
}

TEST_F(KalvChart, DegenerateScalesAndSizesDrawWithoutFailing) {
  TChartCurve g;
  g.Color = clGreen;
  g.Histogram[0] = 1000;
  std::vector<TChartCurve> curves{g};
  {
    // Every difference 0 (a flat patch): the axis runs 0 .. 1 and the curve is a bar at 0 from
    // the axis to the top, not a line down to the empty level 1.
    TBitmap24 b;
    b.SetSize(250, 150);
    DrawChart(b, curves, 0, 1000, 1000);
    const TChartLayout L = Layout(250, 150, 0, 1000, 1000);
    EXPECT_EQ(L.MaxLevel, 1);
    EXPECT_EQ(L.TopPct, 100);
    for (int y = L.Top; y < L.AxisY; ++y) EXPECT_EQ(Px(b, L.LabelW + 2, y), clGreen) << y;
    int green = 0;
    for (int y = 0; y < 150; ++y)
      for (int x = L.LabelW + 4; x < 250; ++x) green += Px(b, x, y) == clGreen;
    EXPECT_EQ(green, 0);
  }
  {
    // The largest share is 0.1 %: the top stands for 1 %, the curve peaks at a tenth of it.
    g.Histogram[0] = 10;
    curves = {g};
    TBitmap24 b;
    b.SetSize(250, 150);
    DrawChart(b, curves, 255, 10, 10000);
    const TChartLayout L = Layout(250, 150, 255, 10, 10000);
    EXPECT_EQ(L.TopPct, 1);
    EXPECT_EQ(L.MaxCount, 100);
    EXPECT_EQ(L.GridValues, (std::vector<int>{1, 0}));
    EXPECT_EQ(Px(b, L.LabelW + 1, L.Top + L.PlotH1 - static_cast<int>(std::nearbyint(L.PlotH1 / 10.0))), clGreen);
  }
  // Tiny and lopsided pictures: nothing to check but that drawing ends.
  for (auto [w, h] : std::vector<std::pair<int, int>>{{1, 1}, {3, 200}, {400, 2}, {12, 12}, {2000, 30}}) {
    TBitmap24 b;
    b.SetSize(w, h);
    EXPECT_NO_THROW(DrawChart(b, curves, 255, 10, 100));
    EXPECT_EQ(b.Width(), w);
  }
  TBitmap24 empty;
  EXPECT_NO_THROW(DrawChart(empty, curves, 255, 10, 100));
}

} // namespace

namespace {
// "fit to 99.9% of counts": the scale ends where 999 in 1000 of the counts lie, and the chart
// says so.
TEST_F(KalvChart, FittedScaleEndsAtTheLevelOfNearlyAllCountsAndIsLabelled) {
  std::array<std::int64_t, 256> h{};
  EXPECT_EQ(FitLevel(h), -1);
  h[0] = 999;
  h[97] = 1; // one outlier
  EXPECT_EQ(FitLevel(h), 0);
  h[0] = 998;
  EXPECT_EQ(FitLevel(h), 97);
  h = {};
  for (int i = 0; i < 10; ++i) h[static_cast<std::size_t>(i)] = 100000;
  h[97] = 1;
  EXPECT_EQ(FitLevel(h), 9);

  TChartCurve c{clRed, h};
  std::vector<TChartCurve> curves{c};
  TBitmap24 plain, fitted;
  plain.SetSize(320, 160);
  fitted.SetSize(320, 160);
  DrawChart(plain, curves, 9, 100000, 1000001);
  DrawChart(fitted, curves, 9, 100000, 1000001, true);
  const TChartLayout L = Layout(320, 160, 9, 100000, 1000001);
  const int labelX = L.Right - TextW(FitScaleLabel);
  EXPECT_EQ(NonWhite(plain, labelX, 0, L.Right, L.Top, -1), 0);
  EXPECT_GT(NonWhite(fitted, labelX, 0, L.Right, L.Top, -1), 20);
}

TEST_F(KalvChart, ChannelResultsDrawLikeTheirCurves) {
  TChannelNoiseData r(clRed), g(clGreen);
  for (int i = 0; i < 40; ++i) r.AddNoise(i % 7);
  for (int i = 0; i < 40; ++i) g.AddNoise(i % 3);
  TChannelNoiseArray channels{&r, nullptr, &g};
  std::vector<TChartCurve> curves{{clRed, r.HistogramData()}, {clGreen, g.HistogramData()}};
  TBitmap24 a, b;
  a.SetSize(320, 160);
  b.SetSize(320, 160);
  DrawChart(a, channels, 6, 14, 40);
  DrawChart(b, curves, 6, 14, 40);
  EXPECT_EQ(a.Image(), b.Image());
  int green = 0;
  for (int y = 0; y < 160; ++y)
    for (int x = 0; x < 320; ++x) green += Px(a, x, y) == clGreen;
  EXPECT_GT(green, 100);
}
} // namespace

// A chart for a high-density screen (canvas scale 2) is the same chart with every pixel a 2 x 2
// block, the end pixels of the axis and the curves included; only the label text is rendered
// anew at the higher resolution.
TEST_F(KalvChart, ScaledChartIsTheSameChartInBlocks) {
  TChartCurve red, blue;
  red.Color = clRed;
  blue.Color = clBlue;
  for (int i = 0; i < 40; ++i) {
    red.Histogram[static_cast<size_t>(i)] = 1000 / (i + 1);
    blue.Histogram[static_cast<size_t>(i)] = 40 * (40 - i);
  }
  const std::vector<TChartCurve> curves{red, blue};
  constexpr int W = 220, H = 130;
  TBitmap24 one, two;
  one.SetSize(W, H);
  two.SetSize(2 * W, 2 * H);
  two.Canvas()->SetScale(2);
  DrawChart(one, curves, 39, 1000, 12000);
  DrawChart(two, curves, 39, 1000, 12000);
  const TChartLayout L = Layout(W, H, 39, 1000, 12000);
  int compared = 0;
  for (int y = L.TH; y < L.XLabelY; ++y)
    for (int x = L.LabelW; x < W; ++x) {
      const std::uint8_t *p = one.ScanLine(y) + 3 * x;
      for (int dy = 0; dy < 2; ++dy)
        for (int dx = 0; dx < 2; ++dx) {
          const std::uint8_t *q = two.ScanLine(2 * y + dy) + 3 * (2 * x + dx);
          ASSERT_TRUE(p[0] == q[0] && p[1] == q[1] && p[2] == q[2]) << x << "," << y;
        }
      ++compared;
    }
  EXPECT_GT(compared, W * H / 2);
  // Pixel reads in the drawing's units as well.
  EXPECT_EQ(two.Canvas()->Pixel(L.Right, L.AxisY), one.Canvas()->Pixel(L.Right, L.AxisY));
}
