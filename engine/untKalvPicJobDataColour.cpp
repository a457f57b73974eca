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
//   the tables' range, the kernel converts directly;
// - when only L* is wanted, its byte is a step table of Y itself (the L* byte depends on Y alone,
//   monotonically), built and checked the same way, so neither cube root nor L is computed.
// An exhaustive test compares the kernel with the direct formulas for all 2^24 colours.
#include <bit>
#include <immintrin.h>
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

// Up to three monotonic byte functions of one float over [Lo, Hi], looked up as one packed word
// (byte c at bits 8c). The steps of all channels share one list of buckets; a bucket holds at most
// one step value, so a lookup is one compare.
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
    // Per bucket: the bytes at its lower end and the one step value inside it, with the channels
    // that step there; a bucket holding two different step values converts directly.
    Thr.assign(static_cast<size_t>(Buckets), std::numeric_limits<float>::infinity());
    Word.assign(static_cast<size_t>(Buckets), 0);
    for (int c = 0; c < N; ++c) {
      size_t n = 0;
      for (int k = 0; k < Buckets; ++k) {
        while (n < T[c].size() && Bucket(T[c][n]) < k) ++n;
        float &thr = Thr[static_cast<size_t>(k)];
        std::uint32_t &w = Word[static_cast<size_t>(k)];
        w |= static_cast<std::uint32_t>(Base[c] + Dir[c] * static_cast<int>(n)) << (8 * c);
        size_t inside = 0;
        while (n + inside < T[c].size() && Bucket(T[c][n + inside]) == k) ++inside;
        if (inside == 0) continue;
        if (inside > 1 || (thr != std::numeric_limits<float>::infinity() && thr != T[c][n])) {
          w |= AmbFlag;
          continue;
        }
        thr = T[c][n];
        w |= 1u << (StepShift + c);
      }
    }
    for (int c = 0; c < N; ++c) (Dir[c] > 0 ? UpSel : DownSel) |= 1u << (8 * c);
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
          for (int k = b0; k <= b1; ++k) Word[static_cast<size_t>(k)] |= AmbFlag;
        }
      }
    }
  }

  // The channels' bytes one above those of Below where a channel steps: its step bits spread to
  // bits 0, 8 and 16 (the products of the multiplication land on distinct bits).
  static std::uint32_t StepBytes(std::uint32_t W) { return ((W >> StepShift) * 0x4081u) & 0x010101u; }

  // The packed bytes for v; outside the range or near a wobbling step, the direct formula.
  std::uint32_t Lookup(float v) const {
    if (v >= Lo && v <= Hi) {
      const size_t k = static_cast<size_t>(Bucket(v));
      const std::uint32_t w = Word[k];
      if ((w & AmbFlag) == 0) {
        // Without branches: whether v passed the bucket's step is as good as random. A byte only
        // moves by one within 0..255, so the word arithmetic never carries between bytes.
        const std::uint32_t step = StepBytes(w) & (0u - static_cast<std::uint32_t>(v >= Thr[k]));
        return (w & 0xFFFFFFu) + (step & UpSel) - (step & DownSel);
      }
    }
    return Direct(v);
  }

  std::uint32_t Direct(float v) const {
    std::uint8_t o[3] = {};
    F(v, o);
    std::uint32_t w = 0;
    for (int c = 0; c < N; ++c) w |= static_cast<std::uint32_t>(o[c]) << (8 * c);
    return w;
  }

  // The sorted values where channel C's byte steps, from the byte at Lo on in direction Dir.
  const std::vector<float> &StepValues(int C) const { return T[C]; }
  int BaseByte(int C) const { return Base[C]; }
  int Direction(int C) const { return Dir[C]; }

  static constexpr std::uint32_t AmbFlag = 1u << 24;
  static constexpr int StepShift = 25;

  // For the vector path.
  float Lo = 0, Hi = 0, Scale = 1;
  int Buckets = 1;
  std::uint32_t UpSel = 0, DownSel = 0;
  std::vector<float> Thr;           // per bucket: the step value inside it, or infinity
  std::vector<std::uint32_t> Word;  // per bucket: bytes below Thr, direct flag, stepping channels

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

  TFunc F = nullptr;
  int N = 0;
  int Base[3] = {}, Dir[3] = {};
  std::vector<float> T[3];
};

