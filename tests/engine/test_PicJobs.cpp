#include <gtest/gtest.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "engine/untJpeg.h"
#include "engine/untKalvPicJobDataJobs.h"
#include "engine/untKalvPicStream.h"
#include "tests/common/TestUtil.h"
#include "tests/engine/JpegTestUtil.h"
#include "tests/engine/PicJobTestUtil.h"
#include "threading/untThreadMan.h"

using namespace picjobtest;

namespace {

std::unique_ptr<TMemPicJobData> RunMem(std::unique_ptr<TBitmap24> Bmp, int Parts, bool Here = false) {
  auto job = std::make_unique<TMemPicJobData>(std::move(Bmp), NoProgressWnd);
  job->PartCount = Parts;
  job->PartsHere = Here;
  job->Run();
  return job;
}

// The difference statistics of one channel computed straight from the rules: every pixel but the
// first of a row against its left neighbour and the three above (row 0 against the last row).
struct TRef {
  std::int64_t NSum = 0, NCount = 0;
  std::array<std::int64_t, 256> Hist{};
  void Add(int d) {
    d = std::abs(d);
    NSum += d;
    ++NCount;
    ++Hist[static_cast<std::size_t>(std::min(d, 255))];
  }
};

std::array<TRef, 7> ReferenceNoise(TPicJobData &Job) {
  std::array<TRef, 7> ref;
  TBitmap24 &rgb = *Job.PicRGB;
  TBitmap08Pal &l = *Job.PicL;
  const int w = rgb.Width(), h = rgb.Height();
  auto add = [&](int px, int py, int cx, int cy) {
    const TRgb p = PixelOf(rgb, px, py), c = PixelOf(rgb, cx, cy);
    const int dR = p.R - c.R, dG = p.G - c.G, dB = p.B - c.B;
    ref[ncR].Add(dR);
    ref[ncG].Add(dG);
    ref[ncB].Add(dB);
    ref[ncL].Add(l.ScanLine(py)[px] - l.ScanLine(cy)[cx]);
    ref[ncRG].Add(dR - dG);
    ref[ncGB].Add(dG - dB);
    ref[ncBR].Add(dB - dR);
  };
  for (int y = 0; y < h; ++y) {
    const int prev = y == 0 ? h - 1 : y - 1;
    for (int x = 1; x < w; ++x) {
      add(x - 1, y, x, y);
      add(x - 1, prev, x, y);
      add(x, prev, x, y);
      if (x + 1 <= w - 1) add(x + 1, prev, x, y);
    }
  }
  return ref;
}

void ExpectSameResults(TPicJobData &A, TPicJobData &B) {
  for (TNoiseChannel c : NoiseChannels) {
    SCOPED_TRACE(NoiseChannelCaption(c));
    EXPECT_EQ(A.Ns(c)->SSum, B.Ns(c)->SSum);
    EXPECT_EQ(A.Ns(c)->SCount, B.Ns(c)->SCount);
    EXPECT_EQ(A.Ns(c)->NSum, B.Ns(c)->NSum);
    EXPECT_EQ(A.Ns(c)->NCount, B.Ns(c)->NCount);
    EXPECT_EQ(A.Ns(c)->HistogramData(), B.Ns(c)->HistogramData());
  }
  for (TPicKind k : PicKinds) {
    TBitmap &pa = *A.Pic(k), &pb = *B.Pic(k);
    ASSERT_EQ(pa.Width(), pb.Width());
    ASSERT_EQ(pa.Height(), pb.Height());
    const std::size_t bytes = static_cast<std::size_t>(pa.Width()) * pa.BytesPerPixel();
    for (int y = 0; y < pa.Height(); ++y)
      ASSERT_EQ(std::memcmp(pa.ScanLine(y), pb.ScanLine(y), bytes), 0) << "page " << k << " row " << y;
  }
}

TRgb Noisy(int x, int y) {
  const unsigned v = static_cast<unsigned>(x * 7919 + y * 104729) * 2654435761u;
  return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 8)};
}

} // namespace

