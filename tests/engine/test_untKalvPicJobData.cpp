// Noise accumulators, the part-thread list and both phases of the part threads against a
// straightforward per-pixel reference.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>

#include "engine/untKalvPicJobData.h"

namespace {

// --- Accumulators ----------------------------------------------------------------------------

TEST(ChannelNoise, SumsCountsAndHistogram) {
  TChannelNoiseData d(clRed);
  EXPECT_EQ(d.Color, 255);
  float v = -1;
  EXPECT_FALSE(d.GetSMean(v));
  EXPECT_FALSE(d.GetNMean(v));
  EXPECT_FALSE(d.GetSNRatio(v));
  EXPECT_EQ(v, -1); // untouched
  d.AddSignal(-7);
  d.AddSignal(3);
  EXPECT_EQ(d.SSum, 10);
  EXPECT_EQ(d.SCount, 2);
  d.AddNoise(510); // a pair difference: counted in the last entry, summed in full
  d.AddNoise(-3);
  d.AddNoise(0);
  EXPECT_EQ(d.NSum, 513);
  EXPECT_EQ(d.NCount, 3);
  EXPECT_EQ(d.Histogram(255), 1);
  EXPECT_EQ(d.Histogram(3), 1);
  EXPECT_EQ(d.Histogram(0), 1);
  EXPECT_EQ(d.Histogram(256 + 3), 1); // the index is taken as a byte
  d.AddData(nullptr);
  EXPECT_EQ(d.NCount, 3);

  TChannelNoiseSync s(clBtnFace);
  EXPECT_EQ(static_cast<std::uint32_t>(s.Color) & 0x80000000u, 0u); // system colour resolved
  s.AddData(&d);
  s.AddData(&d);
  EXPECT_EQ(s.NSum, 1026);
  EXPECT_EQ(s.Histogram(255), 2);
  TChannelNoiseData copy;
  copy.Assign(&s);
  EXPECT_EQ(copy.Color, s.Color);
  EXPECT_EQ(copy.NCount, 6);
  EXPECT_EQ(copy.HistogramData(), s.HistogramData());
  TChannelNoiseSync copy2;
  copy2.Assign(&s);
  EXPECT_EQ(copy2.SSum, 20);
  TBitmap24 notNoise;
  EXPECT_THROW(copy.Assign(&notNoise), EConvertError);
}

TEST(ChannelNoise, Ratios) {
  TChannelNoiseData d;
  d.SSum = 200;
  d.SCount = 1;
  d.NSum = 4;
  d.NCount = 2;
  float v = 0;
  ASSERT_TRUE(d.GetSNRatio(v));
  EXPECT_NEAR(v, 20.0f, 1e-5f);
  ASSERT_TRUE(d.GetNMean(v));
  EXPECT_EQ(v, 2.0f);
  d.NSum = 0; // flat: N mean 0, no ratio, means still there
  EXPECT_FALSE(d.GetSNRatio(v));
  EXPECT_TRUE(d.GetNMean(v));
  EXPECT_EQ(v, 0.0f);
  d.NSum = 4;
  d.SSum = 0; // S mean 0 with noise: no finite ratio, so none
  v = 7;
  EXPECT_FALSE(d.GetSNRatio(v));
  EXPECT_EQ(v, 7);
  EXPECT_TRUE(d.GetSMean(v));
  EXPECT_EQ(v, 0.0f);
}

TEST(ChannelNoise, ConcurrentMergesAreNotLost) {
  TChannelNoiseSync s;
  TChannelNoiseData one;
  one.AddSignal(1);
  one.AddNoise(300);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) s.AddData(&one);
    });
  TChannelNoiseData reader;
  for (int i = 0; i < 200; ++i) {
    reader.Assign(&s);
    EXPECT_EQ(reader.NCount, reader.Histogram(255));
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(s.SCount, 8000);
  EXPECT_EQ(s.NSum, 8000 * 300);
  EXPECT_EQ(s.Histogram(255), 8000);
}