struct TTables {
  TLab Lab = TLab::D65();
  float M[3][3][256]; // M[row][channel][byte]: the single products of the matrix
  alignas(16) float M4[3][256][4]; // M4[channel][byte]: the three rows' products, and 0
  // The L* byte straight from Y (the cube root and the step of L* in one): the same bytes, as a
  // function of Y alone.
  TStepTable StepY;
  // Vector gathers are slow on some processors, so the L*-only path computes instead of reading
  // tables where that was found exact when the tables were built:
  // - YByFma: Y's three products by fused multiply-adds of the coefficient's high and low singles
  //   (YHi, YLo) give every entry of M[1];
  // - LByArith: the L* byte of Y is c = floor(255 Y), plus one above the step estimated at
  //   (c + 0.5) LK; values within LNear of that estimate (every true step and every wobble of the
  //   direct formula lies there) ask StepY.
  bool YByFma = false;
  float YHi[3] = {}, YLo[3] = {};
  bool LByArith = false;
  float LK = 0, LNear = 0;
};
// The tables of the full conversion (L*, a* and b* from L, a and b) are built only when a job
// makes the a* and b* pictures (a measurement needs L* alone): they take most of the building time.
struct TTablesAB {
  TStepTable StepL, StepA, StepB;
};

const TLab &D65Lab() {
  static const TLab lab = TLab::D65();
  return lab;
}

// The L* byte of a colour whose Y is Y, by the direct formulas (the L of RGBToLab, then LabToRGB).
std::uint8_t LByteOfY(float Y) {
  const TLab &lab = D65Lab();
  const float L = 116.0f * FLab(Y / lab.Yw) - 16.0f;
  std::uint8_t r, g, b;
  LabToRGB(lab, L, 0.0f, 0.0f, r, g, b);
  return r;
}

bool HasAVX2();

// The products of Y's coefficient (as the high and the low single Hi + Lo) with eight channel
// bytes, the way the L*-only front computes them.
__attribute__((target("avx2,fma"), always_inline)) inline __m256 YProducts(__m256i Bytes, __m256 Hi, __m256 Lo) {
  const __m256 s = _mm256_mul_ps(_mm256_cvtepi32_ps(Bytes), _mm256_set1_ps(k1_255));
  return _mm256_fmadd_ps(Hi, s, _mm256_mul_ps(Lo, s));
}

// Whether YProducts gives every entry of the product tables of Y.
__attribute__((target("avx2,fma"))) bool YProductsExact(const TTables &t) {
  for (int c = 0; c < 3; ++c)
    for (int v = 0; v < 256; v += 8) {
      alignas(32) float y[8];
      _mm256_store_ps(y, YProducts(_mm256_add_epi32(_mm256_set1_epi32(v), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)),
                                   _mm256_set1_ps(t.YHi[c]), _mm256_set1_ps(t.YLo[c])));
      if (std::memcmp(y, &t.M[1][c][v], sizeof y) != 0) return false;
    }
  return true;
}

TTables *BuildTables() {
  auto *t = new TTables;
  for (int v = 0; v < 256; ++v) {
    const float s = static_cast<float>(v) * k1_255;
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) t->M[r][c][v] = t->M4[c][v][r] = Mul(kM[r][c], s);
    for (int c = 0; c < 3; ++c) t->M4[c][v][3] = 0.0f;
  }
  t->StepY.Build([](float v, std::uint8_t *o) { o[0] = LByteOfY(v); }, 1, 0.0f, 1.0001f, 16384);
  for (int c = 0; c < 3; ++c) {
    t->YHi[c] = static_cast<float>(kM[1][c]);
    t->YLo[c] = static_cast<float>(kM[1][c] - static_cast<long double>(t->YHi[c]));
  }
  t->YByFma = HasAVX2() && YProductsExact(*t);
  // The steps of L* over Y lie close to the middles (c + 0.5) / 255, as the conversion there and
  // back is nearly the identity on grey.
  const std::vector<float> &steps = t->StepY.StepValues(0);
  if (t->StepY.BaseByte(0) == 0 && t->StepY.Direction(0) == 1 && steps.size() == 255) {
    const float k = (steps[0] + steps[254]) / 255.0f;
    auto mid = [k](int c) { return (static_cast<float>(c) + 0.5f) * k; };
    float off = 0;
    for (int c = 0; c < 255; ++c) off = std::max(off, std::fabs(steps[static_cast<size_t>(c)] - mid(c)));
    // Beyond the largest offset, a margin wider than the window in which the step table checked
    // the direct formula's wobble (48 floats).
    const float nearBy = off + 64.0f * std::numeric_limits<float>::epsilon();
    bool ok = std::fabs(k * 255.0f - 1.0f) < 1e-3f && nearBy < 0.1f / 255.0f;
    for (int c = 0; c < 255 && ok; ++c) {
      float below = mid(c) - nearBy, above = mid(c) + nearBy;
      for (int p = 0; p < 8 && ok; ++p) {
        below = std::nextafter(below, 0.0f);
        above = std::nextafter(above, 2.0f);
        ok = LByteOfY(below) == c && LByteOfY(above) == c + 1;
      }
    }
    t->LByArith = ok;
    t->LK = k;
    t->LNear = nearBy;
  }
  return t;
}

