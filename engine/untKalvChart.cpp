#include "engine/untKalvChart.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "platform/untThreads.h"

namespace {

constexpr TColor ChartGridColor = clSilver;

std::string PctText(std::int64_t V) { return std::to_string(V) + "% "; }

void SetChartFont(TCanvas &C) {
  C.Font.Name = "Courier New";
  C.Font.Height = -11;
  C.Font.Color = clBlack; // not a system colour: the palette is not read off the main thread
}

} // namespace

const char *const FitScaleLabel = "99.9% of counts";

int FitLevel(const std::array<std::int64_t, 256> &Histogram) {
  std::int64_t total = 0;
  for (std::int64_t h : Histogram) total += std::max<std::int64_t>(0, h);
  if (total <= 0) return -1;
  // cum / total >= 999 / 1000 without rounding; a histogram holds at most 2^40 or so counts, far
  // from overflowing the products.
  std::int64_t cum = 0;
  for (int i = 0; i < 256; ++i) {
    cum += std::max<std::int64_t>(0, Histogram[static_cast<std::size_t>(i)]);
    if (cum * 1000 >= total * 999) return i;
  }
  return 255;
}

std::int64_t RoundQuotient(std::int64_t Num, std::int64_t Den) {
  const float q = static_cast<float>(static_cast<long double>(Num) / static_cast<long double>(Den));
  return static_cast<std::int64_t>(std::nearbyint(q));
}

TChartLayout ChartLayout(TCanvas &Canvas, int W, int H, std::uint8_t MaxLevel, std::int64_t MaxCount,
                         std::int64_t TotalCount) {
  TChartLayout L;
  SetChartFont(Canvas);
  L.TH = Canvas.TextHeight("\xC3\x80_");
  L.HasData = MaxCount > 0;
  L.MaxCount = L.HasData ? MaxCount : 100;
  L.TopPct = TotalCount == 0 ? 100 : RoundQuotient(L.MaxCount * 100, TotalCount);
  if (L.TopPct <= 0) {
    // The largest share rounds to 0 %: let the top stand for 1 % and scale the curves to it.
    L.TopPct = 1;
    L.MaxCount = std::max<std::int64_t>(1, RoundQuotient(TotalCount, 100));
  }
  L.MaxLevel = MaxLevel == 0 ? 1 : MaxLevel;
  L.LabelW = Canvas.TextWidth(PctText(L.TopPct));
  L.Right = W - 10;
  L.Top = L.TH / 2;
  L.PlotH = H - L.Top - L.TH - 5;
  L.PlotH1 = L.PlotH - 1;
  L.GridStep = L.TopPct > 50 ? 10 : (L.TopPct > 10 ? 5 : 1);
  std::int64_t v = L.TopPct;
  if (L.GridStep != 1) {
    v = (L.TopPct / 10) * 10;
    while (v + L.GridStep < L.TopPct) v += L.GridStep;
  }
  for (; v >= 0; v -= L.GridStep) L.GridValues.push_back(static_cast<int>(v));
  L.PlotW = L.Right - L.LabelW;
  L.AxisY = L.Top + L.PlotH;
  L.XLabelY = L.AxisY + 5;
  const int minGap = static_cast<int>(
      std::nearbyint(static_cast<float>(Canvas.TextWidth(std::to_string(L.MaxLevel))) * 1.3f));
  L.XStep = 1;
  // A plot too narrow for any gap would double for ever; past MaxLevel only level 0 is labelled
  // anyway, so the doubling stops there.
  while (L.XStep <= L.MaxLevel &&
         RoundQuotient(static_cast<std::int64_t>(L.PlotW - 1) * L.XStep, L.MaxLevel) <= minGap)
    L.XStep *= 2;
  return L;
}

