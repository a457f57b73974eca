// The difference histograms of the noise phase.
//
// Every magnitude of R, G, B and L* is at most 255 and every pair magnitude at most 510. The vector
// code computes the four neighbour magnitudes of 16 pixels at once, sums them exactly and packs
// two magnitudes (each clamped to 255, as the histogram folds them) into one 16-bit index; the
// counting loop then takes 14 counts per pixel. Counters are 32-bit and emptied into 64-bit totals
// long before they could overflow.
//
// Large parts count most pairs in fewer stores: all six magnitudes of R, G, B and the pairs are
// functions of a neighbour pair's three signed differences, so where those are small (as noise
// mostly is) one 16-bit code of the three counts them all, and L* takes two magnitudes per count.
// That is 6 counts per pixel. The few pairs whose differences do not fit count one by one; a block
// with many of them (a detailed area) counts the 14 way instead.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <immintrin.h>
#include <iterator>
#include <new>
#include <utility>

#include "engine/untKalvPicJobData.h"
#include "platform/untBitmaps.h"

#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

constexpr int Planes = 7;          // R, G, B, L, R-G, G-B, B-R
constexpr int Bins = 256;
constexpr int JointBins = 65536;
// Histograms a multiple of 4 KiB apart put their equal bins in one cache set (a flat area then
// thrashes the set); an odd number of cache lines between them spreads the sets.
constexpr int JointStride = JointBins + 17 * 16;
constexpr int Block = 512;         // pixels per index block
// The small histograms come four times, one per neighbour: a pixel's four counts of a channel,
// often of one value, then never wait on each other's stores.
constexpr int SmallCopies = 4;
constexpr size_t SmallStride = static_cast<size_t>(Planes) * Bins;
// Counters are emptied after this many pixels: a 256-bin counter gains at most 4 per pixel.
constexpr std::int64_t FlushPixels = std::int64_t{1} << 29;
// The joint block: the seven 14-way histograms, then the six of the coded way (four of codes, one
// per neighbour, and two of L* magnitude pairs), each visited once per pixel.
constexpr int FastTables = 6;
constexpr size_t WideBytes = static_cast<size_t>(Planes) * JointStride * sizeof(std::uint32_t);
constexpr size_t FastBytes = static_cast<size_t>(FastTables) * JointStride * sizeof(std::uint32_t);
constexpr size_t JointBytes = WideBytes + FastBytes;

// A neighbour pair's code: the signed differences of G (7 bits, -63 .. 63), of R - G (4 bits,
// -8 .. 7) and of G - B (5 bits, -16 .. 15). A pair outside that range gets NoCode, whose G field
// (-64) no pair has; its bins are never read.
constexpr std::uint16_t NoCode = 0x8000;
inline bool Codable(int dG, int dRG, int dGB) {
  return dG >= -63 && dG <= 63 && dRG >= -8 && dRG <= 7 && dGB >= -16 && dGB <= 15;
}
inline std::uint16_t CodeOf(int dR, int dG, int dB) {
  const int dRG = dR - dG, dGB = dG - dB;
  if (!Codable(dG, dRG, dGB)) return NoCode;
  return static_cast<std::uint16_t>((dG & 127) << 9 | (dRG & 15) << 5 | (dGB & 31));
}
// Blocks counted the 14 way: more than one pair in sixteen without a code (N pixels, 4N pairs).
inline bool TooManyUncoded(int Uncoded, int Pixels) { return 4 * Uncoded > Pixels; }
constexpr int SkipAfterDetail = 7;