TTablesAB *BuildTablesAB() {
  auto *t = new TTablesAB;
  t->StepL.Build([](float v, std::uint8_t *o) { LabToRGB(D65Lab(), v, 0.0f, 0.0f, o[0], o[1], o[2]); }, 1, -1.0f,
                 101.0f, 16384);
  t->StepA.Build([](float v, std::uint8_t *o) { LabToRGB(D65Lab(), 75.0f, v, 0.0f, o[2], o[1], o[0]); }, 3,
                 -250.0f, 250.0f, 32768);
  t->StepB.Build([](float v, std::uint8_t *o) { LabToRGB(D65Lab(), 75.0f, 0.0f, v, o[2], o[1], o[0]); }, 3,
                 -250.0f, 250.0f, 32768);
  return t;
}

const TTables &Tables() {
  static const TTables *t = BuildTables(); // once per process, thread-safe
  return *t;
}

const TTablesAB &TablesAB() {
  static const TTablesAB *t = BuildTablesAB();
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

typedef long long v4q __attribute__((vector_size(32)));

__attribute__((always_inline)) inline bool AllLanes(v8i Mask) {
  const v4q q = (v4q)Mask;
  return (q[0] & q[1] & q[2] & q[3]) == -1;
}

__attribute__((always_inline)) inline v8f FLab8(v8f t) {
  const v8i big = t > kEps;
  if (AllLanes(big)) return CubeRoot8(t); // the usual case: no dark lane
  const v8f lin = (t * kKappa + 16.0f) / 116.0f;
  // The exponent trick needs a positive argument; lanes at or below eps take the linear part.
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
    // Dividing by a white point of 1 changes nothing, so it is left out.
    const v8f fx = FLab8(x / c.Xw), fy = FLab8(c.Yw == 1.0f ? y : y / c.Yw), fz = FLab8(z / c.Zw);
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

// The packed words of Count values (a multiple of 8) of one step table.
using TLookupBlock = void (*)(const TStepTable &, const float *, int, std::uint32_t *);

void LookupBlockPortable(const TStepTable &T, const float *V, int Count, std::uint32_t *Out) {
  for (int i = 0; i < Count; ++i) Out[i] = T.Lookup(V[i]);
}

// TStepTable::Lookup eight at a time: the same bucket arithmetic, the same compare; lanes out of
// range or in a direct bucket convert directly afterwards.
__attribute__((target("avx2"))) void LookupBlockAVX2(const TStepTable &T, const float *V, int Count,
                                                     std::uint32_t *Out) {
  const __m256 lo = _mm256_set1_ps(T.Lo), hi = _mm256_set1_ps(T.Hi), scale = _mm256_set1_ps(T.Scale);
  const __m256i last = _mm256_set1_epi32(T.Buckets - 1), zero = _mm256_setzero_si256();
  const __m256i amb = _mm256_set1_epi32(static_cast<int>(TStepTable::AmbFlag)),
                low = _mm256_set1_epi32(0xFFFFFF), spread = _mm256_set1_epi32(0x4081),
                ones = _mm256_set1_epi32(0x010101), up = _mm256_set1_epi32(static_cast<int>(T.UpSel)),
                down = _mm256_set1_epi32(static_cast<int>(T.DownSel));
  const float *thr = T.Thr.data();
  const int *word = reinterpret_cast<const int *>(T.Word.data());
  for (int i = 0; i < Count; i += 8) {
    const __m256 v = _mm256_loadu_ps(V + i);
    const __m256 inRange = _mm256_and_ps(_mm256_cmp_ps(v, lo, _CMP_GE_OQ), _mm256_cmp_ps(v, hi, _CMP_LE_OQ));
    __m256i k = _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_sub_ps(v, lo), scale));
    k = _mm256_min_epi32(_mm256_max_epi32(k, zero), last);
    const __m256i w = _mm256_i32gather_epi32(word, k, 4);
    const __m256 t = _mm256_i32gather_ps(thr, k, 4);
    const __m256i passed = _mm256_castps_si256(_mm256_cmp_ps(v, t, _CMP_GE_OQ));
    const __m256i step = _mm256_and_si256(
        _mm256_and_si256(_mm256_mullo_epi32(_mm256_srli_epi32(w, TStepTable::StepShift), spread), ones), passed);
    const __m256i res = _mm256_sub_epi32(_mm256_add_epi32(_mm256_and_si256(w, low), _mm256_and_si256(step, up)),
                                         _mm256_and_si256(step, down));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(Out + i), res);
    const __m256i direct = _mm256_cmpeq_epi32(_mm256_and_si256(w, amb), amb);
    unsigned bad = static_cast<unsigned>(
        _mm256_movemask_ps(_mm256_or_ps(_mm256_castsi256_ps(direct), _mm256_xor_ps(inRange, _mm256_castsi256_ps(_mm256_cmpeq_epi32(zero, zero))))));
    while (bad != 0) {
      const int lane = std::countr_zero(bad);
      Out[i + lane] = T.Direct(V[i + lane]);
      bad &= bad - 1;
    }
  }
}

