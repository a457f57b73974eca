// Colour arithmetic and the extraction row kernel.
//
// The direct formulas (RGBToLab, LabToRGB) define every result. The row kernel reaches the same
// bits faster:
// - the nine matrix products of RGBToLab are 256-entry tables per channel holding exactly the
//   single values the direct formula computes;
// - the cube roots run eight at a time with the same IEEE operations as the scalar CubeRoot;
// - the three back-conversions are step tables: the L* byte depends on L alone, each byte of the
//   a* pixel on a alone and of the b* pixel on b alone, and each is monotonic in that value, so
//   each is a sorted list of the values where it steps, found once per process by bisection on the
//   direct formula. Around every step the table is checked against the direct formula within a
//   window of neighbouring floats; where rounding makes the byte wobble, or the value lies outside
//   the tables' range, the kernel converts directly.
// An exhaustive test compares the kernel with the direct formulas for all 2^24 colours.
#include <bit>
#include <cmath>
#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>

#include "engine/untKalvPicJobData.h"

#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

constexpr float k1_255 = 0.003921569f;
constexpr float kEps = 0.008856452f;   // 216 / 24389
constexpr float kKappa = 903.2963f;    // 24389 / 27
constexpr long double kM[3][3] = {{0.4124564L, 0.3575761L, 0.1804375L},
                                  {0.2126729L, 0.7151522L, 0.0721750L},
                                  {0.0193339L, 0.1191920L, 0.9503041L}};
constexpr long double kMi[3][3] = {{3.2404542L, -1.5371385L, -0.4985314L},
                                   {-0.9692660L, 1.8760108L, 0.0415560L},
                                   {0.0556434L, -0.2040259L, 1.0572252L}};

float Mul(long double c, float v) { return static_cast<float>(c * v); }

// Computed once from the two constants, as single values.
struct TDerived {
  float Eps13 = CubeRoot(kEps);
  float EpsKappa = kEps * kKappa;
};
const TDerived &Derived() {
  static const TDerived d;
  return d;
}

std::uint8_t ToByte(float v) {
  const float r = std::nearbyint(v * 255.0f);
  if (!(r > 0.0f)) return 0; // also NaN
  if (r > 255.0f) return 255;
  return static_cast<std::uint8_t>(r);
}

float FLab(float t) { return t > kEps ? CubeRoot(t) : (kKappa * t + 16.0f) / 116.0f; }

} // namespace

TLab::TLab(float Ax, float Ay) : x(Ax), y(Ay), Yw(1.0f) {
  z = 1.0f - x - y;
  Xw = x * Yw / y;
  Zw = z * Yw / y;
}

TLab TLab::D65() { return TLab(0.312713f, 0.329016f); }

// Start: the exponent trick (bits / 3 plus a bias) gives about 5 %; two single Halley steps reach
// single precision, one double Newton step removes the last error before the single rounding.
float CubeRoot(float t) {
  const std::int32_t i = std::bit_cast<std::int32_t>(t);
  float y = std::bit_cast<float>(static_cast<std::int32_t>(static_cast<float>(i) * (1.0f / 3.0f)) + 709921077);
  for (int k = 0; k < 2; ++k) {
    const float y3 = y * y * y;
    y = (y * (y3 + (t + t))) / ((y3 + y3) + t);
  }
  const double x = t;
  double d = y;
  const double d3 = d * d * d;
  d = d - (d3 - x) / ((d * 3.0) * d);
  return static_cast<float>(d);
}

void RGBToLab(const TLab &Lab, std::uint8_t R, std::uint8_t G, std::uint8_t B, float &L, float &a, float &b) {
  const float r = static_cast<float>(R) * k1_255, g = static_cast<float>(G) * k1_255,
              bl = static_cast<float>(B) * k1_255;
  const float X = Mul(kM[0][0], r) + Mul(kM[0][1], g) + Mul(kM[0][2], bl);
  const float Y = Mul(kM[1][0], r) + Mul(kM[1][1], g) + Mul(kM[1][2], bl);
  const float Z = Mul(kM[2][0], r) + Mul(kM[2][1], g) + Mul(kM[2][2], bl);
  const float fx = FLab(X / Lab.Xw), fy = FLab(Y / Lab.Yw), fz = FLab(Z / Lab.Zw);
  L = 116.0f * fy - 16.0f;
  a = 500.0f * (fx - fy);
  b = 200.0f * (fy - fz);
}

