// Times the window opening a picture: from the load command to the figures shown (the load job's
// results handed to the page panel and the window painted), on the offscreen platform.
//
//   bench_window FILE [runs]
// Prints every run's time in ms and then "median MS best MS".
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "app/dmdKalvMain.h"
#include "engine/untKalvPicJobDataJobs.h"
#include "ui/frmKalvMain.h"

namespace {

using Clock = std::chrono::steady_clock;

// Sleeps in the event loop as the window does (spinning would take a processor from the part
// threads, which run at the lowest priority).
void ProcessUntil(const std::function<bool()> &Done) {
  while (!Done()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
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

  // The window's load job alone (all seven pages), run on this thread: the share of the engine.
  double jobMs = 1e30;
  for (int run = 0; run < runs; ++run) {
    TJPEGPicJobData job(argv[1], NoProgressWnd);
    const auto t0 = Clock::now();
    job.Run();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    if (run == 0) std::printf("load job alone, first run: %.1f ms\n", ms);
    jobMs = std::min(jobMs, ms);
  }
  std::printf("load job alone: best %.1f ms (later runs reuse the memory the first one touched)\n", jobMs);

  std::vector<double> times, idle;
  for (int run = 0; run < runs; ++run) {
    const auto t0 = Clock::now();
    if (!module.OpenFile(argv[1])) {
      std::fprintf(stderr, "bench_window: cannot open %s\n", argv[1]);
      return 1;
    }
    ProcessUntil([&] { return !module.IsBusy(); });
    idle.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    window.repaint(); // the figures and the picture on screen
    QApplication::processEvents();
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    std::printf("run %d: %.1f ms (%.1f ms until the job was done)\n", run + 1, times.back(), idle.back());
  }
  std::sort(times.begin(), times.end());
  std::printf("median %.1f best %.1f\n", times[times.size() / 2], times.front());
  return 0;
}
