// Times the two phases of a picture job on a noisy 6000 x 4000 picture: the engine's part threads
// against straightforward per-pixel code (kept here, not in the product), checks that both give
// identical pictures and sums, and prints the times and ratios.
//
//   bench_engine [width height [runs [engine|both [flat]]]]
#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "bench/BenchPicture.h"
#include "engine/untKalvPicJobData.h"

namespace {

using Clock = std::chrono::steady_clock;

// Processor time of the whole process, in ms: on a busy machine the wall time of low-priority
// parts says little, the processor time still tells the work done.
double CpuMs() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

struct TTime {
  double Wall = 1e30, Cpu = 1e30;
};
template <class F> void Time(TTime &T, F &&Body) {
  const double c0 = CpuMs();
  const auto t0 = Clock::now();
  Body();
  T.Wall = std::min(T.Wall, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  T.Cpu = std::min(T.Cpu, CpuMs() - c0);
}

struct TPictures {
  TBitmap24 RGB, La, Lb;
  TBitmap08Pal R, G, B, L;
  void SetSize(int W, int H) {
    for (TBitmap *b : {static_cast<TBitmap *>(&La), static_cast<TBitmap *>(&Lb)}) static_cast<TBitmap24 *>(b)->SetSize(W, H);
    R.SetSize(W, H);
    G.SetSize(W, H);
    B.SetSize(W, H);
    L.SetSize(W, H);
  }
};

// --- The straightforward reference --------------------------------------------------------

// Per pixel: the R, G, B pictures and signals, then Convert(R, G, B, L byte, a* pixel, b* pixel).
template <class F>
void ExtractPartWith(TPictures &P, int First, int Count, std::array<TChannelNoiseData, 7> &D, F &&Convert) {
  const int W = P.RGB.Width();
  for (int y = First; y < First + Count; ++y) {
    const std::uint8_t *src = P.RGB.ScanLine(y);
    std::uint8_t *r = P.R.ScanLine(y), *g = P.G.ScanLine(y), *b = P.B.ScanLine(y), *l = P.L.ScanLine(y),
                 *la = P.La.ScanLine(y), *lb = P.Lb.ScanLine(y);
    for (int x = 0; x < W; ++x) {
      const int B = src[3 * x], G = src[3 * x + 1], R = src[3 * x + 2];
      r[x] = static_cast<std::uint8_t>(R);
      g[x] = static_cast<std::uint8_t>(G);
      b[x] = static_cast<std::uint8_t>(B);
      D[ncR].AddSignal(R);
      D[ncG].AddSignal(G);
      D[ncB].AddSignal(B);
      D[ncRG].AddSignal((R + G) >> 1);
      D[ncGB].AddSignal((G + B) >> 1);
      D[ncBR].AddSignal((B + R) >> 1);
      Convert(R, G, B, l[x], la + 3 * x, lb + 3 * x);
      D[ncL].AddSignal(l[x]);
    }
  }
}

// The direct formulas, pixel by pixel.
void RefExtractPart(TPictures &P, int First, int Count, std::array<TChannelNoiseData, 7> &D) {
  const TLab lab = TLab::D65();
  ExtractPartWith(P, First, Count, D, [&](int R, int G, int B, std::uint8_t &L8, std::uint8_t *La, std::uint8_t *Lb) {
    float L, a, bb;
    RGBToLab(lab, static_cast<std::uint8_t>(R), static_cast<std::uint8_t>(G), static_cast<std::uint8_t>(B), L, a, bb);
    std::uint8_t o1, o2, o3;
    LabToRGB(lab, L, 0, 0, o1, o2, o3);
    L8 = o1;
    LabToRGB(lab, 75, a, 0, La[2], La[1], La[0]);
    LabToRGB(lab, 75, 0, bb, Lb[2], Lb[1], Lb[0]);
  });
}

// The plainest extraction one would write: float constants, cbrtf, three conversions per pixel.
// Its bytes differ from the engine's in rare colours (the engine's products are exact), so it is
// only timed, as the yardstick for the speed targets.
void PlainLab(float R, float G, float B, float &L, float &a, float &b) {
  const float X = (0.4124564f * R + 0.3575761f * G + 0.1804375f * B) / 0.950470f;
  const float Y = 0.2126729f * R + 0.7151522f * G + 0.0721750f * B;
  const float Z = (0.0193339f * R + 0.1191920f * G + 0.9503041f * B) / 1.088830f;
  auto f = [](float t) { return t > 0.008856452f ? std::cbrt(t) : (903.2963f * t + 16.0f) / 116.0f; };
  const float fx = f(X), fy = f(Y), fz = f(Z);
  L = 116.0f * fy - 16.0f;
  a = 500.0f * (fx - fy);
  b = 200.0f * (fy - fz);
}
void PlainRGB(float L, float a, float b, std::uint8_t *Out) {
  const float fy = (L + 16.0f) / 116.0f, fx = fy + a / 500.0f, fz = fy - b / 200.0f;
  auto g = [](float t) { return t > 0.2068966f ? t * t * t : (116.0f * t - 16.0f) / 903.2963f; };
  const float X = g(fx) * 0.950470f, Y = g(fy), Z = g(fz) * 1.088830f;
  const float c[3] = {3.2404542f * X - 1.5371385f * Y - 0.4985314f * Z, -0.9692660f * X + 1.8760108f * Y + 0.0415560f * Z,
                      0.0556434f * X - 0.2040259f * Y + 1.0572252f * Z};
  for (int i = 0; i < 3; ++i) {
    const float v = std::nearbyint(c[i] * 255.0f);
    Out[2 - i] = static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
  }
}
void PlainExtractPart(TPictures &P, int First, int Count, std::array<TChannelNoiseData, 7> &D) {
  ExtractPartWith(P, First, Count, D, [](int R, int G, int B, std::uint8_t &L8, std::uint8_t *La, std::uint8_t *Lb) {
    float L, a, bb;
    PlainLab(static_cast<float>(R) / 255.0f, static_cast<float>(G) / 255.0f, static_cast<float>(B) / 255.0f, L, a, bb);
    std::uint8_t o[3];
    PlainRGB(L, 0, 0, o);
    L8 = o[0];
    PlainRGB(75, a, 0, La);
    PlainRGB(75, 0, bb, Lb);
  });
}

void RefNoisePart(TPictures &P, int First, int Count, std::array<TChannelNoiseData, 7> &D) {
  const int W = P.RGB.Width(), H = P.RGB.Height();
  auto pair = [&](const std::uint8_t *p, int pl, const std::uint8_t *c, int cl) {
    const int dR = p[2] - c[2], dG = p[1] - c[1], dB = p[0] - c[0];
    D[ncR].AddNoise(dR);
    D[ncG].AddNoise(dG);
    D[ncB].AddNoise(dB);
    D[ncRG].AddNoise(dR - dG);
    D[ncGB].AddNoise(dG - dB);
    D[ncBR].AddNoise(dB - dR);
    D[ncL].AddNoise(pl - cl);
  };
  for (int y = First; y < First + Count; ++y) {
    const int py = y == 0 ? H - 1 : y - 1;
    const std::uint8_t *cur = P.RGB.ScanLine(y), *prev = P.RGB.ScanLine(py), *cl = P.L.ScanLine(y),
                       *pl = P.L.ScanLine(py);
    for (int x = 1; x < W; ++x) {
      pair(cur + 3 * (x - 1), cl[x - 1], cur + 3 * x, cl[x]);
      for (int xx = x - 1; xx <= x + 1 && xx < W; ++xx) pair(prev + 3 * xx, pl[xx], cur + 3 * x, cl[x]);
    }
  }
}

template <class F> double RunParts(int H, int N, F &&Part) {
  const auto t0 = Clock::now();
  std::vector<std::thread> threads;
  for (const TPartRows &p : SplitRows(H, N)) threads.emplace_back([&, p] { Part(p.First, p.Count); });
  for (auto &t : threads) t.join();
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// --- The engine ------------------------------------------------------------------------------

struct TEngineAcc {
  TChannelNoiseSync Ns[7];
  TPicNoiseTargets Targets() { return {&Ns[0], &Ns[1], &Ns[2], &Ns[3], &Ns[4], &Ns[5], &Ns[6]}; }
};

double EngineExtract(TPictures &P, int N, TEngineAcc &A) {
  const auto t0 = Clock::now();
  TPicThreadList list;
  const int W = P.RGB.Width();
  for (const TPartRows &p : SplitRows(P.RGB.Height(), N)) {
    auto *t = new TPicPartThreadData(list, A.Targets(), W);
    for (int y = p.First; y < p.First + p.Count; ++y)
      t->AddRows(P.RGB.ScanLine(y), P.R.ScanLine(y), P.G.ScanLine(y), P.B.ScanLine(y), P.L.ScanLine(y),
                 P.La.ScanLine(y), P.Lb.ScanLine(y));
    t->Start();
  }
  while (list.Event.WaitFor(200) != wrSignaled) {
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double EngineNoise(TPictures &P, int N, TEngineAcc &A) {
  const auto t0 = Clock::now();
  TPicThreadList list;
  const int W = P.RGB.Width(), H = P.RGB.Height();
  for (const TPartRows &p : SplitRows(H, N)) {
    auto *t = new TPicPartThreadNoise(list, A.Targets(), W);
    const int py = p.First == 0 ? H - 1 : p.First - 1;
    t->AddRow(P.RGB.ScanLine(py), P.L.ScanLine(py));
    for (int y = p.First; y < p.First + p.Count; ++y) t->AddRow(P.RGB.ScanLine(y), P.L.ScanLine(y));
    t->Start();
  }
  while (list.Event.WaitFor(200) != wrSignaled) {
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

bool SamePictures(TPictures &A, TPictures &B) {
  const int W = A.RGB.Width(), H = A.RGB.Height();
  for (int y = 0; y < H; ++y) {
    if (std::memcmp(A.R.ScanLine(y), B.R.ScanLine(y), W) || std::memcmp(A.G.ScanLine(y), B.G.ScanLine(y), W) ||
        std::memcmp(A.B.ScanLine(y), B.B.ScanLine(y), W) || std::memcmp(A.L.ScanLine(y), B.L.ScanLine(y), W) ||
        std::memcmp(A.La.ScanLine(y), B.La.ScanLine(y), 3 * W) || std::memcmp(A.Lb.ScanLine(y), B.Lb.ScanLine(y), 3 * W))
      return false;
  }
  return true;
}

bool SameData(const TChannelNoiseData &A, const TChannelNoiseData &B) {
  return A.SSum == B.SSum && A.SCount == B.SCount && A.NSum == B.NSum && A.NCount == B.NCount &&
         A.HistogramData() == B.HistogramData();
}

} // namespace

int main(int argc, char **argv) {
  const int W = argc > 2 ? std::atoi(argv[1]) : 6000, H = argc > 2 ? std::atoi(argv[2]) : 4000;
  const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
  // "engine" as the fourth argument times the engine alone (for profiling); "flat" as the fifth
  // times a flat picture.
  const bool engineOnly = argc > 4 && std::strcmp(argv[4], "engine") == 0;
  const bool flat = argc > 5 && std::strcmp(argv[5], "flat") == 0;
  const int N = PicPartCount();
  std::printf("picture %d x %d, %d parts, SIMD path %s\n", W, H, N, ActiveSimdPath() == spAVX2 ? "AVX2" : "portable");

  TPictures ref, eng;
  bench::MakePicture(ref.RGB, W, H, flat);
  eng.RGB.Assign(&ref.RGB);
  ref.SetSize(W, H);
  eng.SetSize(W, H);

  // Builds the engine's tables once, as the first job of a process would.
  const auto tt = Clock::now();
  {
    TBitmap24 one;
    one.SetSize(1, 1);
    TPictures p;
    p.RGB.Assign(&one);
    p.SetSize(1, 1);
    TEngineAcc a;
    EngineExtract(p, 1, a);
  }
  const double tableMs = std::chrono::duration<double, std::milli>(Clock::now() - tt).count();

  TTime refX, refN, engX, engN, plainX;
  bool same = true;
  for (int run = 0; run < runs; ++run) {
    std::vector<std::array<TChannelNoiseData, 7>> refParts(static_cast<size_t>(N));
    std::vector<TPartRows> split = SplitRows(H, N);
    std::vector<std::array<TChannelNoiseData, 7>> px(static_cast<size_t>(N)), pn(static_cast<size_t>(N));
    auto index = [&](int First) {
      for (size_t i = 0; i < split.size(); ++i)
        if (split[i].First == First) return i;
      return size_t{0};
    };
    if (!engineOnly) Time(refX, [&] { RunParts(H, N, [&](int f, int c) { RefExtractPart(ref, f, c, px[index(f)]); }); });
    if (!engineOnly) {
      TPictures scratch;
      scratch.RGB.Assign(&ref.RGB);
      scratch.SetSize(W, H);
      std::vector<std::array<TChannelNoiseData, 7>> ps(static_cast<size_t>(N));
      Time(plainX, [&] { RunParts(H, N, [&](int f, int c) { PlainExtractPart(scratch, f, c, ps[index(f)]); }); });
    }
    if (!engineOnly) Time(refN, [&] { RunParts(H, N, [&](int f, int c) { RefNoisePart(ref, f, c, pn[index(f)]); }); });
    std::array<TChannelNoiseData, 7> refTotal;
    for (int i = 0; i < N; ++i)
      for (int c = 0; c < 7; ++c) {
        refTotal[c].AddData(&px[static_cast<size_t>(i)][c]);
        refTotal[c].AddData(&pn[static_cast<size_t>(i)][c]);
      }

    TEngineAcc acc;
    Time(engX, [&] { EngineExtract(eng, N, acc); });
    Time(engN, [&] { EngineNoise(eng, N, acc); });
    if (!engineOnly) {
      same = same && SamePictures(ref, eng);
      for (int c = 0; c < 7; ++c) same = same && SameData(refTotal[c], acc.Ns[c]);
    }
  }
  std::printf("tables (once per process): %.1f ms\n", tableMs);
  auto line = [](const char *What, const TTime &R, const TTime &E) {
    std::printf("%s reference %.1f ms, engine %.1f ms (%.2f x faster); processor time %.1f ms vs %.1f ms (%.2f x)\n",
                What, R.Wall, E.Wall, R.Wall / E.Wall, R.Cpu, E.Cpu, R.Cpu / E.Cpu);
  };
  line("extraction:", refX, engX);
  line("noise:     ", refN, engN);
  if (!engineOnly)
    std::printf("extraction against the plainest float code (cbrtf, float constants; timed only): %.1f ms, "
                "engine %.2f x faster\n",
                plainX.Wall, plainX.Wall / engX.Wall);
  // The clipped-pixel counts ride on the extraction; alone, on one thread, over the whole picture
  // they cost this share of the two passes' processor time.
  TTime clip;
  for (int run = 0; run < runs; ++run) {
    std::array<std::int64_t, NoiseChannelCount> clipped{};
    Time(clip, [&] {
      for (int y = 0; y < H; ++y) CountClipped(eng.RGB.ScanLine(y), eng.L.ScanLine(y), W, clipped);
    });
  }
  std::printf("clipped pixels counted: %.1f ms processor time, %.1f%% of extraction and noise (%.1f ms)\n", clip.Cpu,
              100.0 * clip.Cpu / (engX.Cpu + engN.Cpu), engX.Cpu + engN.Cpu);
  std::printf("results identical: %s (best of %d runs)\n", same ? "yes" : "NO", runs);
  return same ? 0 : 1;
}
