// Times the window opening a picture: from the load command to the figures shown (the load job's
// results handed to the page panel and the window painted), on the offscreen platform. Then the
// import of regions files (by default 1,000 regions, each with its page, panel and measurement,
// and one more than the window holds, which is refused) from the import to the last region
// measured, one run each, against the 5 s target for 1,000.
//
//   bench_window FILE [runs [regions...]]
// Prints every run's time in ms and then "median MS best MS", then one line per import.
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "bench/BenchMemory.h"
#include "cli/untMeasure.h"
#include "app/WideIniFile.h"
#include "app/dmdKalvMain.h"
#include "app/untKalvRegionsFile.h"
#include "platform/untApplication.h"
#include "engine/untKalvPicJobDataJobs.h"
#include "ui/frmKalvMain.h"
#include "ui/untRectCntrl.h"

namespace {

using Clock = std::chrono::steady_clock;

// Sleeps in the event loop as the window does (spinning would take a processor from the part
// threads, which run at the lowest priority).
void ProcessUntil(const std::function<bool()> &Done) {
  while (!Done()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

double MsSince(Clock::time_point T) { return std::chrono::duration<double, std::milli>(Clock::now() - T).count(); }

using bench::MinorFaults;
using bench::ResidentKiB;

// Count regions of 40 x 30 pixels in rows over a W x H picture (they overlap once the picture is
// full, as hand-made files do).
void WriteRegions(TWideFileMemIniFile &Ini, int Count, int W, int H) {
  std::vector<TRect> rects;
  const int perRow = std::max(1, (W - 40) / 45), rows = std::max(1, (H - 30) / 35);
  for (int i = 0; i < Count; ++i) {
    const int x = (i % perRow) * 45 + (i / (perRow * rows)) % 5, y = (i / perRow) % rows * 35;
    rects.push_back(Rect(x, y, x + 40, y + 30));
  }
  SaveRegionsToIni(Ini, SRegionSectionFormat, rects);
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_window FILE [runs]\n");
    return 2;
  }
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // The window opens files named on its command line; this program's arguments are not for it.
  int appArgc = 1;
  QApplication app(appArgc, argv);
  TdmKalvMain module;
  TfmKalvMain window(&module);
  window.resize(1280, 900);
  window.show();
  ProcessUntil([&] { return module.actFlOpn->Enabled(); });

  // The window's load job alone (the figures and five pages), then its a* and b* job, run on this
  // thread: the share of the engine.
  double jobMs = 1e30, labMs = 1e30;
  for (int run = 0; run < runs; ++run) {
    TJPEGPicJobData job(argv[1], NoProgressWnd);
    job.LabPagesLater = true;
    const auto t0 = Clock::now();
    job.Run();
    const auto t1 = Clock::now();
    TLabPagesJobData lab(*job.PicRGB);
    lab.Run();
    const double ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
    if (run == 0) std::printf("load job alone, first run: %.1f ms\n", ms);
    jobMs = std::min(jobMs, ms);
    labMs = std::min(labMs, std::chrono::duration<double, std::milli>(Clock::now() - t1).count());
  }
  std::printf("load job alone: best %.1f ms (later runs reuse the memory the first one touched); "
              "its a* and b* job: best %.1f ms\n",
              jobMs, labMs);

  // The headless measurement of the same file (streamed, no pages), the yardstick of the load.
  double headlessMs = 1e30;
  for (int run = 0; run < runs; ++run) {
    const auto t0 = Clock::now();
    MeasureFile(argv[1], {});
    headlessMs = std::min(headlessMs, MsSince(t0));
  }
  std::printf("headless measurement: best %.1f ms\n", headlessMs);

  std::vector<double> times, idle;
  std::vector<long> runFaults;
  for (int run = 0; run < runs; ++run) {
    const long faults = MinorFaults();
    const auto t0 = Clock::now();
    if (!module.OpenFile(argv[1])) {
      std::fprintf(stderr, "bench_window: cannot open %s\n", argv[1]);
      return 1;
    }
    ProcessUntil([&] { return !module.IsLoading(); });
    idle.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    window.repaint(); // the figures and the picture on screen
    QApplication::processEvents();
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    // The a* and b* pages follow from a job of their own.
    ProcessUntil([&] { return !module.IsBusy(); });
    const double pages = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    // From the second run on, the pages of the picture before are there to be taken over.
    runFaults.push_back(MinorFaults() - faults);
    std::printf("run %d: figures shown after %.1f ms (%.1f ms until the load job was done), every page after %.1f ms, "
                "%ld page faults\n",
                run + 1, times.back(), idle.back(), pages, runFaults.back());
  }
  std::sort(times.begin(), times.end());
  const double median = times[times.size() / 2];
  std::printf("median %.1f best %.1f\n", median, times.front());
  std::printf("window load: median %.2f x the headless measurement's best (%s, at most 1.5)\n", median / headlessMs,
              median <= 1.5 * headlessMs ? "met" : "NOT met");
  // The first picture on show stays until its successor has loaded, so the second load takes fresh
  // memory and every later one the pages of the picture before last.
  if (runs >= 3) {
    const long later = *std::max_element(runFaults.begin() + 2, runFaults.end());
    // A 24 MP picture's pages would be some 300 MB; a few hundred faults are other, small memory.
    std::printf("later pictures of the same size: at most %ld page faults from the third load on (%s, at most "
                "256: no fresh pages); the second: %ld\n",
                later, later <= 256 ? "met" : "NOT met", runFaults[1]);
  }

  // Imports replace the regions there without asking.
  SetMessageBoxFunction([](const std::string &, const std::string &, UINT) { return IDYES; });
  std::vector<int> counts;
  for (int i = 3; i < argc; ++i) counts.push_back(std::max(1, std::atoi(argv[i])));
  if (counts.empty()) counts = {1000, KalvMaxWindowRegions + 1};
  TBitmap *rgb = window.GetPageBitmap(1);
  for (const int count : counts) {
    TWideFileMemIniFile ini("bench.KalvexRegions");
    WriteRegions(ini, count, rgb->Width(), rgb->Height());
    window.ClearRegions();
    ProcessUntil([&] { return !module.IsBusy(); });
    const long before = ResidentKiB();
    const auto t0 = Clock::now();
    try {
      window.LoadRegions(ini, SRegionSectionFormat);
    } catch (const std::exception &E) {
      std::printf("import of %d regions: refused after %.0f ms: %s\n", count, MsSince(t0), E.what());
      continue;
    }
    const double handed = MsSince(t0);
    ProcessUntil([&] { return !module.IsBusy() && window.RegionList->Count() >= count; });
    window.repaint();
    const double ms = MsSince(t0);
    const long grown = ResidentKiB() - before;
    std::printf("import of %d regions: %.0f ms (%.0f ms until the import call returned), %ld KiB more resident "
                "(%.0f KiB per region)\n",
                window.RegionList->Count(), ms, handed, grown, static_cast<double>(grown) / count);
    if (count == 1000) std::printf("import of 1,000 regions: %.2f of the 5 s target\n", ms / 5000.0);
  }
  return 0;
}