// The L* words of Count values of Y (a multiple of 8).
using TLookupL = void (*)(const TTables &, const float *, int, std::uint32_t *);

void LookupLPortable(const TTables &t, const float *V, int Count, std::uint32_t *Out) {
  LookupBlockPortable(t.StepY, V, Count, Out);
}

// Without table reads (TTables::LByArith): c = floor(255 Y), one more above the estimated step;
// lanes near it, and those out of range, take the step table.
__attribute__((target("avx2"))) void LookupLAVX2(const TTables &t, const float *V, int Count, std::uint32_t *Out) {
  if (!t.LByArith) {
    LookupBlockAVX2(t.StepY, V, Count, Out);
    return;
  }
  const __m256 k255 = _mm256_set1_ps(255.0f), half = _mm256_set1_ps(0.5f), k = _mm256_set1_ps(t.LK),
               nearBy = _mm256_set1_ps(t.LNear), hi = _mm256_set1_ps(t.StepY.Hi), zero = _mm256_setzero_ps(),
               magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
  for (int i = 0; i < Count; i += 8) {
    const __m256 v = _mm256_loadu_ps(V + i);
    const __m256 inRange = _mm256_and_ps(_mm256_cmp_ps(v, zero, _CMP_GE_OQ), _mm256_cmp_ps(v, hi, _CMP_LE_OQ));
    const __m256i c = _mm256_cvttps_epi32(_mm256_mul_ps(v, k255));
    const __m256 mid = _mm256_mul_ps(_mm256_add_ps(_mm256_cvtepi32_ps(c), half), k);
    const __m256 nearStep = _mm256_cmp_ps(_mm256_and_ps(_mm256_sub_ps(v, mid), magnitude), nearBy, _CMP_LE_OQ);
    const __m256i above = _mm256_castps_si256(_mm256_cmp_ps(v, mid, _CMP_GT_OQ));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(Out + i), _mm256_sub_epi32(c, above));
    unsigned bad = static_cast<unsigned>(_mm256_movemask_ps(_mm256_or_ps(nearStep, _mm256_cmp_ps(inRange, zero, _CMP_EQ_OQ))));
    while (bad != 0) {
      const int lane = std::countr_zero(bad);
      Out[i + lane] = t.StepY.Lookup(V[i + lane]);
      bad &= bad - 1;
    }
  }
}

// The first part of a row block: the R, G, B pictures, the six signal sums that need no
// conversion (R, G, B, RG, GB, BR) and X, Y, Z from the product tables. RowLeft is the number of
// pixels left in the row from Src on (at least N).
using TFrontBlock = void (*)(const TTables &, const std::uint8_t *, int, int, std::uint8_t *, std::uint8_t *,
                             std::uint8_t *, float *, float *, float *, std::int64_t *);

void FrontTail(const TTables &t, const std::uint8_t *Src, int First, int N, std::uint8_t *R, std::uint8_t *G,
               std::uint8_t *B, float *X, float *Y, float *Z, std::int64_t *S) {
  for (int i = First; i < N; ++i) {
    const int b = Src[3 * i], g = Src[3 * i + 1], r = Src[3 * i + 2];
    R[i] = static_cast<std::uint8_t>(r);
    G[i] = static_cast<std::uint8_t>(g);
    B[i] = static_cast<std::uint8_t>(b);
    S[0] += r;
    S[1] += g;
    S[2] += b;
    S[3] += (r + g) >> 1;
    S[4] += (g + b) >> 1;
    S[5] += (b + r) >> 1;
    Y[i] = t.M[1][0][r] + t.M[1][1][g] + t.M[1][2][b];
    if (X == nullptr) continue;
    X[i] = t.M[0][0][r] + t.M[0][1][g] + t.M[0][2][b];
    Z[i] = t.M[2][0][r] + t.M[2][1][g] + t.M[2][2][b];
  }
}