void DrawChart(TBitmap24 &Bitmap, std::span<const TChartCurve> Curves, std::uint8_t MaxLevel,
               std::int64_t MaxCount, std::int64_t TotalCount, bool Fitted) {
  TCanvas &C = *Bitmap.Canvas();
  // The layout is made in the canvas's units (a high-density chart: Scale x Scale pixels each).
  const int W = static_cast<int>(std::lround(Bitmap.Width() / C.Scale())),
            H = static_cast<int>(std::lround(Bitmap.Height() / C.Scale()));
  if (W <= 0 || H <= 0) return;
  TLockGuard lock(C); // for the whole drawing, also when a step throws
  const TCanvas::TPaintSession session(C);
  const TColor p0 = C.Pen.Color;
  C.FillRect(Rect(0, 0, W, H));
  const TChartLayout L = ChartLayout(C, W, H, MaxLevel, MaxCount, TotalCount);
  const auto xOf = [&](std::int64_t I) {
    return static_cast<int>(RoundQuotient(static_cast<std::int64_t>(L.PlotW - 1) * I, L.MaxLevel)) +
           L.LabelW + 1;
  };

  // Vertical scale: the top label, the top line, then the grid from the first value below it.
  C.TextOut(0, 0, PctText(L.TopPct));
  int lastLabelY = 0;
  C.Pen.Color = p0;
  C.MoveTo(L.LabelW - 5, L.Top);
  C.LineTo(L.LabelW, L.Top);
  C.Pen.Color = ChartGridColor;
  C.LineTo(L.Right, L.Top);
  for (int v : L.GridValues) {
    const int yv =
        L.PlotH1 - static_cast<int>(RoundQuotient(static_cast<std::int64_t>(v) * L.PlotH1, L.TopPct));
    if (lastLabelY + L.TH <= yv) {
      lastLabelY = yv;
      const std::string s = PctText(v);
      C.TextOut(L.LabelW - C.TextWidth(s), yv, s);
    }
    C.Pen.Color = p0;
    C.MoveTo(L.LabelW - 5, yv + L.Top);
    C.LineTo(L.LabelW, yv + L.Top);
    if (v > 0) {
      C.Pen.Color = ChartGridColor;
      C.LineTo(L.Right, yv + L.Top);
    }
  }

  // Horizontal scale: labels where they fit, every tick and grid line. The maximum's label at the
  // right end is always drawn; a tick label that would not keep a space's width from it is left
  // out, so the two never read as one number.
  const int maxLeft = L.PlotW + L.LabelW - C.TextWidth(std::to_string(L.MaxLevel)) / 2 - C.TextWidth(" ");
  for (std::int64_t i = 0; i <= L.MaxLevel; i += L.XStep) {
    const int x = xOf(i);
    const std::string s = std::to_string(i);
    const int lw = C.TextWidth(s);
    const int nextX = std::min(xOf(i + L.XStep), L.PlotW + L.LabelW);
    if (x + lw < nextX && (i == L.MaxLevel || x - lw / 2 + lw < maxLeft)) C.TextOut(x - lw / 2, L.XLabelY, s);
    C.Pen.Color = p0;
    C.MoveTo(x, L.XLabelY);
    C.LineTo(x, L.AxisY);
    if (i > 0) {
      C.Pen.Color = ChartGridColor;
      C.LineTo(x, L.Top);
    }
  }
  const int xe = L.PlotW + L.LabelW;
  const std::string maxText = std::to_string(L.MaxLevel);
  C.TextOut(xe - C.TextWidth(maxText) / 2, L.XLabelY, maxText);
  C.Pen.Color = p0;
  C.MoveTo(xe, L.XLabelY - 1);
  C.LineTo(xe, L.AxisY - 1);
  C.Pen.Color = ChartGridColor;
  C.LineTo(xe, L.Top - 1);

  // The axes, the corner pixel included.
  C.Pen.Color = p0;
  C.MoveTo(L.LabelW, L.Top);
  C.LineTo(L.LabelW, L.AxisY);
  C.LineTo(L.Right, L.AxisY);
  C.SetPixel(L.Right, L.AxisY, p0);

  if (Fitted) {
    // On a white ground, so the top grid line does not run through it.
    const int tw = C.TextWidth(FitScaleLabel);
    C.FillRect(Rect(L.Right - tw - 2, 0, L.Right + 1, L.TH));
    C.TextOut(L.Right - tw, 0, FitScaleLabel);
  }

  if (L.HasData) {
    const auto yOf = [&](std::int64_t Count) {
      return L.Top + L.PlotH1 - static_cast<int>(RoundQuotient(Count * L.PlotH1, L.MaxCount));
    };
    for (const TChartCurve &curve : Curves) {
      C.Pen.Color = curve.Color;
      if (MaxLevel == 0) {
        // Everything at 0: a bar three pixels wide from the axis up to the share at 0.
        const int y = yOf(curve.Histogram[0]);
        for (int x = L.LabelW + 1; x <= L.LabelW + 3; ++x) {
          C.MoveTo(x, L.AxisY - 1);
          C.LineTo(x, y);
          C.SetPixel(x, y, curve.Color);
        }
        continue;
      }
      C.MoveTo(L.LabelW + 1, yOf(curve.Histogram[0]));
      for (int i = 1; i <= L.MaxLevel; ++i) C.LineTo(xOf(i), yOf(curve.Histogram[static_cast<size_t>(i)]));
      C.SetPixel(C.PenX(), C.PenY(), curve.Color);
    }
    C.Pen.Color = p0;
  }
}

void DrawChart(TBitmap24 &Bitmap, const TChannelNoiseArray &Channels, std::uint8_t MaxLevel,
               std::int64_t MaxCount, std::int64_t TotalCount, bool Fitted) {
  std::vector<TChartCurve> curves;
  curves.reserve(Channels.size());
  for (const TChannelNoiseData *c : Channels) {
    if (c == nullptr) continue;
    curves.push_back(TChartCurve{c->Color, c->HistogramData()});
  }
  DrawChart(Bitmap, curves, MaxLevel, MaxCount, TotalCount, Fitted);
}