void LabToRGB(const TLab &Lab, float L, float a, float b, std::uint8_t &R, std::uint8_t &G, std::uint8_t &B) {
  const TDerived &d = Derived();
  const float fy = (L + 16.0f) / 116.0f;
  const float fx = fy + a / 500.0f;
  const float fz = fy - b / 200.0f;
  auto g = [&](float t) { return t > d.Eps13 ? t * t * t : (116.0f * t - 16.0f) / kKappa; };
  const float X = g(fx) * Lab.Xw;
  const float Z = g(fz) * Lab.Zw;
  float Y = L > d.EpsKappa ? fy * fy * fy : L / kKappa;
  Y = Y * Lab.Yw;
  R = ToByte(Mul(kMi[0][0], X) + Mul(kMi[0][1], Y) + Mul(kMi[0][2], Z));
  G = ToByte(Mul(kMi[1][0], X) + Mul(kMi[1][1], Y) + Mul(kMi[1][2], Z));
  B = ToByte(Mul(kMi[2][0], X) + Mul(kMi[2][1], Y) + Mul(kMi[2][2], Z));
}

// ---------------------------------------------------------------------------------------------
// Step tables

namespace {

std::int32_t Ord(float f) {
  const std::int32_t i = std::bit_cast<std::int32_t>(f);
  return i >= 0 ? i : static_cast<std::int32_t>(0x80000000u - static_cast<std::uint32_t>(i));
}
float FromOrd(std::int32_t o) {
  const std::uint32_t i = o >= 0 ? static_cast<std::uint32_t>(o) : 0x80000000u - static_cast<std::uint32_t>(o);
  return std::bit_cast<float>(i);
}

// Up to three monotonic byte functions of one float over [Lo, Hi].
class TStepTable {
public:
  using TFunc = void (*)(float, std::uint8_t *);

  void Build(TFunc Fn, int Channels, float ALo, float AHi, int ABuckets) {
    F = Fn;
    N = Channels;
    Lo = ALo;
    Hi = AHi;
    Buckets = ABuckets;
    Scale = static_cast<float>(Buckets) / (Hi - Lo);
    const std::int32_t olo = Ord(Lo), ohi = Ord(Hi);
    std::uint8_t vlo[3], vhi[3];
    F(Lo, vlo);
    F(Hi, vhi);
    for (int c = 0; c < N; ++c) {
      Base[c] = vlo[c];
      Dir[c] = vhi[c] >= vlo[c] ? 1 : -1;
      const int steps = std::abs(vhi[c] - vlo[c]);
      T[c].clear();
      for (int j = 1; j <= steps; ++j) {
        const int level = Base[c] + Dir[c] * j;
        auto reached = [&](std::int32_t o) {
          std::uint8_t v[3];
          F(FromOrd(o), v);
          return Dir[c] > 0 ? v[c] >= level : v[c] <= level;
        };
        std::int32_t a = T[c].empty() ? olo : Ord(T[c].back()), b = ohi; // reached(b) holds
        if (reached(a)) {
          T[c].push_back(FromOrd(a));
          continue;
        }
        while (static_cast<std::int64_t>(b) - a > 1) {
          const auto m = static_cast<std::int32_t>((static_cast<std::int64_t>(a) + b) / 2);
          if (reached(m)) b = m;
          else a = m;
        }
        T[c].push_back(FromOrd(b));
      }
    }
    // Per bucket: the bytes at its lower end and the one step inside it; a bucket with more than
    // one step of a channel converts directly.
    Table.assign(static_cast<size_t>(Buckets), TBucket{});
    for (int c = 0; c < N; ++c) {
      size_t n = 0;
      for (int k = 0; k < Buckets; ++k) {
        while (n < T[c].size() && Bucket(T[c][n]) < k) ++n;
        TBucket &bk = Table[static_cast<size_t>(k)];
        bk.Base[c] = static_cast<std::uint8_t>(Base[c] + Dir[c] * static_cast<int>(n));
        bk.Dir[c] = static_cast<std::int8_t>(Dir[c]);
        size_t inside = 0;
        while (n + inside < T[c].size() && Bucket(T[c][n + inside]) == k) ++inside;
        bk.Thr[c] = inside == 1 ? T[c][n] : std::numeric_limits<float>::infinity();
        if (inside > 1) bk.Amb = 1;
      }
    }
    for (int c = N; c < 3; ++c)
      for (TBucket &bk : Table) bk.Thr[c] = std::numeric_limits<float>::infinity();
    // Where the table and the direct formula disagree near a step, convert directly.
    constexpr std::int32_t Window = 48;
    for (int c = 0; c < N; ++c) {
      for (float t : T[c]) {
        const std::int32_t o = Ord(t);
        bool bad = false;
        for (std::int32_t p = std::max(olo, o - Window); p <= std::min(ohi, o + Window) && !bad; ++p) {
          std::uint8_t direct[3], table[3];
          const float v = FromOrd(p);
          F(v, direct);
          Steps(v, table);
          bad = direct[c] != table[c];
        }
        if (bad) {
          const int b0 = Bucket(FromOrd(std::max(olo, o - Window))), b1 = Bucket(FromOrd(std::min(ohi, o + Window)));
          for (int k = b0; k <= b1; ++k) Table[static_cast<size_t>(k)].Amb = 1;
        }
      }
    }
  }