void FrontPortable(const TTables &t, const std::uint8_t *Src, int N, int, std::uint8_t *R, std::uint8_t *G,
                   std::uint8_t *B, float *X, float *Y, float *Z, std::int64_t *S) {
  FrontTail(t, Src, 0, N, R, G, B, X, Y, Z, S);
}

// Sixteen pixels at a time: the bytes sorted by shuffles (the last load reads four bytes past the
// sixteen pixels, so a row's final pixels go the scalar way), the sums by byte sums, and X, Y, Z of
// each pixel as one four-lane sum of its three table rows, added in the scalar order. Without X
// and Z (X null: only L* is wanted) Y alone is computed eight at a time (TTables::YByFma), or
// else comes from three gathers of eight.
__attribute__((target("avx2,fma"))) void FrontAVX2(const TTables &t, const std::uint8_t *Src, int N, int RowLeft,
                                               std::uint8_t *R, std::uint8_t *G, std::uint8_t *B, float *X,
                                               float *Y, float *Z, std::int64_t *S) {
  const bool xyz = X != nullptr;
  const __m128i sort = _mm_setr_epi8(0, 3, 6, 9, 1, 4, 7, 10, 2, 5, 8, 11, -1, -1, -1, -1);
  const __m128i zero = _mm_setzero_si128(), low7 = _mm_set1_epi8(0x7F);
  __m128i sR = zero, sG = zero, sB = zero, sRG = zero, sGB = zero, sBR = zero;
  auto floorAvg = [&](__m128i a, __m128i b) __attribute__((target("avx2"))) {
    return _mm_add_epi8(_mm_and_si128(a, b), _mm_and_si128(_mm_srli_epi16(_mm_xor_si128(a, b), 1), low7));
  };
  int i = 0;
  for (; i + 16 <= N && 3 * (i + 16) + 4 <= 3 * RowLeft; i += 16) {
    const std::uint8_t *p = Src + 3 * static_cast<size_t>(i);
    const __m128i t0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), sort);
    const __m128i t1 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 12)), sort);
    const __m128i t2 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 24)), sort);
    const __m128i t3 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 36)), sort);
    const __m128i bg01 = _mm_unpacklo_epi32(t0, t1), bg23 = _mm_unpacklo_epi32(t2, t3);
    const __m128i r01 = _mm_unpackhi_epi32(t0, t1), r23 = _mm_unpackhi_epi32(t2, t3);
    const __m128i b = _mm_unpacklo_epi64(bg01, bg23), g = _mm_unpackhi_epi64(bg01, bg23),
                  r = _mm_unpacklo_epi64(r01, r23);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(R + i), r);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(G + i), g);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(B + i), b);
    sR = _mm_add_epi64(sR, _mm_sad_epu8(r, zero));
    sG = _mm_add_epi64(sG, _mm_sad_epu8(g, zero));
    sB = _mm_add_epi64(sB, _mm_sad_epu8(b, zero));
    sRG = _mm_add_epi64(sRG, _mm_sad_epu8(floorAvg(r, g), zero));
    sGB = _mm_add_epi64(sGB, _mm_sad_epu8(floorAvg(g, b), zero));
    sBR = _mm_add_epi64(sBR, _mm_sad_epu8(floorAvg(b, r), zero));
    if (!xyz && t.YByFma) {
      for (int j = 0; j < 16; j += 8) {
        const auto product = [&](__m128i v, int c) __attribute__((target("avx2,fma"))) {
          return YProducts(_mm256_cvtepu8_epi32(j == 0 ? v : _mm_srli_si128(v, 8)), _mm256_set1_ps(t.YHi[c]),
                           _mm256_set1_ps(t.YLo[c]));
        };
        _mm256_storeu_ps(Y + i + j, _mm256_add_ps(_mm256_add_ps(product(r, 0), product(g, 1)), product(b, 2)));
      }
      continue;
    }
    if (!xyz) {
      for (int j = 0; j < 16; j += 8) {
        const auto idx = [j](__m128i v) __attribute__((target("avx2"))) {
          return _mm256_cvtepu8_epi32(j == 0 ? v : _mm_srli_si128(v, 8));
        };
        const __m256 y = _mm256_add_ps(_mm256_add_ps(_mm256_i32gather_ps(t.M[1][0], idx(r), 4),
                                                     _mm256_i32gather_ps(t.M[1][1], idx(g), 4)),
                                       _mm256_i32gather_ps(t.M[1][2], idx(b), 4));
        _mm256_storeu_ps(Y + i + j, y);
      }
      continue;
    }
    for (int j = 0; j < 16; j += 4) {
      __m128 v[4];
      for (int k = 0; k < 4; ++k) {
        const std::uint8_t *q = p + 3 * (j + k);
        v[k] = _mm_add_ps(_mm_add_ps(_mm_load_ps(t.M4[0][q[2]]), _mm_load_ps(t.M4[1][q[1]])), _mm_load_ps(t.M4[2][q[0]]));
      }
      _MM_TRANSPOSE4_PS(v[0], v[1], v[2], v[3]);
      _mm_storeu_ps(X + i + j, v[0]);
      _mm_storeu_ps(Y + i + j, v[1]);
      _mm_storeu_ps(Z + i + j, v[2]);
    }
  }
  auto total = [](__m128i v) __attribute__((target("avx2"))) {
    return static_cast<std::int64_t>(_mm_cvtsi128_si64(v)) + static_cast<std::int64_t>(_mm_extract_epi64(v, 1));
  };
  S[0] += total(sR);
  S[1] += total(sG);
  S[2] += total(sB);
  S[3] += total(sRG);
  S[4] += total(sGB);
  S[5] += total(sBR);
  FrontTail(t, Src, i, N, R, G, B, X, Y, Z, S);
}