// Planes of one row: R, G, B, L and the differences R-G, G-B, B-R, as 16-bit values.
void PlanarizeTail(const std::uint8_t *RGB, const std::uint8_t *L, int First, int Width, std::int16_t *Out) {
  const size_t w = static_cast<size_t>(Width);
  std::int16_t *pr = Out, *pg = Out + w, *pb = Out + 2 * w, *pl = Out + 3 * w, *prg = Out + 4 * w,
               *pgb = Out + 5 * w, *pbr = Out + 6 * w;
  for (int x = First; x < Width; ++x) {
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

void PlanarizePortable(const std::uint8_t *RGB, const std::uint8_t *L, int Width, std::int16_t *Out) {
  PlanarizeTail(RGB, L, 0, Width, Out);
}

// Sixteen pixels at a time: four loads of four pixels each, sorted into blue, green and red bytes.
// The last load reads four bytes past the sixteen pixels, so the final pixels go the scalar way.
__attribute__((target("avx2"))) void PlanarizeAVX2(const std::uint8_t *RGB, const std::uint8_t *L, int Width,
                                                   std::int16_t *Out) {
  const size_t w = static_cast<size_t>(Width);
  std::int16_t *pr = Out, *pg = Out + w, *pb = Out + 2 * w, *pl = Out + 3 * w, *prg = Out + 4 * w,
               *pgb = Out + 5 * w, *pbr = Out + 6 * w;
  const __m128i sort = _mm_setr_epi8(0, 3, 6, 9, 1, 4, 7, 10, 2, 5, 8, 11, -1, -1, -1, -1);
  int x = 0;
  for (; 3 * (x + 16) + 4 <= 3 * Width; x += 16) {
    const std::uint8_t *p = RGB + 3 * static_cast<size_t>(x);
    const __m128i t0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), sort);
    const __m128i t1 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 12)), sort);
    const __m128i t2 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 24)), sort);
    const __m128i t3 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 36)), sort);
    const __m128i bg01 = _mm_unpacklo_epi32(t0, t1), bg23 = _mm_unpacklo_epi32(t2, t3); // B B G G
    const __m128i r01 = _mm_unpackhi_epi32(t0, t1), r23 = _mm_unpackhi_epi32(t2, t3);   // R R - -
    const __m256i b = _mm256_cvtepu8_epi16(_mm_unpacklo_epi64(bg01, bg23));
    const __m256i g = _mm256_cvtepu8_epi16(_mm_unpackhi_epi64(bg01, bg23));
    const __m256i r = _mm256_cvtepu8_epi16(_mm_unpacklo_epi64(r01, r23));
    const __m256i l = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(L + x)));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(pr + x), r);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(pg + x), g);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(pb + x), b);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(pl + x), l);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(prg + x), _mm256_sub_epi16(r, g));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(pgb + x), _mm256_sub_epi16(g, b));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(pbr + x), _mm256_sub_epi16(b, r));
  }
  PlanarizeTail(RGB, L, x, Width, Out);
}

inline int Abs(int v) { return v < 0 ? -v : v; }
inline int Clamp255(int v) { return v > 255 ? 255 : v; }
// The six magnitudes of a pair with signed differences dR, dG, dB: Add(channel, magnitude).
template <class F> inline void ForEachRGBMagnitude(int dR, int dG, int dB, F &&Add) {
  Add(ncR, Abs(dR));
  Add(ncG, Abs(dG));
  Add(ncB, Abs(dB));
  Add(ncRG, Abs(dR - dG));
  Add(ncGB, Abs(dG - dB));
  Add(ncBR, Abs(dB - dR));
}

typedef std::int16_t v16h __attribute__((vector_size(32)));
typedef std::uint16_t v16u __attribute__((vector_size(32)));
typedef std::int32_t v16i __attribute__((vector_size(64)));

// Two magnitudes as one index, low byte and high byte. The joint histograms live on huge pages,
// so the rows a noisy area touches cost no TLB misses, and packing stays two operations.
inline unsigned Pack(unsigned a, unsigned b) { return a | b << 8; }
__attribute__((always_inline)) inline v16u Pack(v16u a, v16u b) { return a | (b << 8); }
__attribute__((always_inline)) inline v16h Magnitude(v16h a, v16h v) {
  const v16h d = a - v;
  return d < 0 ? -d : d;
}
__attribute__((always_inline)) inline v16u Clamp255(v16h d) { return (v16u)(d > 255 ? (v16h{} + 255) : d); }