  // The bytes for v; outside the range or near a wobbling step, the direct formula.
  void Lookup(float v, std::uint8_t *Out) const {
    if (!(v >= Lo && v <= Hi)) {
      F(v, Out);
      return;
    }
    const TBucket &bk = Table[static_cast<size_t>(Bucket(v))];
    if (bk.Amb) {
      F(v, Out);
      return;
    }
    // Without branches: whether v passed the bucket's step is as good as random.
    for (int c = 0; c < N; ++c) {
      const int passed = static_cast<int>(v >= bk.Thr[c]);
      Out[c] = static_cast<std::uint8_t>(bk.Base[c] + bk.Dir[c] * passed);
    }
  }

private:
  int Bucket(float v) const {
    const int b = static_cast<int>((v - Lo) * Scale);
    return b < 0 ? 0 : (b >= Buckets ? Buckets - 1 : b);
  }
  // The bytes by the step lists alone (for checking the buckets against the direct formula).
  void Steps(float v, std::uint8_t *Out) const {
    for (int c = 0; c < N; ++c) {
      const size_t n = static_cast<size_t>(std::upper_bound(T[c].begin(), T[c].end(), v) - T[c].begin());
      Out[c] = static_cast<std::uint8_t>(Base[c] + Dir[c] * static_cast<int>(n));
    }
  }
  struct TBucket {
    float Thr[3] = {};
    std::uint8_t Base[3] = {};
    std::int8_t Dir[3] = {};
    std::uint8_t Amb = 0;
  };

  TFunc F = nullptr;
  int N = 0;
  float Lo = 0, Hi = 0, Scale = 1;
  int Buckets = 1;
  int Base[3] = {}, Dir[3] = {};
  std::vector<float> T[3];
  std::vector<TBucket> Table;
};

struct TTables {
  TLab Lab = TLab::D65();
  float M[3][3][256]; // M[row][channel][byte]: the single products of the matrix
  TStepTable StepL, StepA, StepB;
};

TTables *BuildTables() {
  auto *t = new TTables;
  for (int v = 0; v < 256; ++v) {
    const float s = static_cast<float>(v) * k1_255;
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) t->M[r][c][v] = Mul(kM[r][c], s);
  }
  static const TLab lab = TLab::D65();
  t->StepL.Build([](float v, std::uint8_t *o) { LabToRGB(lab, v, 0.0f, 0.0f, o[0], o[1], o[2]); }, 1, -1.0f,
                 101.0f, 4096);
  t->StepA.Build([](float v, std::uint8_t *o) { LabToRGB(lab, 75.0f, v, 0.0f, o[2], o[1], o[0]); }, 3, -250.0f,
                 250.0f, 8192);
  t->StepB.Build([](float v, std::uint8_t *o) { LabToRGB(lab, 75.0f, 0.0f, v, o[2], o[1], o[0]); }, 3, -250.0f,
                 250.0f, 8192);
  return t;
}

const TTables &Tables() {
  static const TTables *t = BuildTables(); // once per process, thread-safe
  return *t;
}

// ---------------------------------------------------------------------------------------------
// The vector kernel: L, a, b of eight pixels from their X, Y, Z, with the same operations as
// RGBToLab.

typedef float v8f __attribute__((vector_size(32)));
typedef std::int32_t v8i __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));

struct TLabConst {
  float Xw, Yw, Zw;
};

__attribute__((always_inline)) inline v8f CubeRoot8(v8f t) {
  const v8i i = (v8i)t;
  const v8i yi = __builtin_convertvector(__builtin_convertvector(i, v8f) * (1.0f / 3.0f), v8i) + 709921077;
  v8f y = (v8f)yi;
  for (int k = 0; k < 2; ++k) {
    const v8f y3 = y * y * y;
    y = (y * (y3 + (t + t))) / ((y3 + y3) + t);
  }
  const v8d x = __builtin_convertvector(t, v8d);
  v8d d = __builtin_convertvector(y, v8d);
  const v8d d3 = d * d * d;
  d = d - (d3 - x) / ((d * 3.0) * d);
  return __builtin_convertvector(d, v8f);
}

__attribute__((always_inline)) inline v8f FLab8(v8f t) {
  const v8f lin = (t * kKappa + 16.0f) / 116.0f;
  // The exponent trick needs a positive argument; lanes at or below eps take the linear part.
  const v8i big = t > kEps;
  const v8f safe = big ? t : (v8f{} + 1.0f);
  const v8f root = CubeRoot8(safe);
  return big ? root : lin;
}