// The last part of a row block: the L* bytes (returning their sum) and the a*, b* pixels from
// the packed words. RowLeft is the number of pixels left in the row from the block on.
using TStoreBlock = std::int64_t (*)(const std::uint32_t *, const std::uint32_t *, const std::uint32_t *, int, int,
                                     std::uint8_t *, std::uint8_t *, std::uint8_t *);

// Four-byte stores, each overwriting the spare byte of the one before; the row's last pixel
// stores three, so nothing is written past the row.
std::int64_t StoreTail(const std::uint32_t *WL, const std::uint32_t *WA, const std::uint32_t *WB, int First, int N,
                       int RowLeft, std::uint8_t *L, std::uint8_t *A, std::uint8_t *B) {
  std::int64_t sum = 0;
  for (int i = First; i < N; ++i) {
    L[i] = static_cast<std::uint8_t>(WL[i]);
    sum += WL[i];
    const size_t bytes = i + 1 < RowLeft ? 4 : 3;
    std::memcpy(A + 3 * i, &WA[i], bytes);
    std::memcpy(B + 3 * i, &WB[i], bytes);
  }
  return sum;
}

std::int64_t StorePortable(const std::uint32_t *WL, const std::uint32_t *WA, const std::uint32_t *WB, int N,
                           int RowLeft, std::uint8_t *L, std::uint8_t *A, std::uint8_t *B) {
  return StoreTail(WL, WA, WB, 0, N, RowLeft, L, A, B);
}

// Eight pixels at a time: the words' bytes packed by shuffles. The 16-byte stores of the pixels
// reach four bytes past them, so they stop where that would leave the row.
__attribute__((target("avx2"))) std::int64_t StoreAVX2(const std::uint32_t *WL, const std::uint32_t *WA,
                                                       const std::uint32_t *WB, int N, int RowLeft, std::uint8_t *L,
                                                       std::uint8_t *A, std::uint8_t *B) {
  const __m256i first = _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4, 8, 12,
                                         -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m256i three = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4, 5, 6, 8,
                                         9, 10, 12, 13, 14, -1, -1, -1, -1);
  __m128i sum = _mm_setzero_si128();
  int i = 0;
  for (; i + 8 <= N && 3 * (i + 8) + 4 <= 3 * RowLeft; i += 8) {
    const __m256i l = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(WL + i)), first);
    const __m128i l8 = _mm_unpacklo_epi32(_mm256_castsi256_si128(l), _mm256_extracti128_si256(l, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(L + i), l8);
    sum = _mm_add_epi64(sum, _mm_sad_epu8(l8, _mm_setzero_si128()));
    const __m256i a = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(WA + i)), three);
    const __m256i b = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(WB + i)), three);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(A + 3 * i), _mm256_castsi256_si128(a));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(A + 3 * i + 12), _mm256_extracti128_si256(a, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(B + 3 * i), _mm256_castsi256_si128(b));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(B + 3 * i + 12), _mm256_extracti128_si256(b, 1));
  }
  // Only the low lane's sum counts: the unpacked bytes 8..15 are zero.
  return static_cast<std::int64_t>(_mm_cvtsi128_si64(sum)) + StoreTail(WL, WA, WB, i, N, RowLeft, L, A, B);
}