// Indices of pixels First .. First + N - 1 (all with four neighbours) of one channel plane: Out01
// packs the left and upper-left magnitudes, Out23 the upper and upper-right ones. Returns the sum
// of all four magnitudes; Seen gains every index's bits (each byte then bounds its magnitudes).
__attribute__((always_inline)) inline std::int64_t IndexBody(const std::int16_t *C, const std::int16_t *P,
                                                             int First, int N, std::uint16_t *Out01,
                                                             std::uint16_t *Out23, std::uint16_t &Seen) {
  v16i acc = {};
  v16h acc16 = {};
  v16u seen = {};
  int inAcc16 = 0;
  int i = 0;
  for (; i + 16 <= N; i += 16) {
    const int x = First + i;
    v16h v, l, ul, u, ur;
    std::memcpy(&v, C + x, sizeof v);
    std::memcpy(&l, C + x - 1, sizeof l);
    std::memcpy(&ul, P + x - 1, sizeof ul);
    std::memcpy(&u, P + x, sizeof u);
    std::memcpy(&ur, P + x + 1, sizeof ur);
    const v16h d0 = Magnitude(l, v), d1 = Magnitude(ul, v), d2 = Magnitude(u, v), d3 = Magnitude(ur, v);
    // A lane gains at most 2040 per step: sixteen steps fit in 16 bits.
    acc16 += d0 + d1 + d2 + d3;
    if (++inAcc16 == 16) {
      acc += __builtin_convertvector(acc16, v16i);
      acc16 = v16h{};
      inAcc16 = 0;
    }
    const v16u i01 = Pack(Clamp255(d0), Clamp255(d1)), i23 = Pack(Clamp255(d2), Clamp255(d3));
    seen |= i01 | i23;
    std::memcpy(Out01 + i, &i01, sizeof i01);
    std::memcpy(Out23 + i, &i23, sizeof i23);
  }
  acc += __builtin_convertvector(acc16, v16i);
  std::int64_t sum = 0;
  unsigned bits = 0;
  for (int k = 0; k < 16; ++k) {
    sum += acc[k];
    bits |= seen[k];
  }
  for (; i < N; ++i) {
    const int x = First + i, v = C[x];
    const int d0 = Abs(C[x - 1] - v), d1 = Abs(P[x - 1] - v), d2 = Abs(P[x] - v), d3 = Abs(P[x + 1] - v);
    sum += d0 + d1 + d2 + d3;
    Out01[i] = static_cast<std::uint16_t>(Pack(Clamp255(d0), Clamp255(d1)));
    Out23[i] = static_cast<std::uint16_t>(Pack(Clamp255(d2), Clamp255(d3)));
    bits |= Out01[i] | Out23[i];
  }
  Seen = static_cast<std::uint16_t>(Seen | bits);
  return sum;
}

using TIndexBlock = std::int64_t (*)(const std::int16_t *, const std::int16_t *, int, int, std::uint16_t *,
                                     std::uint16_t *, std::uint16_t &);

std::int64_t IndexPortable(const std::int16_t *C, const std::int16_t *P, int First, int N, std::uint16_t *Out01,
                           std::uint16_t *Out23, std::uint16_t &Seen) {
  return IndexBody(C, P, First, N, Out01, Out23, Seen);
}

__attribute__((target("avx2"))) std::int64_t IndexAVX2(const std::int16_t *C, const std::int16_t *P, int First,
                                                        int N, std::uint16_t *Out01, std::uint16_t *Out23,
                                                        std::uint16_t &Seen) {
  return IndexBody(C, P, First, N, Out01, Out23, Seen);
}