TEST(Channels, CaptionsColoursAndPalette) {
  EXPECT_STREQ(NoiseChannelCaption(ncL), "L*");
  EXPECT_STREQ(NoiseChannelCaption(ncBR), "BR");
  EXPECT_EQ(NoiseChannelColor(ncRG), 899312);
  EXPECT_EQ(NoiseChannelColor(ncGB), 12697856);
  EXPECT_EQ(NoiseChannelColor(ncBR), 11731123);
  EXPECT_STREQ(PicKindCaption(pkLa), "a*");
  EXPECT_EQ(static_cast<int>(pkLb), 7);
  TBitmap08Pal p;
  p.SetChannelPalette(7);
  p.SetSize(3, 2);
  EXPECT_EQ(p.PixelFormat(), pf8bit);
  EXPECT_EQ(p.ColorTable()[200], RGBColor(200, 200, 200));
  p.SetChannelPalette(2);
  EXPECT_EQ(p.ColorTable()[200], RGBColor(0, 200, 0));
  p.ScanLine(1)[2] = 9;
  p.SetSize(3, 2); // same size: nothing happens
  EXPECT_EQ(p.ScanLine(1)[2], 9);
}

// --- Splitting and the list ------------------------------------------------------------------

TEST(PartThreads, SplitRows) {
  auto parts = SplitRows(10, 4);
  ASSERT_EQ(parts.size(), 4u);
  EXPECT_EQ(parts[0].First, 0); EXPECT_EQ(parts[0].Count, 3);
  EXPECT_EQ(parts[1].First, 3); EXPECT_EQ(parts[1].Count, 3);
  EXPECT_EQ(parts[2].First, 6); EXPECT_EQ(parts[2].Count, 2);
  EXPECT_EQ(parts[3].First, 8); EXPECT_EQ(parts[3].Count, 2);
  parts = SplitRows(3, 8);
  ASSERT_EQ(parts.size(), 8u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(parts[i].Count, i < 3 ? 1 : 0);
  EXPECT_EQ(SplitRows(5, 0).size(), 1u);
  EXPECT_GE(PicPartCount(), 1);
}

class TThrowingPart : public TPicPartThread {
public:
  using TPicPartThread::TPicPartThread;
  std::atomic<bool> *Ran = nullptr;

protected:
  void DoWork() override {
    Data[ncR]->AddSignal(5);
    if (Ran) Ran->store(true);
    throw EInvalidOperation("broken part");
  }
};

TEST(PartThreads, ListEventFailuresAndUnstartedParts) {
  TPicThreadList list;
  EXPECT_EQ(list.Event.WaitFor(0), wrSignaled); // created set: no parts
  TChannelNoiseSync ns[7];
  TPicNoiseTargets targets{&ns[0], &ns[1], &ns[2], &ns[3], &ns[4], &ns[5], &ns[6]};

  // A part that is never started leaves the list when freed.
  auto *idle = new TPicPartThreadData(list, targets, 4);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Event.WaitFor(0), wrTimeout);
  EXPECT_EQ(idle->Priority(), tpLowest);
  delete idle;
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Event.WaitFor(0), wrSignaled);

  // A failing part merges nothing but still leaves; a part without rows merges zeros.
  std::atomic<bool> ran{false};
  auto *bad = new TThrowingPart(list, targets, 4);
  bad->Ran = &ran;
  auto *empty = new TPicPartThreadNoise(list, targets, 4);
  empty->Terminate(); // recorded, not consulted
  bad->Start();
  empty->Start();
  ASSERT_EQ(list.Event.WaitFor(10000), wrSignaled);
  EXPECT_TRUE(ran.load());
  EXPECT_EQ(list.Count(), 0);
  for (auto &n : ns) {
    EXPECT_EQ(n.SCount, 0);
    EXPECT_EQ(n.NCount, 0);
  }

  // Parts handed to the runners from several threads at once: each runs once and leaves its
  // list, a failing one keeps its error there, and the runners stay for the next parts.
  for (int round = 0; round < 2; ++round) {
    TPicThreadList lists[3];
    std::vector<std::thread> senders;
    for (TPicThreadList &l : lists)
      senders.emplace_back([&l, &targets, round] {
        for (int i = 0; i < 20; ++i) {
          std::unique_ptr<TPicPartThread> part;
          if (i == 7 && round == 1) part = std::make_unique<TThrowingPart>(l, targets, 4);
          else part = std::make_unique<TPicPartThreadData>(l, targets, 4); // no rows: merges zeros
          RunPicPart(std::move(part));
        }
      });
    for (std::thread &t : senders) t.join();
    for (TPicThreadList &l : lists) {
      ASSERT_EQ(l.Event.WaitFor(10000), wrSignaled);
      EXPECT_EQ(l.Count(), 0);
      EXPECT_EQ(static_cast<bool>(l.TakeFailure()), round == 1);
    }
  }
  EXPECT_EQ(ns[ncR].SCount, 0);
}

