// A long run of the real window on the offscreen platform: it opens pictures one after the other
// (JPEG and BMP in turn, of varied sizes, written by this program) and drags regions on each with
// mouse events, as a user would, between loads. Every 1000 drags (see --report) it prints its
// resident memory; at the end the smallest and largest figure after the warm-up.
//
//   kalvex_soak [--pictures N] [--drags N] [--report N] [--warmup N]
//
// Defaults: 200 pictures, 10000 drags, a line every 1000 drags, warm-up 2000 drags. It fails (exit
// status 1) when a picture does not load, a message box is raised, a region's last job measured
// another rectangle than the one on screen, or a wait for the jobs does not end. Built with the
// address sanitizer, leaks are reported when it ends.
#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/dmdKalvMain.h"
#include "engine/untGraphics.h"
#include "engine/untJpeg.h"
#include "platform/untApplication.h"
#include "tests/common/TestUtil.h"
#include "tests/ui/MouseTestUtil.h"
#include "ui/fraKalvPic.h"
#include "ui/frmKalvMain.h"
#include "ui/untRectCntrl.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct TOptions {
  int Pictures = 200;
  int Drags = 10000;
  int Report = 1000;
  int Warmup = 2000;
};

bool ParseOptions(int Argc, char **Argv, TOptions &O) {
  for (int i = 1; i < Argc; ++i) {
    const std::string name = Argv[i];
    int *target = name == "--pictures" ? &O.Pictures
                  : name == "--drags"  ? &O.Drags
                  : name == "--report" ? &O.Report
                  : name == "--warmup" ? &O.Warmup
                                       : nullptr;
    if (target == nullptr || i + 1 >= Argc) return false;
    char *end = nullptr;
    const long v = std::strtol(Argv[++i], &end, 10);
    if (*end != '\0' || v < 0 || v > 10'000'000) return false;
    *target = static_cast<int>(v);
  }
  return O.Pictures > 0 && O.Report > 0;
}

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Small deterministic generator: the same run every time.
struct TRandom {
  std::uint32_t State = 20261209;
  std::uint32_t Next() {
    State = State * 1664525u + 1013904223u;
    return State >> 8;
  }
  int Between(int Lo, int Hi) { return Lo + static_cast<int>(Next() % static_cast<std::uint32_t>(Hi - Lo + 1)); }
};

// A noisy gradient, so that every region has figures worth measuring.
void WritePicture(const fs::path &File, int W, int H, bool Jpeg, TRandom &Rnd) {
  TBitmap24 pic;
  pic.SetSize(W, H);
  std::vector<const std::uint8_t *> rows;
  for (int y = 0; y < H; ++y) {
    std::uint8_t *row = pic.ScanLine(y);
    for (int x = 0; x < 3 * W; ++x)
      row[x] = static_cast<std::uint8_t>(((x / 3) * 200 / W + y * 40 / H + (x % 3) * 10 + Rnd.Next() % 24) & 0xFF);
    rows.push_back(row);
  }
  if (!Jpeg) {
    pic.SaveToFile(File.string());
    return;
  }
  const std::vector<std::uint8_t> data = EncodeJpeg(W, H, 3, rows, 85);
  testutil::WriteFile(File, std::string(data.begin(), data.end()));
}