// The coded way for pixels First .. First + N - 1 (all with four neighbours) of the planes C
// (current row) and P (previous row), W apart: Out gets six streams of Block, the codes of the
// left, upper-left, upper and upper-right pairs, then the L* magnitudes of the first two and of
// the last two packed. Returns the number of pairs without a code.
__attribute__((always_inline)) inline int FastBody(const std::int16_t *C, const std::int16_t *P, size_t W, int First,
                                                   int N, std::uint16_t *Out) {
  const std::int16_t *cr = C, *cg = C + W, *cb = C + 2 * W, *cl = C + 3 * W;
  const std::int16_t *pr = P, *pg = P + W, *pb = P + 2 * W, *pl = P + 3 * W;
  v16h uncoded = {};
  int i = 0;
  for (; i + 16 <= N; i += 16) {
    const int x = First + i;
    v16h r, g, b, l;
    std::memcpy(&r, cr + x, sizeof r);
    std::memcpy(&g, cg + x, sizeof g);
    std::memcpy(&b, cb + x, sizeof b);
    std::memcpy(&l, cl + x, sizeof l);
    v16h lm[4];
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
      // Left, upper-left, upper, upper-right.
      const int nx = k == 0 ? x - 1 : x + k - 2;
      const std::int16_t *nr = k == 0 ? cr : pr, *ng = k == 0 ? cg : pg, *nb = k == 0 ? cb : pb,
                         *nl = k == 0 ? cl : pl;
      v16h vr, vg, vb, vl;
      std::memcpy(&vr, nr + nx, sizeof vr);
      std::memcpy(&vg, ng + nx, sizeof vg);
      std::memcpy(&vb, nb + nx, sizeof vb);
      std::memcpy(&vl, nl + nx, sizeof vl);
      const v16h dR = r - vr, dG = g - vg, dB = b - vb, dRG = dR - dG, dGB = dG - dB;
      const v16h ok = ((v16u)(dG + 63) <= 126) & ((v16u)(dRG + 8) <= 15) & ((v16u)(dGB + 16) <= 31);
      uncoded += ok + 1;
      const v16u code = (v16u)(dG & 127) << 9 | (v16u)(dRG & 15) << 5 | (v16u)(dGB & 31);
      const v16u out = ok ? code : (v16u{} + NoCode);
      std::memcpy(Out + static_cast<size_t>(k) * Block + i, &out, sizeof out);
      lm[k] = Magnitude(vl, l);
    }
    const v16u l01 = Pack((v16u)lm[0], (v16u)lm[1]), l23 = Pack((v16u)lm[2], (v16u)lm[3]);
    std::memcpy(Out + 4 * static_cast<size_t>(Block) + i, &l01, sizeof l01);
    std::memcpy(Out + 5 * static_cast<size_t>(Block) + i, &l23, sizeof l23);
  }
  int count = 0;
  for (int k = 0; k < 16; ++k) count += uncoded[k];
  for (; i < N; ++i) {
    const int x = First + i;
    int lm[4];
    for (int k = 0; k < 4; ++k) {
      const int nx = k == 0 ? x - 1 : x + k - 2;
      const std::int16_t *n = k == 0 ? C : P;
      const std::uint16_t code = CodeOf(cr[x] - n[nx], cg[x] - n[W + nx], cb[x] - n[2 * W + nx]);
      count += code == NoCode;
      Out[static_cast<size_t>(k) * Block + i] = code;
      lm[k] = Abs(cl[x] - n[3 * W + nx]);
    }
    Out[4 * static_cast<size_t>(Block) + i] = static_cast<std::uint16_t>(Pack(lm[0], lm[1]));
    Out[5 * static_cast<size_t>(Block) + i] = static_cast<std::uint16_t>(Pack(lm[2], lm[3]));
  }
  return count;
}

using TFastBlock = int (*)(const std::int16_t *, const std::int16_t *, size_t, int, int, std::uint16_t *);

int FastPortable(const std::int16_t *C, const std::int16_t *P, size_t W, int First, int N, std::uint16_t *Out) {
  return FastBody(C, P, W, First, N, Out);
}

__attribute__((target("avx2"))) int FastAVX2(const std::int16_t *C, const std::int16_t *P, size_t W, int First,
                                             int N, std::uint16_t *Out) {
  return FastBody(C, P, W, First, N, Out);
}

using TPlanarize = void (*)(const std::uint8_t *, const std::uint8_t *, int, std::int16_t *);

TPlanarize ChoosePlanarize() { return ActiveSimdPath() == spAVX2 ? PlanarizeAVX2 : PlanarizePortable; }

// Each thread keeps the joint histograms of its last part: the part runners live from job to job,
// and a block taken over is not faulted in afresh (2 MiB a part). A kept block is all zero: whoever
// gives it back clears what it counted.
struct TJointCache {
  std::uint32_t *Block = nullptr;
  ~TJointCache() { std::free(Block); }
};
thread_local TJointCache GJointCache;

