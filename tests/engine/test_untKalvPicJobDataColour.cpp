// Colour arithmetic: the Part's figures, and the fast extraction path against the direct formulas
// for every RGB colour.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "engine/untKalvPicJobData.h"

namespace {

struct TPix {
  int R, G, B;
};

// L*, a* and b* picture pixels by the direct formulas.
void Direct(const TLab &lab, int R, int G, int B, std::uint8_t &Lp, TPix &La, TPix &Lb) {
  float L, a, b;
  RGBToLab(lab, static_cast<std::uint8_t>(R), static_cast<std::uint8_t>(G), static_cast<std::uint8_t>(B), L, a, b);
  std::uint8_t r, g, bl;
  LabToRGB(lab, L, 0, 0, r, g, bl);
  Lp = r;
  LabToRGB(lab, 75, a, 0, r, g, bl);
  La = {r, g, bl};
  LabToRGB(lab, 75, 0, b, r, g, bl);
  Lb = {r, g, bl};
}

TEST(Colour, WhitePointIsComputedInSinglePrecision) {
  const TLab lab = TLab::D65();
  EXPECT_EQ(lab.x, 0.312713f);
  EXPECT_EQ(lab.y, 0.329016f);
  EXPECT_EQ(lab.z, 0.35827097f);
  EXPECT_EQ(lab.Zw, 1.0889165f);
  EXPECT_NEAR(lab.Xw, 0.9504492f, 1e-7f);
  EXPECT_EQ(lab.Yw, 1.0f);
}

TEST(Colour, CubeRootIsWithinOneStepOfTheExactRoot) {
  // Over the range the engine uses (eps .. 1.1), against the long double root rounded once.
  int off = 0;
  for (float t = 0.008856452f; t < 1.1f; t = std::nextafter(t, 2.0f) + t * 1e-5f) {
    const float exact = static_cast<float>(std::cbrt(static_cast<long double>(t)));
    const float mine = CubeRoot(t);
    ASSERT_LE(std::fabs(mine - exact), std::fabs(std::nextafter(exact, 2.0f) - exact)) << t;
    off += mine != exact;
  }
  EXPECT_LT(off, 5);
}

TEST(Colour, KnownColours) {
  const TLab lab = TLab::D65();
  float L, a, b;
  std::uint8_t Lp;
  TPix La, Lb;
  // Pure red.
  RGBToLab(lab, 255, 0, 0, L, a, b);
  EXPECT_NEAR(L, 53.24f, 0.01f);
  EXPECT_NEAR(a, 80.10f, 0.01f);
  EXPECT_NEAR(b, 67.20f, 0.01f);
  Direct(lab, 255, 0, 0, Lp, La, Lb);
  EXPECT_EQ(Lp, 54);
  EXPECT_EQ(La.R, 255); EXPECT_EQ(La.G, 38); EXPECT_EQ(La.B, 128);
  EXPECT_EQ(Lb.R, 177); EXPECT_EQ(Lb.G, 119); EXPECT_EQ(Lb.B, 8);
  // Pure blue.
  RGBToLab(lab, 0, 0, 255, L, a, b);
  EXPECT_NEAR(L, 32.30f, 0.01f);
  EXPECT_NEAR(a, 79.19f, 0.01f);
  EXPECT_NEAR(b, -107.86f, 0.01f);
  Direct(lab, 0, 0, 255, Lp, La, Lb);
  EXPECT_EQ(Lp, 18);
  EXPECT_EQ(Lb.R, 0); EXPECT_EQ(Lb.G, 144); EXPECT_EQ(Lb.B, 255);
  // Gray 128: no gamma in either direction.
  RGBToLab(lab, 128, 128, 128, L, a, b);
  EXPECT_NEAR(L, 76.19f, 0.01f);
  Direct(lab, 128, 128, 128, Lp, La, Lb);
  EXPECT_EQ(Lp, 128);
  // Black and white.
  RGBToLab(lab, 0, 0, 0, L, a, b);
  EXPECT_EQ(L, 0.0f);
  Direct(lab, 0, 0, 0, Lp, La, Lb);
  EXPECT_EQ(Lp, 0);
  RGBToLab(lab, 255, 255, 255, L, a, b);
  EXPECT_NEAR(L, 100.0f, 1e-4f);
  Direct(lab, 255, 255, 255, Lp, La, Lb);
  EXPECT_EQ(Lp, 255);
  // Every gray: a and b near 0, L* within one step, a* and b* pixels the gray 123 of L* = 75.
  for (int v = 0; v < 256; ++v) {
    RGBToLab(lab, v, v, v, L, a, b);
    EXPECT_NEAR(a, 0.0f, 0.01f) << v;
    EXPECT_NEAR(b, 0.0f, 0.01f) << v;
    Direct(lab, v, v, v, Lp, La, Lb);
    EXPECT_LE(std::abs(Lp - v), 1) << v;
    EXPECT_EQ(La.R, 123); EXPECT_EQ(La.G, 123); EXPECT_EQ(La.B, 123);
    EXPECT_EQ(Lb.R, 123); EXPECT_EQ(Lb.G, 123); EXPECT_EQ(Lb.B, 123);
  }
  // Saturated colours clamp instead of wrapping: b* of pure yellow is far outside sRGB at L* 75.
  std::uint8_t r, g, bl;
  LabToRGB(lab, 75, 0, 150, r, g, bl);
  EXPECT_EQ(bl, 0);
  LabToRGB(lab, 75, 0, -150, r, g, bl);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(bl, 255);
  LabToRGB(lab, 75, 200, 0, r, g, bl);
  EXPECT_EQ(r, 255);
  EXPECT_EQ(g, 0);
}

// All 2^24 colours through ExtractRow (both vector paths) against the direct formulas. The
// sanitizer builds check every 7th red value: the same code, in a time the slower build affords.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int RedStride = 7;
#else
constexpr int RedStride = 1;
#endif

// One red plane (all green and blue values) through ExtractRow, in rows of uneven width so that
// blocks and vector tails of every length occur.
struct TPlane {
  std::vector<std::uint8_t> src = std::vector<std::uint8_t>(65536 * 3), r = std::vector<std::uint8_t>(65536),
                            g = r, b = r, l = r, la = src, lb = src, lOnly = r, laOnly = src, lbOnly = src;
  TSignalSums sums, sumsLOnly; // lOnly, sumsLOnly: the measurement's L* alone; laOnly, lbOnly: a*, b* alone
  void Run(int R) {
    for (int i = 0; i < 65536; ++i) {
      src[3 * i] = static_cast<std::uint8_t>(i & 0xFF); // blue
      src[3 * i + 1] = static_cast<std::uint8_t>(i >> 8); // green
      src[3 * i + 2] = static_cast<std::uint8_t>(R);
    }
    sums = sumsLOnly = TSignalSums();
    int x = 0, w = 1;
    while (x < 65536) {
      const int n = std::min(w, 65536 - x);
      ExtractRow(TExtractRow{&src[3 * x], &r[x], &g[x], &b[x], &l[x], &la[3 * x], &lb[3 * x]}, n, sums);
      ExtractRow(TExtractRow{&src[3 * x], nullptr, nullptr, nullptr, &lOnly[x], nullptr, nullptr}, n, sumsLOnly);
      TSignalSums none;
      ExtractRow(TExtractRow{&src[3 * x], nullptr, nullptr, nullptr, nullptr, &laOnly[3 * x], &lbOnly[3 * x]}, n, none);
      x += n;
      w = w * 3 + 1;
    }
  }
  bool operator==(const TPlane &o) const {
    return r == o.r && g == o.g && b == o.b && l == o.l && la == o.la && lb == o.lb && sums.SSum == o.sums.SSum &&
           sums.SCount == o.sums.SCount && lOnly == o.lOnly && sumsLOnly.SSum == o.sumsLOnly.SSum &&
           laOnly == o.laOnly && lbOnly == o.lbOnly;
  }
};

TEST(Colour, FastPathEqualsDirectFormulasForEveryColour) {
  const TLab lab = TLab::D65();
  std::atomic<long> mismatches{0}, sumErrors{0}, pathDiffs{0};
  const bool avx2 = __builtin_cpu_supports("avx2");
  auto work = [&](int rFirst, int rStep) {
    TPlane p, q;
    for (int R = rFirst; R < 256; R += rStep) {
      SetSimdPathForTests(spPortable);
      p.Run(R);
      if (avx2) {
        SetSimdPathForTests(spAVX2);
        q.Run(R);
        if (!(p == q)) ++pathDiffs;
      }
      std::int64_t sumL = 0, sRG = 0, sGB = 0, sBR = 0;
      for (int i = 0; i < 65536; ++i) {
        std::uint8_t Lp;
        TPix La, Lb;
        const int B = i & 0xFF, G = i >> 8;
        Direct(lab, R, G, B, Lp, La, Lb);
        sumL += Lp;
        sRG += (R + G) >> 1;
        sGB += (G + B) >> 1;
        sBR += (B + R) >> 1;
        const bool ok = p.r[i] == R && p.g[i] == G && p.b[i] == B && p.l[i] == Lp && p.lOnly[i] == Lp && p.la[3 * i + 2] == La.R &&
                        p.la[3 * i + 1] == La.G && p.la[3 * i] == La.B && p.lb[3 * i + 2] == Lb.R &&
                        p.lb[3 * i + 1] == Lb.G && p.lb[3 * i] == Lb.B;
        if (!ok && mismatches.fetch_add(1) < 10)
          ADD_FAILURE() << "colour " << R << "," << G << "," << B << ": L " << int(p.l[i]) << " (alone "
                        << int(p.lOnly[i]) << ") vs " << int(Lp)
                        << ", a* " << int(p.la[3 * i + 2]) << "," << int(p.la[3 * i + 1]) << "," << int(p.la[3 * i])
                        << " vs " << La.R << "," << La.G << "," << La.B << ", b* " << int(p.lb[3 * i + 2]) << ","
                        << int(p.lb[3 * i + 1]) << "," << int(p.lb[3 * i]) << " vs " << Lb.R << "," << Lb.G << ","
                        << Lb.B;
      }
      const TSignalSums &s = p.sums;
      if (s.SCount != 65536 || s.SSum[ncR] != 65536LL * R || s.SSum[ncG] != 255LL * 128 * 256 ||
          s.SSum[ncB] != 255LL * 128 * 256 || s.SSum[ncL] != sumL || s.SSum[ncRG] != sRG || s.SSum[ncGB] != sGB ||
          s.SSum[ncBR] != sBR || p.sumsLOnly.SSum != s.SSum || p.sumsLOnly.Clipped != s.Clipped ||
          p.laOnly != p.la || p.lbOnly != p.lb)
        ++sumErrors;
    }
  };
  std::thread t1(work, 0, 2 * RedStride);
  work(RedStride, 2 * RedStride);
  t1.join();
  SetSimdPathForTests(spAuto);
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(sumErrors.load(), 0);
  EXPECT_EQ(pathDiffs.load(), 0);
}

} // namespace
