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
  FPlanes.resize(2 * Planes * w);
  std::int16_t *prev = FPlanes.data(), *cur = FPlanes.data() + Planes * w;
  Planarize(PrevRGB, PrevL, Width, prev);
  if (CurRGB == PrevRGB && CurL == PrevL) std::memcpy(cur, prev, Planes * w * sizeof(std::int16_t));
  else Planarize(CurRGB, CurL, Width, cur);

  std::uint16_t *hist = FSmall.data();
  for (int ch = 0; ch < Planes; ++ch) {
    const std::int16_t *c = cur + static_cast<size_t>(ch) * w, *p = prev + static_cast<size_t>(ch) * w;
    std::uint16_t *h0 = hist + Offset(ch, 0), *h1 = hist + Offset(ch, 1), *h2 = hist + Offset(ch, 2),
                  *h3 = hist + Offset(ch, 3);
    const int last = Width - 1;
    for (int x = 1; x < last; ++x) {
      const int v = c[x];
      ++h0[Abs(c[x - 1] - v)];
      ++h1[Abs(p[x - 1] - v)];
      ++h2[Abs(p[x] - v)];
      ++h3[Abs(p[x + 1] - v)];
    }
    const int v = c[last];
    ++h0[Abs(c[last - 1] - v)];
    ++h1[Abs(p[last - 1] - v)];
    ++h2[Abs(p[last] - v)];
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