// The L* bytes of a block from their packed words, returning their sum.
std::int64_t StoreLTail(const std::uint32_t *WL, int First, int N, std::uint8_t *L) {
  std::int64_t sum = 0;
  for (int i = First; i < N; ++i) {
    L[i] = static_cast<std::uint8_t>(WL[i]);
    sum += WL[i];
  }
  return sum;
}

std::int64_t StoreLPortable(const std::uint32_t *WL, int N, std::uint8_t *L) { return StoreLTail(WL, 0, N, L); }

// Eight at a time: the low bytes of the words picked by a shuffle, the words summed as they are
// (a word of the L* table holds its byte alone).
__attribute__((target("avx2"))) std::int64_t StoreLAVX2(const std::uint32_t *WL, int N, std::uint8_t *L) {
  const __m256i pick = _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4, 8, 12, -1,
                                        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  __m256i acc = _mm256_setzero_si256();
  int i = 0;
  for (; i + 8 <= N; i += 8) {
    const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(WL + i));
    acc = _mm256_add_epi32(acc, w);
    const __m256i b = _mm256_shuffle_epi8(w, pick);
    _mm_storeu_si32(L + i, _mm256_castsi256_si128(b));
    _mm_storeu_si32(L + i + 4, _mm256_extracti128_si256(b, 1));
  }
  alignas(32) std::uint32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i *>(lanes), acc);
  std::int64_t sum = 0;
  for (std::uint32_t v : lanes) sum += v;
  return sum + StoreLTail(WL, i, N, L);
}

struct TKernel {
  TFrontBlock Front;
  TLabBlock Lab;
  TLookupBlock Lookup;
  TLookupL LookupL;
  TStoreBlock Store;
  std::int64_t (*StoreL)(const std::uint32_t *, int, std::uint8_t *);
};

// The vector path wants AVX2 and the fused multiply-adds that come with it.
bool HasAVX2() {
  static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return has;
}

std::atomic<TSimdPath> GForcedPath{spAuto};

TKernel ChooseKernel() {
  const bool avx2 = GForcedPath.load(std::memory_order_relaxed) != spPortable && HasAVX2();
  return avx2 ? TKernel{FrontAVX2, LabBlockAVX2, LookupBlockAVX2, LookupLAVX2, StoreAVX2, StoreLAVX2}
              : TKernel{FrontPortable, LabBlockPortable, LookupBlockPortable, LookupLPortable, StorePortable,
                        StoreLPortable};
}

} // namespace

void SetSimdPathForTests(TSimdPath Path) { GForcedPath.store(Path); }

TSimdPath ActiveSimdPath() { return ChooseKernel().Lab == LabBlockAVX2 ? spAVX2 : spPortable; }

static_assert(std::endian::native == std::endian::little, "packed byte words are stored little-endian");

void ExtractRow(const TExtractRow &Row, int Width, TSignalSums &Sums) {
  const TTables &t = Tables();
  const TKernel kernel = ChooseKernel();
  const TLabConst c{t.Lab.Xw, t.Lab.Yw, t.Lab.Zw};
  // Without the a* and b* pictures only L* is converted; the R, G and B bytes go to scratch rows
  // when their pictures are not wanted either.
  const bool full = Row.La != nullptr && Row.Lb != nullptr;
  const TTablesAB *ab = full ? &TablesAB() : nullptr;
  // Without L (a* and b* alone, for a picture whose L* page exists), no sums either.
  const bool withL = Row.L != nullptr;
  constexpr int Block = 256;
  alignas(32) float X[Block], Y[Block], Z[Block], L[Block], A[Block], B[Block];
  alignas(32) std::uint32_t WL[Block], WA[Block], WB[Block];
  alignas(32) std::uint8_t scratch[3][Block], scratchL[Block];
  if (!withL) std::fill(std::begin(WL), std::end(WL), 0u);
  std::int64_t s[6] = {}, sL = 0; // R, G, B, RG, GB, BR
  for (int x0 = 0; x0 < Width; x0 += Block) {
    const int n = std::min(Block, Width - x0);
    std::uint8_t *r = Row.R ? Row.R + x0 : scratch[0], *g = Row.G ? Row.G + x0 : scratch[1],
                 *b = Row.B ? Row.B + x0 : scratch[2];
    kernel.Front(t, Row.RGB + 3 * static_cast<size_t>(x0), n, Width - x0, r, g, b, full ? X : nullptr, Y,
                 full ? Z : nullptr, s);
    const int n8 = (n + 7) & ~7;
    for (int i = n; i < n8; ++i) X[i] = Y[i] = Z[i] = 0.5f;
    if (!full) {
      kernel.LookupL(t, Y, n8, WL);
      sL += kernel.StoreL(WL, n, Row.L + x0);
      continue;
    }
    kernel.Lab(X, Y, Z, L, A, B, n8, c);
    if (withL) kernel.Lookup(ab->StepL, L, n8, WL);
    kernel.Lookup(ab->StepA, A, n8, WA);
    kernel.Lookup(ab->StepB, B, n8, WB);
    std::uint8_t *pl = withL ? Row.L + x0 : scratchL, *pa = Row.La + 3 * static_cast<size_t>(x0),
                 *pb = Row.Lb + 3 * static_cast<size_t>(x0);
    sL += kernel.Store(WL, WA, WB, n, Width - x0, pl, pa, pb);
  }
  if (!withL) return;
  Sums.SSum[ncR] += s[0];
  Sums.SSum[ncG] += s[1];
  Sums.SSum[ncB] += s[2];
  Sums.SSum[ncL] += sL;
  Sums.SSum[ncRG] += s[3];
  Sums.SSum[ncGB] += s[4];
  Sums.SSum[ncBR] += s[5];
  Sums.SCount += Width;
  CountClipped(Row.RGB, Row.L, Width, Sums.Clipped);
}