std::uint32_t *TakeJoint() {
  std::uint32_t *block = std::exchange(GJointCache.Block, nullptr);
  if (block == nullptr) {
    block = static_cast<std::uint32_t *>(AllocateHugePages(JointBytes));
    if (block == nullptr) throw std::bad_alloc();
    std::memset(block, 0, JointBytes);
  }
  return block;
}

void GiveBackJoint(std::uint32_t *Block) {
  if (Block == nullptr) return;
  if (GJointCache.Block == nullptr) GJointCache.Block = Block;
  else std::free(Block);
}

TIndexBlock ChooseIndexBlock() {
  return ActiveSimdPath() == spAVX2 ? IndexAVX2 : IndexPortable;
}

TFastBlock ChooseFastBlock() { return ActiveSimdPath() == spAVX2 ? FastAVX2 : FastPortable; }

} // namespace

TNoiseHistograms::TNoiseHistograms(std::int64_t JointAfter)
    : FJointAfter(JointAfter), FSmall(SmallCopies * SmallStride, 0),
      FTotal(static_cast<size_t>(Planes * Bins), 0) {}

TNoiseHistograms::~TNoiseHistograms() { ReturnJoint(); }

void TNoiseHistograms::ReturnJoint() {
  ClearWide();
  ClearFast();
  GiveBackJoint(FJoint);
  FJoint = nullptr;
}

void TNoiseHistograms::ClearFast() {
  if (FJoint != nullptr && FFastUsed) std::memset(FJoint + static_cast<size_t>(Planes) * JointStride, 0, FastBytes);
  FFastUsed = false;
}

void TNoiseHistograms::ClearWide() {
  if (FJoint == nullptr || !FWideUsed) return;
  for (int ch = 0; ch < Planes; ++ch) {
    std::uint32_t *j = FJoint + static_cast<size_t>(ch) * JointStride;
    const unsigned aMax = FWideSeen[ch] & 0xFF, bMax = FWideSeen[ch] >> 8;
    for (unsigned b = 0; b <= bMax; ++b) std::memset(j + Pack(0, b), 0, sizeof(std::uint32_t) * (aMax + 1));
    FWideSeen[ch] = 0;
  }
  FWideUsed = false;
}

void TNoiseHistograms::Flush() {
  for (size_t i = 0; i < SmallStride; ++i)
    for (size_t c = 0; c < SmallCopies; ++c) FTotal[i] += FSmall[c * SmallStride + i];
  std::fill(FSmall.begin(), FSmall.end(), 0u);
  if (FJoint != nullptr && FFastUsed) FlushFast();
  if (FJoint != nullptr && FWideUsed) {
    // The low byte of an index is one magnitude, the high byte the other: both count. Only the
    // corner the indices reached holds counts.
    for (int ch = 0; ch < Planes; ++ch) {
      const std::uint32_t *j = FJoint + static_cast<size_t>(ch) * JointStride;
      std::int64_t *tot = FTotal.data() + static_cast<size_t>(ch) * Bins;
      const unsigned aMax = FWideSeen[ch] & 0xFF, bMax = FWideSeen[ch] >> 8;
      for (unsigned b = 0; b <= bMax; ++b)
        for (unsigned a = 0; a <= aMax; ++a) {
          const std::uint32_t n = j[Pack(a, b)];
          tot[a] += n;
          tot[b] += n;
        }
    }
    ClearWide();
  }
  FSinceFlush = 0;
}

void TNoiseHistograms::FlushFast() {
  std::uint32_t *const f = FJoint + static_cast<size_t>(Planes) * JointStride;
  const auto add = [this](int Ch, int Magnitude, std::int64_t N) {
    FTotal[static_cast<size_t>(Ch * Bins + Magnitude)] += N;
    FSum[Ch] += N * Magnitude;
  };
  for (unsigned code = 0; code < JointBins; ++code) {
    const std::int64_t n = std::int64_t{f[code]} + f[JointStride + code] + f[2 * JointStride + code] +
                           f[3 * JointStride + code];
    if (n == 0 || code >> 9 == NoCode >> 9) continue;
    const int dG = static_cast<int>((code >> 9) ^ 64) - 64, dRG = static_cast<int>(((code >> 5) & 15) ^ 8) - 8,
              dGB = static_cast<int>((code & 31) ^ 16) - 16;
    ForEachRGBMagnitude(dG + dRG, dG, dG - dGB, [&](int Ch, int Magnitude) { add(Ch, Magnitude, n); });
  }
  // L* magnitudes of 255 at most: the bins hold them exactly, sums and all.
  const std::uint32_t *l01 = f + 4 * static_cast<size_t>(JointStride), *l23 = f + 5 * static_cast<size_t>(JointStride);
  for (unsigned b = 0; b < Bins; ++b)
    for (unsigned a = 0; a < Bins; ++a) {
      const std::int64_t n = std::int64_t{l01[Pack(a, b)]} + l23[Pack(a, b)];
      if (n == 0) continue;
      add(ncL, static_cast<int>(a), n);
      add(ncL, static_cast<int>(b), n);
    }
  ClearFast();
}