// The bands are handed out top to bottom (10 rows on 4 parts: 3, 3, 2, 2; 3 rows on 8 parts: one
// row each for three, nothing for five); whatever the split, every row is extracted once and
// compared with the right neighbours, so the results equal those of a single part and of the
// rules computed directly, with row 0 compared against the last row.
TEST(PicJobs, BandSplitGivesTheSameResultsAsTheRules) {
  struct TCase { int W, H, Parts; };
  for (TCase c : {TCase{9, 10, 4}, TCase{5, 3, 8}, TCase{1, 7, 3}, TCase{6, 1, 4}, TCase{2, 2, 2}}) {
    SCOPED_TRACE(testing::Message() << c.W << "x" << c.H << " on " << c.Parts);
    auto one = RunMem(MakeBitmap(c.W, c.H, Noisy), 1);
    auto many = RunMem(MakeBitmap(c.W, c.H, Noisy), c.Parts);
    ExpectSameResults(*one, *many);
    ExpectSameResults(*one, *RunMem(MakeBitmap(c.W, c.H, Noisy), c.Parts, true)); // no part threads
    const auto ref = ReferenceNoise(*many);
    for (TNoiseChannel ch : NoiseChannels) {
      SCOPED_TRACE(NoiseChannelCaption(ch));
      EXPECT_EQ(many->Ns(ch)->SCount, std::int64_t(c.W) * c.H);
      EXPECT_EQ(many->Ns(ch)->NCount, c.W >= 2 ? std::int64_t(c.H) * (4 * c.W - 5) : 0);
      EXPECT_EQ(many->Ns(ch)->NSum, ref[ch].NSum);
      EXPECT_EQ(many->Ns(ch)->NCount, ref[ch].NCount);
      EXPECT_EQ(many->Ns(ch)->HistogramData(), ref[ch].Hist);
    }
  }
  const auto split = SplitRows(10, 4);
  ASSERT_EQ(split.size(), 4u);
  EXPECT_EQ(split[2].First, 6);
  EXPECT_EQ(split[2].Count, 2);
}

// Row 0 differs from every other row only against the last row, and a one-row picture compares
// its row with itself (so its vertical pairs are all 0).
TEST(PicJobs, FirstBandComparesWithTheLastRow) {
  // All rows grey 100, the last row 160: only the pairs (last row, row 0) and (row H-2, last row)
  // see a difference.
  const int w = 8, h = 6;
  auto job = RunMem(MakeBitmap(w, h, [&](int, int y) {
    const std::uint8_t v = y == h - 1 ? 160 : 100;
    return TRgb{v, v, v};
  }), 3);
  // Row 0 against row 5 and row 5 against row 4: 2 rows x (3W - 4) vertical pairs of 60.
  EXPECT_EQ(job->NsR->Histogram(60), 2 * (3 * w - 4));
  EXPECT_EQ(job->NsR->NSum, 60 * 2 * (3 * w - 4));
  EXPECT_EQ(job->NsRG->NSum, 0);

  auto row = RunMem(MakeBitmap(5, 1, [](int x, int) {
    return TRgb{static_cast<std::uint8_t>(x * 10), 0, 0};
  }), 4);
  // Horizontal 4 pairs of 10; above: x-1 (10), x (0), x+1 (10, not for the last pixel).
  EXPECT_EQ(row->NsR->NCount, 15);
  EXPECT_EQ(row->NsR->Histogram(0), 4);
  EXPECT_EQ(row->NsR->Histogram(10), 11);
}

// The progress messages reach a window in the order the job posts them, each with its own text
// object; a job for no window posts nothing, and a post that fails frees its text.
TEST(PicJobs, ProgressMessagesAtAWindow) {
  testutil::TempDir dir;
  const std::string file = (dir.Path / "p.bmp").string();
  const auto bmp = MakeBmp(TBmpKind::b24, 7, 5);
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char *>(bmp.data()),
                                              static_cast<std::streamsize>(bmp.size()));

  std::vector<std::pair<UINT, std::string>> got;
  TMessageWindow wnd([&](TMessage &m) {
    EXPECT_EQ(reinterpret_cast<TObject *>(m.LParam), m.PayloadSlot != nullptr ? m.PayloadSlot->get() : nullptr);
    std::unique_ptr<TJobInfoText> text = TakePayload<TJobInfoText>(m);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(m.WParam, 0u);
    got.emplace_back(m.Msg, text->Text());
  });
  TBMPPicJobData job(file, wnd.Handle());
  std::thread worker([&] { job.Run(); });
  ASSERT_TRUE(testutil::ProcessUntil([&] { return got.size() >= 5; }));
  worker.join();
  QCoreApplication::processEvents();
  const std::vector<std::pair<UINT, std::string>> expected = {
      {WM_APP + 2, "Load file"}, {WM_APP + 1, file}, {WM_APP + 2, "Analyze Data"},
      {WM_APP + 2, "Calculate Noise"}, {WM_APP + 2, ""}};
  EXPECT_EQ(got, expected);
  EXPECT_EQ(job.NsR->SCount, 35);

  // A memory job has no file name and, made for no window, posts nothing at all.
  got.clear();
  TMemPicJobData mem(MakeBitmap(4, 4, Noisy), NoProgressWnd);
  mem.Run();
  QCoreApplication::processEvents();
  EXPECT_TRUE(got.empty());
  // The same for a window handle that names no window: the texts are freed, nothing arrives
  // (the address sanitizer's leak check holds us to the first half).
  TMemPicJobData gone(MakeBitmap(4, 4, Noisy), 0x7FFF1234);
  gone.Run();
  QCoreApplication::processEvents();
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(gone.NsG->SCount, 16);
}