// --- Both phases, as a job runs them ---------------------------------------------------------

struct TRun {
  TBitmap24 RGB, La, Lb;
  TBitmap08Pal R, G, B, L;
  TChannelNoiseSync Ns[7];
  TPicNoiseTargets Targets() { return {&Ns[0], &Ns[1], &Ns[2], &Ns[3], &Ns[4], &Ns[5], &Ns[6]}; }

  void Run(const TBitmap24 &Src, int Parts) {
    RGB.Assign(&Src);
    const int W = RGB.Width(), H = RGB.Height();
    La.SetSize(W, H);
    Lb.SetSize(W, H);
    for (TBitmap08Pal *p : {&R, &G, &B, &L}) {
      p->SetChannelPalette(7);
      p->SetSize(W, H);
    }
    TPicThreadList list;
    for (const TPartRows &p : SplitRows(H, Parts)) {
      auto *t = new TPicPartThreadData(list, Targets(), W);
      for (int y = p.First; y < p.First + p.Count; ++y)
        t->AddRows(RGB.ScanLine(y), R.ScanLine(y), G.ScanLine(y), B.ScanLine(y), L.ScanLine(y), La.ScanLine(y),
                   Lb.ScanLine(y));
      t->Start();
    }
    ASSERT_EQ(list.Event.WaitFor(60000), wrSignaled);
    for (const TPartRows &p : SplitRows(H, Parts)) {
      auto *t = new TPicPartThreadNoise(list, Targets(), W);
      const int py = p.First == 0 ? H - 1 : p.First - 1;
      t->AddRow(RGB.ScanLine(py), L.ScanLine(py));
      for (int y = p.First; y < p.First + p.Count; ++y) t->AddRow(RGB.ScanLine(y), L.ScanLine(y));
      t->Start();
    }
    ASSERT_EQ(list.Event.WaitFor(60000), wrSignaled);
  }
};

// The Part's rules, one sample at a time.
void Reference(const TBitmap24 &Src, std::array<TChannelNoiseData, 7> &D, std::vector<std::uint8_t> &Lpic) {
  const TLab lab = TLab::D65();
  const int W = Src.Width(), H = Src.Height();
  Lpic.assign(static_cast<size_t>(W * H), 0);
  for (int y = 0; y < H; ++y) {
    const std::uint8_t *s = Src.ScanLine(y);
    for (int x = 0; x < W; ++x) {
      const int B = s[3 * x], G = s[3 * x + 1], R = s[3 * x + 2];
      float L, a, b;
      RGBToLab(lab, static_cast<std::uint8_t>(R), static_cast<std::uint8_t>(G), static_cast<std::uint8_t>(B), L, a, b);
      std::uint8_t lr, lg, lb;
      LabToRGB(lab, L, 0, 0, lr, lg, lb);
      Lpic[static_cast<size_t>(y * W + x)] = lr;
      D[ncR].AddSignal(R);
      D[ncG].AddSignal(G);
      D[ncB].AddSignal(B);
      D[ncL].AddSignal(lr);
      D[ncRG].AddSignal((R + G) >> 1);
      D[ncGB].AddSignal((G + B) >> 1);
      D[ncBR].AddSignal((B + R) >> 1);
    }
  }
  auto px = [&](int x, int y, int &R, int &G, int &B, int &L) {
    const std::uint8_t *s = Src.ScanLine(y) + 3 * x;
    B = s[0];
    G = s[1];
    R = s[2];
    L = Lpic[static_cast<size_t>(y * W + x)];
  };
  auto pair = [&](int px0, int py0, int cx, int cy) {
    int Rp, Gp, Bp, Lp, Rc, Gc, Bc, Lc;
    px(px0, py0, Rp, Gp, Bp, Lp);
    px(cx, cy, Rc, Gc, Bc, Lc);
    const int dR = Rp - Rc, dG = Gp - Gc, dB = Bp - Bc;
    D[ncR].AddNoise(dR);
    D[ncG].AddNoise(dG);
    D[ncB].AddNoise(dB);
    D[ncRG].AddNoise(dR - dG);
    D[ncGB].AddNoise(dG - dB);
    D[ncBR].AddNoise(dB - dR);
    D[ncL].AddNoise(Lp - Lc);
  };
  for (int y = 0; y < H; ++y) {
    const int py = y == 0 ? H - 1 : y - 1;
    for (int x = 1; x < W; ++x) {
      pair(x - 1, y, x, y);
      for (int xx = x - 1; xx <= x + 1 && xx < W; ++xx) pair(xx, py, x, y);
    }
  }
}