void TNoiseHistograms::CountFast(const std::uint16_t *Codes, int N) {
  std::uint32_t *const f = FJoint + static_cast<size_t>(Planes) * JointStride;
  for (int i = 0; i < N; ++i) {
    const std::uint16_t *src = Codes + i;
#pragma GCC unroll 6
    for (int t = 0; t < FastTables; ++t) ++f[static_cast<size_t>(t) * JointStride + src[static_cast<size_t>(t) * Block]];
  }
}

// One neighbour pair's R, G, B and pair magnitudes, counted one by one (Neighbour: 0 left,
// 1 upper-left, 2 upper, 3 upper-right).
void TNoiseHistograms::CountPair(const std::int16_t *Cur, const std::int16_t *Prev, size_t W, int X, int Neighbour) {
  const std::int16_t *n = Neighbour == 0 ? Cur : Prev;
  const int nx = Neighbour == 0 ? X - 1 : X + Neighbour - 2;
  const int dR = Cur[X] - n[nx], dG = Cur[W + X] - n[W + nx], dB = Cur[2 * W + X] - n[2 * W + nx];
  std::uint32_t *h = FSmall.data() + static_cast<size_t>(Neighbour) * SmallStride;
  ForEachRGBMagnitude(dR, dG, dB, [&](int Ch, int Magnitude) {
    FSum[Ch] += Magnitude;
    ++h[static_cast<size_t>(Ch * Bins + Clamp255(Magnitude))];
  });
}

void TNoiseHistograms::Count(const std::uint16_t *Index, int N) {
  // Index holds two streams of N per channel. A pixel's counts visit the seven channels' histograms
  // in turn, twice, so a histogram comes back only after six others (a flat area, every index 0,
  // then does not chain each count on the store of the one before).
  if (FJoint != nullptr) {
    // Constant offsets from two base registers.
    std::uint32_t *const joint = FJoint;
    for (int i = 0; i < N; ++i) {
      const std::uint16_t *src = Index + i;
#pragma GCC unroll 14
      for (int k = 0; k < 2 * Planes; ++k) {
        const int ch = k % Planes, stream = 2 * ch + k / Planes;
        ++joint[static_cast<size_t>(ch) * JointStride + src[static_cast<size_t>(stream) * Block]];
      }
    }
  } else {
    std::uint32_t *const small = FSmall.data();
    for (int i = 0; i < N; ++i) {
      const std::uint16_t *src = Index + i;
#pragma GCC unroll 7
      for (int ch = 0; ch < Planes; ++ch) {
        const unsigned a = src[static_cast<size_t>(2 * ch) * Block], b = src[static_cast<size_t>(2 * ch + 1) * Block];
        std::uint32_t *h = small + static_cast<size_t>(ch) * Bins;
        ++h[a & 0xFF];
        ++h[SmallStride + (a >> 8)];
        ++h[2 * SmallStride + (b & 0xFF)];
        ++h[3 * SmallStride + (b >> 8)];
      }
    }
  }
}