namespace {
bool ClippedByte(std::uint8_t V) { return V == 0 || V == 255; }

void CountClippedPortable(const std::uint8_t *RGB, const std::uint8_t *L, int From, int Width,
                          std::array<std::int64_t, NoiseChannelCount> &C) {
  for (int x = From; x < Width; ++x) {
    const bool b = ClippedByte(RGB[3 * x]), g = ClippedByte(RGB[3 * x + 1]), r = ClippedByte(RGB[3 * x + 2]);
    C[ncR] += r;
    C[ncG] += g;
    C[ncB] += b;
    C[ncRG] += r || g;
    C[ncGB] += g || b;
    C[ncBR] += b || r;
    C[ncL] += ClippedByte(L[x]);
  }
}

int PopCount(unsigned __int128 V) {
  return __builtin_popcountll(static_cast<std::uint64_t>(V)) + __builtin_popcountll(static_cast<std::uint64_t>(V >> 64));
}

// One bit per byte of the 32 at P that is 0 or 255.
__attribute__((target("avx2"))) inline std::uint32_t ClippedBits(const std::uint8_t *P) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(P));
  const __m256i clipped = _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_setzero_si256()),
                                          _mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(0xFF))));
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(clipped));
}

// 32 pixels at a time: one bit per clipped byte, 96 bits for the pixels' blue, green and red, and
// each channel's count is that of its bits (a pair's: of either of its two).
__attribute__((target("avx2,popcnt"))) int CountClippedAVX2(const std::uint8_t *RGB, const std::uint8_t *L, int Width,
                                                            std::array<std::int64_t, NoiseChannelCount> &C) {
  // The blue bytes' positions, every third bit from bit 0.
  unsigned __int128 blue = 0;
  for (int i = 0; i < 96; i += 3) blue |= static_cast<unsigned __int128>(1) << i;
  std::int64_t r = 0, g = 0, b = 0, rg = 0, gb = 0, br = 0, l = 0;
  int x = 0;
  for (; x + 32 <= Width; x += 32) {
    const std::uint8_t *p = RGB + 3 * static_cast<std::size_t>(x);
    const unsigned __int128 m = static_cast<unsigned __int128>(ClippedBits(p)) |
                                static_cast<unsigned __int128>(ClippedBits(p + 32)) << 32 |
                                static_cast<unsigned __int128>(ClippedBits(p + 64)) << 64;
    const unsigned __int128 m1 = m >> 1, m2 = m >> 2;
    b += PopCount(m & blue);
    g += PopCount(m1 & blue);
    r += PopCount(m2 & blue);
    rg += PopCount((m1 | m2) & blue);
    gb += PopCount((m | m1) & blue);
    br += PopCount((m | m2) & blue);
    l += __builtin_popcount(ClippedBits(L + x));
  }
  C[ncR] += r;
  C[ncG] += g;
  C[ncB] += b;
  C[ncRG] += rg;
  C[ncGB] += gb;
  C[ncBR] += br;
  C[ncL] += l;
  return x;
}
} // namespace

void CountClipped(const std::uint8_t *RGB, const std::uint8_t *L, int Width,
                  std::array<std::int64_t, NoiseChannelCount> &Clipped) {
  const bool avx2 = GForcedPath.load(std::memory_order_relaxed) != spPortable && HasAVX2();
  const int done = avx2 ? CountClippedAVX2(RGB, L, Width, Clipped) : 0;
  CountClippedPortable(RGB, L, done, Width, Clipped);
}
