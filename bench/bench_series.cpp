// Times a series of pictures against the same pictures measured one by one: 20 JPEGs of 24 MP
// with 6 regions. Each measurement runs in a child process of its own, as `kalvex --measure` of
// one file would, so its wall time, its processor time and its peak resident memory are its own.
// Prints the series' wall time against the sum of the single-file wall times / 2 (the target: at
// most 1.1), the same for processor time, and the series' peak resident memory against one
// picture's size (the target: at most two pictures at once).
//
//   bench_series [pictures [folder]]   (default 20 pictures in a temporary folder, removed afterwards)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench/BenchPicture.h"
#include "cli/untSeries.h"
#include "engine/untJpeg.h"

namespace fs = std::filesystem;

namespace {

struct TCost {
  double Wall = 0, Cpu = 0;
  long PeakKiB = 0;
  bool Ok = false;
};

double Seconds(const timeval &T) { return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_usec) / 1e6; }

// Runs Work in a child process; its wall time, processor time (all its threads) and peak memory.
TCost InChild(const std::function<bool()> &Work) {
  TCost cost;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) _exit(Work() ? 0 : 1);
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return cost;
  cost.Wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  cost.Cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  cost.PeakKiB = usage.ru_maxrss;
  cost.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return cost;
}

} // namespace

int main(int argc, char **argv) {
  const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const bool own = argc <= 2;
  fs::path dir = own ? fs::temp_directory_path() / ("kalvex-bench-series-" + std::to_string(getpid())) : fs::path(argv[2]);
  fs::create_directories(dir);
  constexpr int W = 6000, H = 4000;
  std::vector<std::string> files;
  {
    TBitmap24 pic;
    for (int i = 0; i < count; ++i) {
      const std::string f = (dir / ("shot" + std::to_string(i) + ".jpg")).string();
      files.push_back(f);
      if (fs::exists(f)) continue;
      bench::MakePicture(pic, W, H, false, 1000u + static_cast<std::uint32_t>(i), 0.2f);
      std::vector<const std::uint8_t *> rows;
      for (int y = 0; y < H; ++y) rows.push_back(pic.ScanLine(y));
      const auto jpeg = EncodeJpeg(W, H, 3, rows, 90);
      std::ofstream(f, std::ios::binary).write(reinterpret_cast<const char *>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
    }
  }
  std::vector<TRegionArg> regions;
  for (int r = 0; r < 6; ++r) {
    const int x = 300 + 900 * r, y = 500 + 500 * r;
    regions.push_back(TRegionArg{x, y, 400, 300, std::to_string(x) + "," + std::to_string(y) + ",400,300"});
  }

  double singleWall = 0, singleCpu = 0;
  long singlePeak = 0;
  for (const std::string &f : files) {
    const TCost c = InChild([&] { return MeasureFile(f, regions).Error.empty(); });
    if (!c.Ok) {
      std::fprintf(stderr, "bench_series: %s could not be measured\n", f.c_str());
      return 1;
    }
    singleWall += c.Wall;
    singleCpu += c.Cpu;
    singlePeak = std::max(singlePeak, c.PeakKiB);
  }
  const TCost series = InChild([&] {
    const auto results = MeasureSeries(files, regions, {});
    for (const TFileResult &r : results)
      if (!r.Error.empty()) return false;
    return true;
  });
  if (!series.Ok) {
    std::fprintf(stderr, "bench_series: the series failed\n");
    return 1;
  }
  const double pictureMiB = static_cast<double>(W) * H * 3 / (1024.0 * 1024.0);
  std::printf("series of %d pictures of %d x %d with %zu regions, %d workers\n", count, W, H, regions.size(),
              SeriesWorkers());
  std::printf("series wall time                 %8.2f s\n", series.Wall);
  std::printf("sum of single-file wall / 2      %8.2f s\n", singleWall / 2);
  std::printf("ratio (target <= 1.1)            %8.3f\n", series.Wall / (singleWall / 2));
  std::printf("series processor time            %8.2f s\n", series.Cpu);
  std::printf("sum of single-file processor / 2 %8.2f s\n", singleCpu / 2);
  std::printf("ratio of series wall to it       %8.3f\n", series.Wall / (singleCpu / 2));
  std::printf("cores kept busy by the series    %8.2f\n", series.Cpu / series.Wall);
  std::printf("peak resident: series %.0f MB, single file %.0f MB, one picture (RGB) %.0f MB: %.2f pictures\n",
              static_cast<double>(series.PeakKiB) / 1024.0, static_cast<double>(singlePeak) / 1024.0, pictureMiB,
              static_cast<double>(series.PeakKiB) / 1024.0 / pictureMiB);
  if (own) fs::remove_all(dir);
  return 0;
}