// A stop request while the extraction parts run ends Execute without an exception, and only after
// every running part has finished its rows and merged: the signal sums hold whole bands, no
// difference was counted, and no part is left.
TEST(PicJobs, StopDuringExtractionEndsQuietlyAfterAllParts) {
  const int w = 2400, h = 1600, parts = 3;
  auto bmp = MakeBitmap(w, h, Noisy);
  TThreadManJob owner(nullptr);
  TMemPicJobData job(std::move(bmp), NoProgressWnd);
  job.Job = &owner;
  job.PartCount = parts;
  std::atomic<bool> stopped{false};
  std::thread watcher([&] {
    // The parts are made only after the derived pictures were sized; stop once they all run.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
      if (job.ThreadList->Count() == parts) {
        owner.Terminate();
        stopped = true;
        return;
      }
      std::this_thread::yield();
    }
  });
  EXPECT_NO_THROW(job.Run());
  watcher.join();
  ASSERT_TRUE(stopped.load()) << "the parts were never seen running";
  EXPECT_EQ(job.ThreadList->Count(), 0);
  EXPECT_EQ(job.ThreadList->Event.WaitFor(0), wrSignaled);
  // A part whose thread had not begun when the stop came skips its rows; the others merged theirs.
  const std::vector<TPartRows> bands = SplitRows(h, parts);
  std::vector<std::int64_t> possible;
  for (int mask = 0; mask < 1 << parts; ++mask) {
    std::int64_t rows = 0;
    for (int b = 0; b < parts; ++b)
      if ((mask >> b & 1) != 0) rows += bands[static_cast<std::size_t>(b)].Count;
    possible.push_back(rows * w);
  }
  for (TNoiseChannel c : NoiseChannels) {
    EXPECT_NE(std::find(possible.begin(), possible.end(), job.Ns(c)->SCount), possible.end()) << NoiseChannelCaption(c);
    EXPECT_EQ(job.Ns(c)->SCount, job.NsR->SCount) << NoiseChannelCaption(c);
    EXPECT_EQ(job.Ns(c)->NCount, 0) << NoiseChannelCaption(c);
  }

  // A stop before anything happened: nothing is loaded, still no exception.
  TThreadManJob early(nullptr);
  early.Terminate();
  TMemPicJobData idle(MakeBitmap(4, 4, Noisy), NoProgressWnd);
  idle.Job = &early;
  EXPECT_NO_THROW(idle.Run());
  EXPECT_TRUE(idle.PicRGB->Empty());
}

// Other failures pass on: a memory job without a picture has no row to compare with.
TEST(PicJobs, EmptyMemoryJobFails) {
  TMemPicJobData job(nullptr, NoProgressWnd);
  EXPECT_THROW(job.Run(), Exception);
  EXPECT_EQ(job.ThreadList->Count(), 0);
}