void Noisy(TBitmap24 &b, int W, int H, std::uint32_t Seed) {
  b.SetSize(W, H);
  for (int y = 0; y < H; ++y) {
    std::uint8_t *r = b.ScanLine(y);
    for (int i = 0; i < 3 * W; ++i) {
      Seed = Seed * 1103515245u + 12345u;
      r[i] = static_cast<std::uint8_t>(Seed >> 24);
    }
  }
}

bool SameData(const TChannelNoiseData &A, const TChannelNoiseData &B) {
  return A.SSum == B.SSum && A.SCount == B.SCount && A.NSum == B.NSum && A.NCount == B.NCount &&
         A.HistogramData() == B.HistogramData();
}

TEST(PartThreads, ResultsMatchTheReferenceForAnyNumberOfParts) {
  const int widths[] = {1, 2, 9, 37};
  const int heights[] = {1, 2, 5, 1000};
  const int partCounts[] = {1, 2, 3, 7, 16};
  for (int W : widths)
    for (int H : heights) {
      if (H == 1000 && W > 9) continue; // the reference is slow; 1000 x 9 covers many rows
      TBitmap24 src;
      Noisy(src, W, H, static_cast<std::uint32_t>(W * 1000 + H));
      std::array<TChannelNoiseData, 7> ref;
      std::vector<std::uint8_t> lpic;
      Reference(src, ref, lpic);
      for (int c = 0; c < 7; ++c) {
        EXPECT_EQ(ref[c].SCount, W * H);
        EXPECT_EQ(ref[c].NCount, W >= 2 ? H * (4 * W - 5) : 0);
      }
      for (int parts : partCounts) {
        TRun run;
        run.Run(src, parts);
        for (int c = 0; c < 7; ++c)
          EXPECT_TRUE(SameData(run.Ns[c], ref[c])) << W << "x" << H << " parts " << parts << " channel " << c;
        bool pics = true;
        for (int y = 0; y < H; ++y)
          for (int x = 0; x < W; ++x) {
            const std::uint8_t *s = src.ScanLine(y) + 3 * x;
            pics = pics && run.R.ScanLine(y)[x] == s[2] && run.G.ScanLine(y)[x] == s[1] &&
                   run.B.ScanLine(y)[x] == s[0] && run.L.ScanLine(y)[x] == lpic[static_cast<size_t>(y * W + x)];
          }
        EXPECT_TRUE(pics) << W << "x" << H << " parts " << parts;
      }
    }
}