__attribute__((always_inline)) inline void LabBlockBody(const float *X, const float *Y, const float *Z, float *L,
                                                        float *A, float *B, int Count, const TLabConst &c) {
  for (int i = 0; i < Count; i += 8) {
    v8f x, y, z;
    std::memcpy(&x, X + i, sizeof x);
    std::memcpy(&y, Y + i, sizeof y);
    std::memcpy(&z, Z + i, sizeof z);
    const v8f fx = FLab8(x / c.Xw), fy = FLab8(y / c.Yw), fz = FLab8(z / c.Zw);
    const v8f l = fy * 116.0f - 16.0f;
    const v8f a = (fx - fy) * 500.0f;
    const v8f b = (fy - fz) * 200.0f;
    std::memcpy(L + i, &l, sizeof l);
    std::memcpy(A + i, &a, sizeof a);
    std::memcpy(B + i, &b, sizeof b);
  }
}

void LabBlockPortable(const float *X, const float *Y, const float *Z, float *L, float *A, float *B, int Count,
                      const TLabConst &c) {
  LabBlockBody(X, Y, Z, L, A, B, Count, c);
}

__attribute__((target("avx2"))) void LabBlockAVX2(const float *X, const float *Y, const float *Z, float *L,
                                                   float *A, float *B, int Count, const TLabConst &c) {
  LabBlockBody(X, Y, Z, L, A, B, Count, c);
}

using TLabBlock = void (*)(const float *, const float *, const float *, float *, float *, float *, int,
                           const TLabConst &);

bool HasAVX2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

std::atomic<TSimdPath> GForcedPath{spAuto};

TLabBlock ChooseLabBlock() {
  switch (GForcedPath.load(std::memory_order_relaxed)) {
  case spPortable: return LabBlockPortable;
  case spAVX2: return HasAVX2() ? LabBlockAVX2 : LabBlockPortable;
  default: return HasAVX2() ? LabBlockAVX2 : LabBlockPortable;
  }
}

} // namespace

void SetSimdPathForTests(TSimdPath Path) { GForcedPath.store(Path); }

TSimdPath ActiveSimdPath() { return ChooseLabBlock() == LabBlockAVX2 ? spAVX2 : spPortable; }

void ExtractRow(const TExtractRow &Row, int Width, TSignalSums &Sums) {
  const TTables &t = Tables();
  const TLabBlock labBlock = ChooseLabBlock();
  const TLabConst c{t.Lab.Xw, t.Lab.Yw, t.Lab.Zw};
  constexpr int Block = 256;
  alignas(32) float X[Block], Y[Block], Z[Block], L[Block], A[Block], B[Block];
  std::int64_t sR = 0, sG = 0, sB = 0, sL = 0, sRG = 0, sGB = 0, sBR = 0;
  for (int x0 = 0; x0 < Width; x0 += Block) {
    const int n = std::min(Block, Width - x0);
    const std::uint8_t *src = Row.RGB + 3 * static_cast<size_t>(x0);
    for (int i = 0; i < n; ++i) {
      const int b = src[3 * i], g = src[3 * i + 1], r = src[3 * i + 2];
      Row.R[x0 + i] = static_cast<std::uint8_t>(r);
      Row.G[x0 + i] = static_cast<std::uint8_t>(g);
      Row.B[x0 + i] = static_cast<std::uint8_t>(b);
      sR += r;
      sG += g;
      sB += b;
      sRG += (r + g) >> 1;
      sGB += (g + b) >> 1;
      sBR += (b + r) >> 1;
      X[i] = t.M[0][0][r] + t.M[0][1][g] + t.M[0][2][b];
      Y[i] = t.M[1][0][r] + t.M[1][1][g] + t.M[1][2][b];
      Z[i] = t.M[2][0][r] + t.M[2][1][g] + t.M[2][2][b];
    }
    const int n8 = (n + 7) & ~7;
    for (int i = n; i < n8; ++i) X[i] = Y[i] = Z[i] = 0.5f;
    labBlock(X, Y, Z, L, A, B, n8, c);
    std::uint8_t *pl = Row.L + x0, *pa = Row.La + 3 * static_cast<size_t>(x0), *pb = Row.Lb + 3 * static_cast<size_t>(x0);
    for (int i = 0; i < n; ++i) {
      std::uint8_t v[3];
      t.StepL.Lookup(L[i], v);
      pl[i] = v[0];
      sL += v[0];
      t.StepA.Lookup(A[i], pa + 3 * i);
      t.StepB.Lookup(B[i], pb + 3 * i);
    }
  }
  Sums.SSum[ncR] += sR;
  Sums.SSum[ncG] += sG;
  Sums.SSum[ncB] += sB;
  Sums.SSum[ncL] += sL;
  Sums.SSum[ncRG] += sRG;
  Sums.SSum[ncGB] += sGB;
  Sums.SSum[ncBR] += sBR;
  Sums.SCount += Width;
}