// A part that fails (its histogram could not be allocated, say) fails the whole job with its
// error, the first one if several fail; the job never reports sums over part of the picture.
TEST(PicJobs, AFailedPartFailsTheJob) {
  for (int run = 0; run < 4; ++run) {
    const bool noisePhase = run % 2 == 1;
    std::atomic<int> failures{0};
    TPicPartThread::SetFaultForTests([&](TPicPartThread &Part) {
      if ((dynamic_cast<TPicPartThreadNoise *>(&Part) != nullptr) != noisePhase) return;
      if (failures.fetch_add(1) < 2) throw EOutOfMemory("Part out of memory");
    });
    TMemPicJobData job(MakeBitmap(64, 40, Noisy), NoProgressWnd);
    job.PartCount = 4;
    job.PartsHere = run >= 2;
    try {
      job.Run();
      ADD_FAILURE() << "a job with a failed part reported success";
    } catch (const EOutOfMemory &e) {
      EXPECT_EQ(e.Message, "Part out of memory");
    }
    TPicPartThread::SetFaultForTests(nullptr);
    EXPECT_TRUE(job.Failed());
    EXPECT_EQ(job.ThreadList->Count(), 0);
    // All extraction parts start together, so several fail; difference parts start as their bands
    // are ready, and none starts once one has failed.
    EXPECT_GE(failures.load(), noisePhase ? 1 : 2);
  }
  // Without faults the same job runs through.
  auto ok = RunMem(MakeBitmap(64, 40, Noisy), 4);
  EXPECT_FALSE(ok->Failed());
  EXPECT_EQ(ok->NsR->NCount, RunMem(MakeBitmap(64, 40, Noisy), 1)->NsR->NCount);
}

// A JPEG's bands are measured while it is still being decoded; the figures and pages equal those
// of the decoded picture measured whole. Measuring only gives the same figures and L* page
// without the other pages, and a JPEG that breaks off mid-way, with parts already running, fails
// with no part left and no picture kept.
TEST(PicJobs, PipelinedDecodeMeasureOnlyAndLaterLabPagesGiveTheSameFigures) {
  testutil::TempDir dir;
  const int w = 400, h = 250;
  const auto jpeg = jpegtest::Make(w, h, jpegtest::Kind::Baseline, [](int x, int y, std::uint8_t *p) {
    const TRgb c = Noisy(x, y);
    p[0] = c.B;
    p[1] = c.G;
    p[2] = c.R;
  });
  const std::string file = (dir.Path / "p.jpg").string();
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char *>(jpeg.data()), std::streamsize(jpeg.size()));

  auto decoded = std::make_unique<TBitmap24>();
  {
    TFileStream f(file, fmOpenRead);
    LoadJpegFromStream(f, *decoded);
  }
  auto whole = RunMem(std::move(decoded), 1);

  TJPEGPicJobData piped(file, NoProgressWnd);
  piped.PartCount = 5; // bands of 50 rows: parts start after the fourth chunk of 16 rows
  piped.Run();
  ExpectSameResults(*whole, piped);

  TJPEGPicJobData measured(file, NoProgressWnd);
  measured.MeasureOnly = true;
  measured.PartPriority = tpNormal;
  measured.Run();
  for (TNoiseChannel c : NoiseChannels) {
    SCOPED_TRACE(NoiseChannelCaption(c));
    EXPECT_EQ(measured.Ns(c)->SSum, whole->Ns(c)->SSum);
    EXPECT_EQ(measured.Ns(c)->NSum, whole->Ns(c)->NSum);
    EXPECT_EQ(measured.Ns(c)->NCount, whole->Ns(c)->NCount);
    EXPECT_EQ(measured.Ns(c)->HistogramData(), whole->Ns(c)->HistogramData());
  }
  for (int y = 0; y < h; ++y)
    ASSERT_EQ(std::memcmp(measured.PicL->ScanLine(y), whole->PicL->ScanLine(y), w), 0) << "row " << y;
  for (TPicKind k : {pkR, pkG, pkB, pkLa, pkLb}) EXPECT_TRUE(measured.Pic(k)->Empty()) << "page " << k;

  // The a* and b* pages made afterwards, in bands of their own, are the whole job's; a stopped
  // job leaves both empty.
  TJPEGPicJobData first(file, NoProgressWnd);
  first.LabPagesLater = true;
  first.Run();
  EXPECT_TRUE(first.PicLa->Empty() && first.PicLb->Empty());
  TLabPagesJobData lab(*first.PicRGB);
  lab.PartCount = 3;
  lab.Run();
  first.PicLa = std::move(lab.PicLa);
  first.PicLb = std::move(lab.PicLb);
  ExpectSameResults(*whole, first);
  const std::atomic<bool> stop{true};
  TLabPagesJobData stopped(*first.PicRGB);
  stopped.StopFlag = &stop;
  stopped.Run();
  EXPECT_TRUE(stopped.Stopped() && stopped.PicLa->Empty() && stopped.PicLb->Empty());

  const std::string cut = (dir.Path / "cut.jpg").string();
  std::ofstream(cut, std::ios::binary).write(reinterpret_cast<const char *>(jpeg.data()), std::streamsize(jpeg.size() * 3 / 4));
  TJPEGPicJobData broken(cut, NoProgressWnd);
  broken.PartCount = 5;
  EXPECT_THROW(broken.Run(), EJPEGError);
  EXPECT_TRUE(broken.Failed());
  EXPECT_EQ(broken.ThreadList->Count(), 0);
  for (TPicKind k : PicKinds) EXPECT_TRUE(broken.Pic(k)->Empty()) << "page " << k;
}