TEST(PartThreads, PartPictures) {
  // Uniform 100: S mean 100 everywhere, N mean 0, no ratio.
  TBitmap24 flat;
  flat.SetSize(6, 4);
  for (int y = 0; y < 4; ++y) std::memset(flat.ScanLine(y), 100, 18);
  TRun run;
  run.Run(flat, 3);
  float v;
  for (int c : {ncR, ncG, ncB, ncRG, ncGB, ncBR}) {
    ASSERT_TRUE(run.Ns[c].GetSMean(v));
    EXPECT_EQ(v, 100.0f);
    ASSERT_TRUE(run.Ns[c].GetNMean(v));
    EXPECT_EQ(v, 0.0f);
    EXPECT_FALSE(run.Ns[c].GetSNRatio(v));
  }
  // The a*/b* pictures of a gray are 123.
  EXPECT_EQ(run.La.ScanLine(2)[0], 123);
  EXPECT_EQ(run.Lb.ScanLine(3)[17], 123);

  // R alternating 0, 255 along every row, G = B = 0.
  TBitmap24 alt;
  const int W = 8, H = 3;
  alt.SetSize(W, H);
  for (int y = 0; y < H; ++y) {
    std::uint8_t *r = alt.ScanLine(y);
    std::memset(r, 0, 3 * W);
    for (int x = 1; x < W; x += 2) r[3 * x + 2] = 255;
  }
  TRun a;
  a.Run(alt, 2);
  // Per row: 7 horizontal changes, and of the 3W-4 = 20 vertical/diagonal pairs the diagonals
  // (x-1 and x+1 above) all change: 7 + 6 = 13, the straight ones do not.
  EXPECT_EQ(a.Ns[ncR].Histogram(255), H * (7 + 7 + 6));
  EXPECT_EQ(a.Ns[ncR].NCount, H * (4 * W - 5));
  EXPECT_EQ(a.Ns[ncR].Histogram(0) + a.Ns[ncR].Histogram(255), a.Ns[ncR].NCount);
  EXPECT_EQ(a.Ns[ncRG].HistogramData(), a.Ns[ncR].HistogramData());
  EXPECT_EQ(a.Ns[ncGB].Histogram(0), a.Ns[ncGB].NCount);

  // A pair difference of 510: R 255 -> 0 while G 0 -> 255.
  TBitmap24 two;
  two.SetSize(2, 1);
  std::uint8_t *r = two.ScanLine(0);
  r[0] = 0; r[1] = 0; r[2] = 255;   // pixel 0: R 255, G 0
  r[3] = 0; r[4] = 255; r[5] = 0;   // pixel 1: R 0, G 255
  TRun t;
  t.Run(two, 1);
  // Pairs: (0,1) horizontal, (0 above,1), (1 above,1): one row compared with itself.
  EXPECT_EQ(t.Ns[ncRG].NCount, 3);
  EXPECT_EQ(t.Ns[ncRG].NSum, 510 + 510 + 0);
  EXPECT_EQ(t.Ns[ncRG].Histogram(255), 2);

  // 2 x 2: three pairs per row.
  TBitmap24 small;
  Noisy(small, 2, 2, 5);
  TRun s;
  s.Run(small, 4);
  for (auto &n : s.Ns) EXPECT_EQ(n.NCount, 6);

  // One pixel wide: no pairs; S mean but no N mean.
  TBitmap24 thin;
  Noisy(thin, 1, 7, 9);
  TRun th;
  th.Run(thin, 3);
  EXPECT_EQ(th.Ns[ncG].NCount, 0);
  EXPECT_TRUE(th.Ns[ncG].GetSMean(v));
  EXPECT_FALSE(th.Ns[ncG].GetNMean(v));
}

} // namespace

