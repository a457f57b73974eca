// Times regions in the real window on a large picture (offscreen platform): a 1000 x 1000 region
// from Recalculate to its results handed to the panel, next to the whole picture's picture job,
// and the steps in between (the start, the wait for a worker, the job on the worker, the way back
// and the hand-over, and the drawing of the panel's charts); then a long simulated drag, counting the jobs per region and the resident memory before and
// after, and the cost of one mouse move (repaint of the outline areas included).
//
//   bench_regions [width height [moves]]
#include <QApplication>
#include <QMouseEvent>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <unistd.h>
#include <vector>

#include "bench/BenchMemory.h"
#include "app/dmdKalvMain.h"
#include "engine/untGraphics.h"
#include "engine/untKalvPicJobDataJobs.h"
#include "ui/fraKalvCustomNoiseDraw.h"
#include "ui/fraKalvPic.h"
#include "ui/frmKalvMain.h"
#include "ui/untRectCntrl.h"

namespace {

using Clock = std::chrono::steady_clock;
double MsSince(Clock::time_point T) { return std::chrono::duration<double, std::milli>(Clock::now() - T).count(); }

using bench::ResidentKiB;

double Median(std::vector<double> V) {
  std::sort(V.begin(), V.end());
  return V.empty() ? 0 : V[V.size() / 2];
}

// When the region job's worker-side steps began and ended, set on the worker.
std::atomic<Clock::rep> gJobBegin{0}, gJobEnd{0};
double MsBetween(Clock::time_point A, Clock::rep B) {
  return std::chrono::duration<double, std::milli>(Clock::time_point(Clock::duration(B)) - A).count();
}
double MsBetween(Clock::rep A, Clock::rep B) {
  return std::chrono::duration<double, std::milli>(Clock::duration(B - A)).count();
}

std::unique_ptr<TBitmap24> NoisyPicture(int W, int H) {
  auto pic = std::make_unique<TBitmap24>();
  pic->SetSize(W, H);
  std::uint32_t seed = 12345;
  for (int y = 0; y < H; ++y) {
    std::uint8_t *row = pic->ScanLine(y);
    for (int x = 0; x < 3 * W; ++x) {
      seed = seed * 1664525u + 1013904223u;
      row[x] = static_cast<std::uint8_t>(((x / 3) * 255 / W + y * 64 / H + ((seed >> 16) & 31)) & 0xFF);
    }
  }
  return pic;
}

// Sleeps in the event loop as the window does (a spinning loop would take a processor from the
// part threads, which run at the lowest priority).
void ProcessUntil(const std::function<bool()> &Done) {
  while (!Done()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void Move(QWidget *W, QPoint P) {
  QMouseEvent e(QEvent::MouseMove, QPointF(P), W->mapToGlobal(QPointF(P)), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(W, &e);
}

} // namespace

int main(int argc, char **argv) {
  const int width = argc > 2 ? std::atoi(argv[1]) : 6000;
  const int height = argc > 2 ? std::atoi(argv[2]) : 4000;
  const int moves = argc > 3 ? std::atoi(argv[3]) : 10000;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // The window opens files named on its command line; this program's arguments are not for it.
  int appArgc = 1;
  QApplication app(appArgc, argv);

  auto picture = NoisyPicture(width, height);
  // The whole picture, as the load job measures it after decoding.
  double wholeMs = 1e30;
  for (int run = 0; run < 3; ++run) {
    auto copy = std::make_unique<TBitmap24>();
    copy->Assign(picture.get());
    TMemPicJobData job(std::move(copy), NoProgressWnd);
    const auto t0 = Clock::now();
    job.Run();
    wholeMs = std::min(wholeMs, MsSince(t0));
  }

  // The same job on a 1000 x 1000 cut-out, run directly: the engine's share of a region's time.
  double cutMs = 1e30;
  for (int run = 0; run < 10; ++run) {
    auto cut = std::make_unique<TBitmap24>();
    cut->SetSize(1000, 1000);
    for (int y = 0; y < 1000; ++y) std::memcpy(cut->ScanLine(y), picture->ScanLine(y + 10) + 30, 3000);
    TMemPicJobData job(std::move(cut), NoProgressWnd);
    const auto t0 = Clock::now();
    job.Run();
    cutMs = std::min(cutMs, MsSince(t0));
  }

  TdmKalvMain module;
  TfmKalvMain window(&module);
  window.show();
  ProcessUntil([&] { return module.actFlOpn->Enabled(); });
  window.SetPageBitmap(1, std::move(picture));
  window.pctPicsChange();
  QApplication::processEvents();

  // Recalculate to results shown, each time on a rectangle one pixel further on. The region covers
  // the view, so every move below repaints what a user sees.
  window.AddRegion(10, 10, 1010, 1010);
  ProcessUntil([&] { return !module.IsBusy(); });
  TRectCntrl *region = window.RegionList->Items(0);
  std::vector<double> times;
  for (int i = 1; i <= 20; ++i) {
    const auto t0 = Clock::now();
    region->SetRegionBounds(Rect(10 + i, 10, 1010 + i, 1010));
    region->Recalculate();
    ProcessUntil([&] { return !module.IsBusy(); });
    times.push_back(MsSince(t0));
  }
  std::sort(times.begin(), times.end());

  // The same, step by step, each run also waiting for the panel's charts to be drawn (so no run
  // finds the workers still drawing the last one's). The job's steps on the worker are timed
  // through the handlers every region job copies from the template job.
  module.tmjLoadPic->OnInternBeforeExecute = [](TThreadManThread *, ::TThreadManJob *) {
    gJobBegin.store(Clock::now().time_since_epoch().count());
  };
  module.tmjLoadPic->OnInternAfterExecute = [](TThreadManThread *, ::TThreadManJob *) {
    gJobEnd.store(Clock::now().time_since_epoch().count());
  };
  const auto chartsDrawn = [&] {
    for (TfrKalvCustomNoiseDraw *c : region->NoisePanel->Charts())
      if (c->Drawing() || c->RedrawPending()) return false;
    return true;
  };
  std::array<std::vector<double>, 6> steps; // start, wait, job, back, charts, total
  for (int i = 1; i <= 20; ++i) {
    const auto t0 = Clock::now();
    region->SetRegionBounds(Rect(10 + i, 10, 1010 + i, 1010));
    const auto t1 = Clock::now();
    region->Recalculate();
    const auto t2 = Clock::now();
    ProcessUntil([&] { return !module.IsBusy(); });
    const auto t3 = Clock::now();
    ProcessUntil(chartsDrawn);
    const auto t4 = Clock::now();
    const Clock::rep begin = gJobBegin.load(), end = gJobEnd.load();
    steps[0].push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
    steps[1].push_back(MsBetween(t2, begin));
    steps[2].push_back(MsBetween(begin, end));
    steps[3].push_back(-MsBetween(t3, end));
    steps[4].push_back(std::chrono::duration<double, std::milli>(t4 - t3).count());
    steps[5].push_back(std::chrono::duration<double, std::milli>(t4 - t0).count() -
                       std::chrono::duration<double, std::milli>(t1 - t0).count());
  }

  std::printf("picture %d x %d: whole-picture job %.1f ms\n", width, height, wholeMs);
  std::printf("region 1000 x 1000: its picture job alone, best %.2f ms\n", cutMs);
  const double median = times[times.size() / 2];
  std::printf("region 1000 x 1000: Recalculate to results shown: median %.2f ms (%s, at most 15), best %.2f ms "
              "(%zu runs)\n",
              median, median <= 15.0 ? "met" : "NOT met", times.front(), times.size());
  std::printf("  steps (medians of %zu runs that wait for the charts): start %.2f, wait for a worker %.2f, job %.2f, "
              "back and handed over %.2f, charts drawn %.2f ms; Recalculate to charts drawn %.2f ms\n",
              steps[0].size(), Median(steps[0]), Median(steps[1]), Median(steps[2]), Median(steps[3]),
              Median(steps[4]), Median(steps[5]));

  // A long drag of the region's inside, back and forth, with the event loop running between
  // moves as it does for a user. Jobs per region never exceed one running and one pending.
  const long before = ResidentKiB();
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(500, 500), region->mapToGlobal(QPointF(500, 500)), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(region, &press);
  int maxRunning = 0, startedBefore = region->JobCount;
  double moveMs = 0;
  const QPoint start = region->mapToGlobal(QPoint(500, 500));
  for (int i = 0; i < moves; ++i) {
    const int dx = (i / 200) % 2 == 0 ? (i % 200) : 200 - (i % 200);
    const auto t0 = Clock::now();
    Move(region, region->mapFromGlobal(start + QPoint(dx, dx / 2)));
    moveMs += MsSince(t0);
    maxRunning = std::max(maxRunning, module.RunningJobs());
    QApplication::processEvents();
  }
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(0, 0), QPointF(0, 0), Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QApplication::sendEvent(region, &release);
  ProcessUntil([&] { return !module.IsBusy(); });
  const long after = ResidentKiB();
  std::printf("drag of %d moves: %d jobs started, at most %d job(s) counted at once, %.3f ms per move\n", moves,
              region->JobCount - startedBefore, maxRunning, moveMs / moves);
  std::printf("resident memory: %ld KiB before the drag, %ld KiB after (%+ld KiB)\n", before, after, after - before);
  window.close();
  return 0;
}