// Sleeps in the event loop as the window does (spinning would take a processor from the part
// threads, which run at the lowest priority); false when the jobs are still busy after a minute.
// A repeating timer wakes the loop, so that a job that never ends is noticed.
bool WaitIdle(TdmKalvMain &Module) {
  QTimer tick;
  tick.start(100);
  const auto until = Clock::now() + std::chrono::minutes(1);
  while (Module.IsBusy()) {
    if (Clock::now() > until) return false;
    QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

// A point of one of the region's zones: the inside, an edge or a corner.
QPoint ZonePoint(const TRectCntrl *R, TRandom &Rnd) {
  const int w = R->width(), h = R->height();
  switch (Rnd.Next() % 6) {
  case 0: return {w - 2, h / 2};     // right edge
  case 1: return {w / 2, h - 2};     // bottom edge
  case 2: return {w - 2, h - 2};     // bottom-right corner
  case 3: return {1, 1};             // top-left corner
  default: return {w / 2, h / 2};    // inside: a move
  }
}

} // namespace

int main(int argc, char **argv) {
  TOptions opt;
  if (!ParseOptions(argc, argv, opt)) {
    std::fprintf(stderr, "usage: kalvex_soak [--pictures N] [--drags N] [--report N] [--warmup N]\n");
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  char dirTemplate[] = "/tmp/kalvex-soak-XXXXXX";
  if (mkdtemp(dirTemplate) == nullptr) {
    std::perror("kalvex_soak: mkdtemp");
    return 1;
  }
  const fs::path dir = dirTemplate;
  // The window's settings go to the run's own folder, not the user's.
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((dir / "config").string()));
  if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) qputenv("XDG_RUNTIME_DIR", dirTemplate); // 0700, as Qt wants
  int appArgc = 1; // the window would open this program's arguments as files
  QApplication app(appArgc, argv);

  std::vector<std::string> boxes;
  SetMessageBoxFunction([&](const std::string &Text, const std::string &, UINT) {
    boxes.push_back(Text);
    return IDOK;
  });
  int failures = 0;
  const auto fail = [&](const std::string &What) {
    std::fprintf(stderr, "kalvex_soak: %s\n", What.c_str());
    ++failures;
  };

  std::vector<long> rss; // one figure per report, with its drag count
  std::vector<int> rssStep;
  const auto t0 = Clock::now();
  {
    TdmKalvMain module;
    TfmKalvMain window(&module);
    window.resize(1280, 900);
    window.show();
    while (!module.actFlOpn->Enabled()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);

    TRandom rnd;
    int drags = 0;
    for (int p = 0; p < opt.Pictures && failures == 0; ++p) {
      const bool jpeg = p % 2 == 0;
      const int w = rnd.Between(64, 1280), h = rnd.Between(48, 960);
      const fs::path file = dir / (jpeg ? "picture.jpg" : "picture.bmp");
      WritePicture(file, w, h, jpeg, rnd);
      if (!module.OpenFile(file.string()) || !WaitIdle(module)) {
        fail("picture " + std::to_string(p) + " did not load");
        break;
      }
      const TBitmap *rgb = window.frPicRGB()->Bitmap();
      if (rgb == nullptr || rgb->Width() != w || rgb->Height() != h) {
        fail("picture " + std::to_string(p) + " has the wrong size");
        break;
      }
      fs::remove(file);

      // Two regions: one drawn with the mouse on the picture, one added as a typed rectangle is.
      QWidget *panel = window.frPicRGB()->pnlPic;
      const int vw = std::min(w, 600), vh = std::min(h, 500);
      testutil::Drag(panel, {rnd.Between(0, vw / 3), rnd.Between(0, vh / 3)}, {rnd.Between(vw / 2, vw - 1), rnd.Between(vh / 2, vh - 1)}, 3, true);
      window.AddRegion(rnd.Between(0, w / 2), rnd.Between(0, h / 2), rnd.Between(w / 2 + 12, w), rnd.Between(h / 2 + 12, h));
      if (!WaitIdle(module)) fail("the new regions' jobs did not end");

      // This picture's share of the drags; the event loop runs between them, and every fourth
      // one waits for the jobs, so that drags land both on busy and on idle regions.
      const int until = static_cast<int>(static_cast<long long>(opt.Drags) * (p + 1) / opt.Pictures);
      for (; drags < until && failures == 0; ++drags) {
        if (window.RegionList->Empty()) break;
        TRectCntrl *r = window.RegionList->Items(static_cast<int>(rnd.Next() % window.RegionList->Count()));
        const QPoint from = ZonePoint(r, rnd);
        testutil::Drag(r, from, from + QPoint(rnd.Between(-40, 40), rnd.Between(-30, 30)), rnd.Between(1, 6), true);
        QApplication::processEvents();
        if (drags % 4 == 3 && !WaitIdle(module)) fail("a region's jobs did not end");
        if ((drags + 1) % opt.Report == 0) {
          if (!WaitIdle(module)) fail("a region's jobs did not end");
          rss.push_back(ResidentKiB());
          rssStep.push_back(drags + 1);
          std::printf("step %6d: picture %3d (%4d x %3d), resident %7ld KiB, %.1f s\n", drags + 1, p + 1, w, h,
                      rss.back(), std::chrono::duration<double>(Clock::now() - t0).count());
          std::fflush(stdout);
        }
      }
      if (!WaitIdle(module)) fail("a region's jobs did not end");
      // Every region shows the figures of the rectangle it covers now.
      for (int i = 0; i < window.RegionList->Count(); ++i) {
        const TRectCntrl *r = window.RegionList->Items(i);
        if (r->LastRect != r->BoundsRect() || r->RecalcPending) fail("a region's figures are not of its rectangle");
      }
      if (p % 10 == 9) module.actNsClose->Execute(); // one region closed by its command
    }
    if (!boxes.empty()) fail(std::to_string(boxes.size()) + " message box(es), the first: " + boxes.front());
    window.close();
  }
  fs::remove_all(dir);

  // The spread includes the size of the picture open at each report; the slope of a
  // least-squares line through the figures is what a leak would show.
  long lo = 0, hi = 0;
  double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (std::size_t i = 0; i < rss.size(); ++i) {
    if (rssStep[i] <= opt.Warmup) continue;
    lo = lo == 0 ? rss[i] : std::min(lo, rss[i]);
    hi = std::max(hi, rss[i]);
    const double x = rssStep[i] / 1000.0, y = static_cast<double>(rss[i]);
    n += 1, sx += x, sy += y, sxx += x * x, sxy += x * y;
  }
  if (hi > 0) {
    const double slope = n > 1 && n * sxx != sx * sx ? (n * sxy - sx * sy) / (n * sxx - sx * sx) : 0.0;
    std::printf("resident memory after step %d: min %ld KiB, max %ld KiB, spread %ld KiB (%.1f %%), trend %+.0f KiB "
                "per 1000 drags\n",
                opt.Warmup, lo, hi, hi - lo, 100.0 * static_cast<double>(hi - lo) / static_cast<double>(lo), slope);
  }
  std::printf("%d pictures, %d drags in %.1f s: %s\n", opt.Pictures, opt.Drags,
              std::chrono::duration<double>(Clock::now() - t0).count(), failures == 0 ? "passed" : "FAILED");
  return failures == 0 ? 0 : 1;
}