// Both counting modes (per-magnitude and joint histograms) on both vector paths give the reference
// counts: random colours, full-swing stripes (pair magnitudes of 510), a flat picture, noise whose
// differences reach just past every limit of the pair codes (most pairs coded, a few counted one by
// one), and rows half random and half such noise (a block counted the 14 way beside coded ones),
// on rows wider than one index block with an uneven tail.
TEST(NoiseHistograms, EveryCountingModeAndPathMatchesTheReference) {
  const int W = 1100, H = 7;
  std::vector<TBitmap24> pictures(5);
  Noisy(pictures[0], W, H, 99);
  pictures[1].SetSize(W, H);
  pictures[2].SetSize(W, H);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      std::uint8_t *p = pictures[1].ScanLine(y) + 3 * x;
      const bool on = (x + y) % 2 == 0;
      p[0] = on ? 255 : 0; // B
      p[1] = 0;
      p[2] = on ? 0 : 255; // R
      std::memset(pictures[2].ScanLine(y) + 3 * x, 77, 3);
    }
  Noisy(pictures[4], W, H, 7);
  pictures[3].SetSize(W, H);
  std::uint32_t seed = 3;
  const auto next = [&seed](int Range) {
    seed = seed * 1103515245u + 12345u;
    return static_cast<int>((seed >> 8) % static_cast<std::uint32_t>(Range));
  };
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      // G differences up to 64, R - G ones up to 8 and G - B ones up to 16.
      const int g = 100 + next(65), r = g + next(9) - 4, b = g - next(17) + 8;
      for (TBitmap24 *p : {&pictures[3], &pictures[4]}) {
        if (p == &pictures[4] && x < 600) continue;
        std::uint8_t *px = p->ScanLine(y) + 3 * x;
        px[0] = static_cast<std::uint8_t>(b);
        px[1] = static_cast<std::uint8_t>(g);
        px[2] = static_cast<std::uint8_t>(r);
      }
    }
  for (size_t k = 0; k < pictures.size(); ++k) {
    const TBitmap24 &src = pictures[k];
    std::array<TChannelNoiseData, 7> ref;
    std::vector<std::uint8_t> lpic;
    Reference(src, ref, lpic);
    for (TSimdPath path : {spPortable, spAVX2}) {
      SetSimdPathForTests(path);
      for (std::int64_t jointAfter : {std::int64_t{0}, std::int64_t{3000}, TNoiseHistograms::DefaultJointAfter}) {
        TNoiseHistograms h(jointAfter);
        // Counts cleared away leave nothing behind (a cleared object is reused for another area).
        h.AddRow(src.ScanLine(1), &lpic[W], src.ScanLine(0), &lpic[0], W);
        h.Clear();
        for (int y = 0; y < H; ++y) {
          const int py = y == 0 ? H - 1 : y - 1;
          h.AddRow(src.ScanLine(py), &lpic[static_cast<size_t>(py * W)], src.ScanLine(y),
                   &lpic[static_cast<size_t>(y * W)], W);
        }
        std::array<TChannelNoiseData, 7> got;
        std::array<TChannelNoiseData *, NoiseChannelCount> ptrs;
        for (int c = 0; c < 7; ++c) ptrs[static_cast<size_t>(c)] = &got[static_cast<size_t>(c)];
        h.AddTo(ptrs);
        for (int c = 0; c < 7; ++c) {
          const TChannelNoiseData &r = ref[static_cast<size_t>(c)], &g = got[static_cast<size_t>(c)];
          EXPECT_EQ(g.NSum, r.NSum) << "picture " << k << " channel " << c << " joint after " << jointAfter;
          EXPECT_EQ(g.NCount, r.NCount) << "picture " << k << " channel " << c;
          EXPECT_EQ(g.HistogramData(), r.HistogramData()) << "picture " << k << " channel " << c;
        }
      }
      // The clipped pixels (0 or 255; a pair's in either channel), counted pixel by pixel.
      std::array<std::int64_t, NoiseChannelCount> clipped{}, direct{};
      const auto at = [](std::uint8_t V) { return V == 0 || V == 255 ? 1 : 0; };
      for (int y = 0; y < H; ++y) {
        const std::uint8_t *row = src.ScanLine(y), *l = &lpic[static_cast<size_t>(y * W)];
        CountClipped(row, l, W, clipped);
        for (int x = 0; x < W; ++x) {
          const int b = at(row[3 * x]), g = at(row[3 * x + 1]), r = at(row[3 * x + 2]);
          direct[ncR] += r;
          direct[ncG] += g;
          direct[ncB] += b;
          direct[ncL] += at(l[x]);
          direct[ncRG] += r | g;
          direct[ncGB] += g | b;
          direct[ncBR] += b | r;
        }
      }
      EXPECT_EQ(clipped, direct) << "picture " << k << " path " << path;
    }
  }
  SetSimdPathForTests(spAuto);
  // The stripes: every pair magnitude of R-B is 0 or 510, and 510 counts in the last bin.
  std::array<TChannelNoiseData, 7> ref;
  std::vector<std::uint8_t> lpic;
  Reference(pictures[1], ref, lpic);
  EXPECT_GT(ref[ncBR].Histogram(255), 0);
  EXPECT_EQ(ref[ncBR].NSum, 510 * ref[ncBR].Histogram(255));
}
