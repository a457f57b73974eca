// The difference histograms of the noise phase.
//
// Every magnitude of R, G, B and L* is at most 255 and every pair magnitude at most 510, so a part
// only counts magnitudes; the sums follow from the histograms at the end. Counting goes into
// 16-bit sub-histograms, one per neighbour direction, that are flushed into 64-bit totals before
// any of them can overflow.
#include <cstdlib>
#include <cstring>

#include "engine/untKalvPicJobData.h"

namespace {

constexpr int Dirs = 4;            // left, upper left, upper, upper right
constexpr int SingleBins = 256;    // R, G, B, L*
constexpr int PairBins = 512;      // RG, GB, BR: 0..510
constexpr int SingleSize = Dirs * SingleBins;
constexpr int PairSize = Dirs * PairBins;
constexpr int TotalSize = 4 * SingleSize + 3 * PairSize;
constexpr int Planes = 7;          // R, G, B, L, R-G, G-B, B-R

int Offset(int Channel, int Dir) {
  return Channel < 4 ? Channel * SingleSize + Dir * SingleBins
                     : 4 * SingleSize + (Channel - 4) * PairSize + Dir * PairBins;
}

void Planarize(const std::uint8_t *RGB, const std::uint8_t *L, int Width, std::int16_t *Out) {
  const size_t w = static_cast<size_t>(Width);
  std::int16_t *pr = Out, *pg = Out + w, *pb = Out + 2 * w, *pl = Out + 3 * w, *prg = Out + 4 * w,
               *pgb = Out + 5 * w, *pbr = Out + 6 * w;
  for (int x = 0; x < Width; ++x) {
    const int b = RGB[3 * x], g = RGB[3 * x + 1], r = RGB[3 * x + 2];
    pr[x] = static_cast<std::int16_t>(r);
    pg[x] = static_cast<std::int16_t>(g);
    pb[x] = static_cast<std::int16_t>(b);
    pl[x] = L[x];
    prg[x] = static_cast<std::int16_t>(r - g);
    pgb[x] = static_cast<std::int16_t>(g - b);
    pbr[x] = static_cast<std::int16_t>(b - r);
  }
}

inline int Abs(int v) { return v < 0 ? -v : v; }

} // namespace

TNoiseHistograms::TNoiseHistograms()
    : FSmall(static_cast<size_t>(TotalSize), 0), FTotal(static_cast<size_t>(TotalSize), 0) {}

void TNoiseHistograms::Flush() {
  for (size_t i = 0; i < FSmall.size(); ++i) FTotal[i] += FSmall[i];
  std::fill(FSmall.begin(), FSmall.end(), 0);
  FRowsSinceFlush = 0;
}

void TNoiseHistograms::AddRow(const std::uint8_t *PrevRGB, const std::uint8_t *PrevL, const std::uint8_t *CurRGB,
                              const std::uint8_t *CurL, int Width) {
  if (Width < 2) return;
  if (Width > 65536) throw EInvalidOperation(Format("Picture too wide to measure: %d pixels", Width));
  // Each bin of a sub-histogram gains at most Width - 1 per row.
  FRowsPerFlush = std::max(1, 65535 / (Width - 1));
  if (FRowsSinceFlush >= FRowsPerFlush) Flush();
  const size_t w = static_cast<size_t>(Width);
  // Planar copies of both rows; the previous call's current row is usually this call's previous
  // one, so its planes are kept.
  if (FPlanes.size() != 2 * Planes * w) {
    FPlanes.assign(2 * Planes * w, 0);
    FLastRGB = nullptr;
  }
  std::int16_t *prev = FPlanes.data() + (FCurHalf ^ 1) * Planes * w, *cur = FPlanes.data() + FCurHalf * Planes * w;
  if (PrevRGB == FLastRGB && PrevL == FLastL) {
    std::swap(prev, cur);
    FCurHalf ^= 1;
  } else {
    Planarize(PrevRGB, PrevL, Width, prev);
  }
  if (CurRGB == PrevRGB && CurL == PrevL) std::memcpy(cur, prev, Planes * w * sizeof(std::int16_t));
  else Planarize(CurRGB, CurL, Width, cur);
  FLastRGB = CurRGB;
  FLastL = CurL;

  // All channels at once for each pixel: an increment meets the same sub-histogram again only 28
  // increments later, long after the previous store has retired.
  std::uint16_t *hist = FSmall.data();
  std::uint16_t *h[Planes][Dirs];
  const std::int16_t *c[Planes], *p[Planes];
  for (int ch = 0; ch < Planes; ++ch) {
    for (int k = 0; k < Dirs; ++k) h[ch][k] = hist + Offset(ch, k);
    c[ch] = cur + static_cast<size_t>(ch) * w;
    p[ch] = prev + static_cast<size_t>(ch) * w;
  }
  const int last = Width - 1;
  for (int x = 1; x < last; ++x) {
#pragma GCC unroll 7
    for (int ch = 0; ch < Planes; ++ch) {
      const std::int16_t *cc = c[ch], *pp = p[ch];
      const int v = cc[x];
      ++h[ch][0][Abs(cc[x - 1] - v)];
      ++h[ch][1][Abs(pp[x - 1] - v)];
      ++h[ch][2][Abs(pp[x] - v)];
      ++h[ch][3][Abs(pp[x + 1] - v)];
    }
  }
  for (int ch = 0; ch < Planes; ++ch) {
    const int v = c[ch][last];
    ++h[ch][0][Abs(c[ch][last - 1] - v)];
    ++h[ch][1][Abs(p[ch][last - 1] - v)];
    ++h[ch][2][Abs(p[ch][last] - v)];
  }
  ++FRowsSinceFlush;
}

void TNoiseHistograms::AddTo(const std::array<TChannelNoiseData *, NoiseChannelCount> &Data) {
  Flush();
  for (int ch = 0; ch < NoiseChannelCount; ++ch) {
    TChannelNoiseData *d = Data[static_cast<size_t>(ch)];
    if (d == nullptr) continue;
    const int bins = ch < 4 ? SingleBins : PairBins;
    auto &out = d->HistogramData();
    for (int v = 0; v < bins; ++v) {
      std::int64_t n = 0;
      for (int k = 0; k < Dirs; ++k) n += FTotal[static_cast<size_t>(Offset(ch, k) + v)];
      if (n == 0) continue;
      d->NSum += n * v;
      d->NCount += n;
      out[static_cast<size_t>(std::min(v, 255))] += n;
    }
  }
}
