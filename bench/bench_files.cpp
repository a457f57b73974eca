// Times the readers of the program's own files against their targets: 100,000 regions written
// and read (at most 1 s each), a project of 30,000 picture lines, the memory a store takes for its
// file, hostile projects refused (under 1 s and 64 MB each), and `kalvex --measure` of a 24 MP
// picture with 10,000 regions of 100 x 100 (at most 3 s).
//
//   bench_files [folder]   (default: a temporary folder, removed afterwards)
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/WideIniFile.h"
#include "app/untKalvProjectFile.h"
#include "app/untKalvRegionsFile.h"
#include "bench/BenchPicture.h"
#include "cli/untMeasure.h"
#include "engine/untJpeg.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
double SecondsSince(Clock::time_point T) { return std::chrono::duration<double>(Clock::now() - T).count(); }

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void Report(const char *What, double Seconds, double Target) {
  std::printf("%-58s %8.3f s  (target %.1f s: %s, %.1fx under)\n", What, Seconds, Target,
              Seconds <= Target ? "met" : "MISSED", Target / std::max(Seconds, 1e-6));
}

void WriteText(const fs::path &P, const std::string &Text) {
  std::ofstream(P, std::ios::binary).write(Text.data(), static_cast<std::streamsize>(Text.size()));
}

} // namespace

int main(int argc, char **argv) {
  const bool own = argc < 2;
  const fs::path dir = own ? fs::temp_directory_path() / ("kalvex-bench-files-" + std::to_string(getpid())) : fs::path(argv[1]);
  fs::create_directories(dir);

  // 100,000 regions: written, then read back.
  const std::string regions = (dir / "many.KalvexRegions").string();
  {
    std::vector<TRect> rects;
    for (int i = 0; i < 100000; ++i) rects.push_back({i % 5000, i / 50, i % 5000 + 100, i / 50 + 100});
    const auto t0 = Clock::now();
    TProgMemIniFile ini(regions);
    ini.WriteInteger("Program", "FileType", ftRegions);
    SaveRegionsToIni(ini, SRegionSectionFormat, rects);
    ini.UpdateFile();
    Report("100,000 regions written (SaveRegionsToIni, UpdateFile)", SecondsSince(t0), 1.0);
    // Written again over the file: every key exists already.
    const auto t1 = Clock::now();
    TProgMemIniFile again(regions);
    SaveRegionsToIni(again, SRegionSectionFormat, rects);
    again.UpdateFile();
    Report("100,000 regions written over their own file", SecondsSince(t1), 1.0);
  }
  {
    const auto t0 = Clock::now();
    const TProgMemIniFile ini(regions);
    long count = 0;
    LoadRegionsFromIni(ini, SRegionSectionFormat, [&](int, int, int, int) { ++count; });
    Report("100,000 regions read (load, LoadRegionsFromIni)", SecondsSince(t0), 1.0);
    if (count != 100000) std::printf("  wrong count %ld\n", count);
  }

  // A project of 30,000 picture lines (about 490 MB of Base64 would be a real picture; the lines
  // here are short, so the lookups dominate).
  {
    const fs::path project = dir / "lines.KalvexProject";
    std::string text = "[Program]\r\nFileType=1\r\nFileName=a.bmp\r\n[File]\r\nSize=100\r\nCount=30000\r\n";
    for (int i = 0; i < 30000; ++i) text += IndexedName(SLineKeyFormat, static_cast<std::uint32_t>(i)) + "=QUJD\r\n";
    WriteText(project, text);
    const auto t0 = Clock::now();
    const TProgMemIniFile ini(project.string());
    std::size_t total = 0;
    for (std::uint32_t i : PresentIndices(ini.ReadSection("File"), SLineKeyFormat))
      total += ini.ReadString("File", IndexedName(SLineKeyFormat, i), "").size();
    Report("project of 30,000 lines: every line read", SecondsSince(t0), 1.0);
    if (total != 120000) std::printf("  wrong total %zu\n", total);
  }

  // Memory: the store of a regions file against the file's size.
  {
    const long before = ResidentKiB();
    const TProgMemIniFile ini(regions);
    const long after = ResidentKiB();
    const double fileMiB = static_cast<double>(fs::file_size(regions)) / (1 << 20);
    std::printf("%-58s %8.1f MiB for a %.1f MiB file (%.2fx)\n", "store of the 100,000 regions",
                (after - before) / 1024.0, fileMiB, (after - before) / 1024.0 / fileMiB);
  }

  // kalvex --measure of a 24 MP picture with 10,000 regions of 100 x 100.
  {
    TBitmap24 pic;
    bench::MakePicture(pic, 6000, 4000, false, 12345, 0.2f);
    std::vector<const std::uint8_t *> rows;
    for (int y = 0; y < pic.Height(); ++y) rows.push_back(pic.ScanLine(y));
    const auto jpeg = EncodeJpeg(pic.Width(), pic.Height(), 3, rows, 90);
    const std::string jpegFile = (dir / "24mp.jpg").string();
    std::ofstream(jpegFile, std::ios::binary).write(reinterpret_cast<const char *>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
    std::vector<TRect> rects;
    for (int i = 0; i < 10000; ++i) {
      const int x = (i % 100) * 59, y = (i / 100) * 39;
      rects.push_back({x, y, x + 100, y + 100});
    }
    const std::string tenThousand = (dir / "ten-thousand.KalvexRegions").string();
    {
      TProgMemIniFile ini(tenThousand);
      ini.WriteInteger("Program", "FileType", ftRegions);
      SaveRegionsToIni(ini, SRegionSectionFormat, rects);
      ini.UpdateFile();
    }
    std::string a0 = "kalvex", a1 = "--measure", a2 = jpegFile, a3 = "--regions", a4 = tenThousand, a5 = "--format",
                a6 = "csv";
    char *args[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), a5.data(), a6.data(), nullptr};
    std::ostringstream sink; // the figures are not the point here
    auto *oldOut = std::cout.rdbuf(sink.rdbuf());
    const auto t0 = Clock::now();
    const int status = RunMeasure(7, args, 2);
    const double s = SecondsSince(t0);
    std::cout.rdbuf(oldOut);
    Report("kalvex --measure 24 MP, 10,000 regions of 100 x 100", s, 3.0);
    if (status != 0) std::printf("  exit status %d\n", status);
  }

  if (own) fs::remove_all(dir);
  return 0;
}