void TNoiseHistograms::AddRow(const std::uint8_t *PrevRGB, const std::uint8_t *PrevL, const std::uint8_t *CurRGB,
                              const std::uint8_t *CurL, int Width) {
  if (Width < 2) return;
  if (Width > MaxPictureSide) throw EInvalidOperation(Format("Picture too wide to measure: %d pixels", Width));
  if (FSinceFlush + Width > FlushPixels) Flush();
  if (FJoint == nullptr && FPixels >= FJointAfter) {
    FJoint = TakeJoint();
    FCodes.resize(static_cast<size_t>(FastTables * Block));
  }
  const size_t w = static_cast<size_t>(Width);
  // Planar copies of both rows; the previous call's current row is usually this call's previous
  // one, so its planes are kept.
  if (FPlanes.size() != 2 * Planes * w) {
    FPlanes.assign(2 * Planes * w, 0);
    FLastRGB = nullptr;
  }
  const TPlanarize Planarize = ChoosePlanarize();
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

  FIndex.resize(static_cast<size_t>(2 * Planes * Block));
  const TIndexBlock index = ChooseIndexBlock();
  const TFastBlock fast = ChooseFastBlock();
  // Pixels 1 .. Width - 2 have all four neighbours.
  const int last = Width - 1;
  for (int x0 = 1; x0 < last; x0 += Block) {
    const int n = std::min(Block, last - x0);
    if (FJoint != nullptr) {
      // After a block too detailed for codes, the next few go the 14 way untried: in a detailed
      // area the codes would be made only to be thrown away.
      if (FSkipCodes > 0) {
        --FSkipCodes;
      } else {
        const int uncoded = fast(cur, prev, w, x0, n, FCodes.data());
        if (!TooManyUncoded(uncoded, n)) {
          FFastUsed = true;
          CountFast(FCodes.data(), n);
          for (int k = 0; k < 4 && uncoded > 0; ++k) {
            const std::uint16_t *codes = FCodes.data() + static_cast<size_t>(k) * Block;
            for (int i = 0; i < n; ++i)
              if (codes[i] == NoCode) CountPair(cur, prev, w, x0 + i, k);
          }
          continue;
        }
        FSkipCodes = SkipAfterDetail;
      }
      FWideUsed = true;
    }
    std::uint16_t unused = 0;
    for (int ch = 0; ch < Planes; ++ch) {
      std::uint16_t *out = FIndex.data() + static_cast<size_t>(2 * ch) * Block;
      FSum[ch] += index(cur + static_cast<size_t>(ch) * w, prev + static_cast<size_t>(ch) * w, x0, n, out, out + Block,
                        FJoint != nullptr ? FWideSeen[ch] : unused);
    }
    Count(FIndex.data(), n);
  }
  // The last pixel has no upper-right neighbour.
  for (int ch = 0; ch < Planes; ++ch) {
    const std::int16_t *c = cur + static_cast<size_t>(ch) * w, *p = prev + static_cast<size_t>(ch) * w;
    const int v = c[last];
    const int d0 = Abs(c[last - 1] - v), d1 = Abs(p[last - 1] - v), d2 = Abs(p[last] - v);
    FSum[ch] += d0 + d1 + d2;
    std::uint32_t *h = FSmall.data() + static_cast<size_t>(ch) * Bins;
    ++h[Clamp255(d0)];
    ++h[Clamp255(d1)];
    ++h[Clamp255(d2)];
  }
  FPixels += Width - 1;
  FSinceFlush += Width - 1;
}

void TNoiseHistograms::Clear() {
  std::fill(FSmall.begin(), FSmall.end(), 0u);
  std::fill(FTotal.begin(), FTotal.end(), 0);
  std::fill(std::begin(FSum), std::end(FSum), 0);
  ReturnJoint();
  FSkipCodes = 0;
  FPixels = FSinceFlush = 0;
  FLastRGB = FLastL = nullptr;
}

void TNoiseHistograms::AddTo(const std::array<TChannelNoiseData *, NoiseChannelCount> &Data) {
  Flush();
  for (int ch = 0; ch < NoiseChannelCount; ++ch) {
    TChannelNoiseData *d = Data[static_cast<size_t>(ch)];
    if (d == nullptr) continue;
    auto &out = d->HistogramData();
    for (int v = 0; v < Bins; ++v) {
      const std::int64_t n = FTotal[static_cast<size_t>(ch * Bins + v)];
      d->NCount += n;
      out[static_cast<size_t>(v)] += n;
    }
    d->NSum += FSum[ch];
  }
}