// The streaming measurement gives every area the figures of a job on its cut-out, across band
// boundaries (700 x 500 is two bands) and at the edges, from a bitmap, a BMP read row by row in
// either order, and a JPEG; a damaged JPEG or a failing worker fails it.
TEST(PicJobs, BandsGiveEveryAreaTheFiguresOfItsCutOut) {
  const int w = 700, h = 500;
  auto pic = MakeBitmap(w, h, Noisy);
  const std::vector<TPicArea> areas = {{0, 0, w, h},      {0, 370, w, 10},  {5, 0, 1, 1},   {699, 499, 1, 1},
                                       {10, 300, 1, 200}, {100, 373, 50, 3}, {0, 499, w, 1}, {650, 0, 50, 500}};
  auto check = [&](TPicBandSource &Source, const char *What) {
    SCOPED_TRACE(What);
    const auto got = MeasureBands(Source, areas);
    ASSERT_EQ(got.size(), areas.size());
    for (std::size_t i = 0; i < areas.size(); ++i) {
      const TPicArea &a = areas[i];
      auto cut = MakeBitmap(a.Width, a.Height, [&](int x, int y) { return PixelOf(*pic, a.Left + x, a.Top + y); });
      auto job = RunMem(std::move(cut), 3);
      for (TNoiseChannel c : NoiseChannels) {
        const TChannelNoiseData &g = got[i]->Channels[c];
        const TChannelNoiseSync &r = *job->Ns(c);
        EXPECT_EQ(g.SSum, r.SSum) << "area " << i << " " << NoiseChannelCaption(c);
        EXPECT_EQ(g.SCount, r.SCount) << "area " << i;
        EXPECT_EQ(g.Clipped, r.Clipped) << "area " << i;
        EXPECT_EQ(g.NSum, r.NSum) << "area " << i << " " << NoiseChannelCaption(c);
        EXPECT_EQ(g.NCount, r.NCount) << "area " << i;
        EXPECT_EQ(g.HistogramData(), r.HistogramData()) << "area " << i;
      }
    }
  };
  check(*BitmapBandSource(*pic), "bitmap");
  for (bool topDown : {false, true}) {
    TMemoryStream bmp;
    const std::vector<std::uint8_t> bytes = MakeBmp(TBmpKind::b24, w, h, topDown);
    bmp.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    auto fromBmp = BmpBandSource(bmp);
    pic = MakeBitmap(w, h, [](int x, int y) { return BmpColor(TBmpKind::b24, x, y); });
    check(*fromBmp, topDown ? "top-down BMP" : "bottom-up BMP");
  }
  const auto jpeg = jpegtest::Make(w, h, jpegtest::Kind::Baseline, [](int x, int y, std::uint8_t *p) {
    const TRgb c = Noisy(x, y);
    p[0] = c.B;
    p[1] = c.G;
    p[2] = c.R;
  });
  {
    TMemoryStream s;
    s.WriteBuffer(jpeg.data(), static_cast<std::int64_t>(jpeg.size()));
    pic = std::make_unique<TBitmap24>();
    LoadJpegFromStream(s, *pic);
    check(*JpegBandSource(s), "JPEG");
  }
  TMemoryStream cut;
  cut.WriteBuffer(jpeg.data(), static_cast<std::int64_t>(jpeg.size() * 3 / 4));
  EXPECT_THROW(MeasureBands(*JpegBandSource(cut), areas), EJPEGError);
  SetBandFaultForTests([] { throw EOutOfMemory("worker out of memory"); });
  EXPECT_THROW(MeasureBands(*BitmapBandSource(*pic), areas), EOutOfMemory);
  SetBandFaultForTests(nullptr);
  EXPECT_THROW(MeasureBands(*BitmapBandSource(*pic), std::vector<TPicArea>{{1, 1, w, 1}}), EInvalidOperation);
}
