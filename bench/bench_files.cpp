// Times the readers of the program's own files against their targets: 100,000 regions written
// and read (at most 1 s each), a project of 30,000 picture lines, the memory a store takes for its
// file, hostile projects refused (under 1 s and 64 MB each), the file kind of a large file, a
// valid project's peak memory against its picture's and file's sizes, and `kalvex --measure` of a
// 24 MP picture with 10,000 regions of 100 x 100 (at most 3 s).
//
//   bench_files [folder]   (default: a temporary folder, removed afterwards)
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchMemory.h"
#include "app/WideIniFile.h"
#include "app/untKalvMainConstType.h"
#include "app/untKalvProjectFile.h"
#include "app/untKalvRegionsFile.h"
#include "bench/BenchPicture.h"
#include "cli/untMeasure.h"
#include "engine/untJpeg.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
double SecondsSince(Clock::time_point T) { return std::chrono::duration<double>(Clock::now() - T).count(); }

using bench::ResidentKiB;

// The peak resident memory of this process (VmHWM), in KiB.
long PeakKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// Reads a project in a fresh process of this program ("--read FILE"), so that the peak is the
// reading's own: true when it was refused; Seconds and PeakMiB as measured.
bool ReadInChild(const std::string &File, double &Seconds, double &PeakMiB, bool &Failed, const char *Mode = "--read") {
  const std::string command =
      "'" + std::string(fs::read_symlink("/proc/self/exe")) + "' " + Mode + " '" + File + "'";
  const auto t0 = Clock::now();
  std::FILE *pipe = popen(command.c_str(), "r");
  long peak = 0;
  int refused = -1;
  if (pipe != nullptr) {
    if (std::fscanf(pipe, "%d %ld", &refused, &peak) != 2) refused = -1;
    pclose(pipe);
  }
  Seconds = SecondsSince(t0);
  PeakMiB = peak / 1024.0;
  Failed = refused < 0;
  return refused == 1;
}

// Processor time of the whole process (all threads), in seconds: on a machine shared with other
// work the wall time alone says little.
double CpuSeconds() {
  struct rusage u {};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
double gCpuStart = 0;

// Wall time against the target, and the processor time since the last Report.
void Report(const char *What, double Seconds, double Target) {
  const double cpu = CpuSeconds();
  std::printf("%-58s %8.3f s  (target %.1f s: %s, %.1fx under; cpu %.3f s)\n", What, Seconds, Target,
              Seconds <= Target ? "met" : "MISSED", Target / std::max(Seconds, 1e-6), cpu - gCpuStart);
  gCpuStart = cpu;
}

void WriteText(const fs::path &P, const std::string &Text) {
  std::ofstream(P, std::ios::binary).write(Text.data(), static_cast<std::streamsize>(Text.size()));
}

} // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::string(argv[1]) == "--load") { // a store of the file, in this fresh process
    int refused = 0;
    try {
      const TWideFileMemIniFile ini(argv[2]);
    } catch (const Exception &) {
      refused = 1;
    }
    std::printf("%d %ld\n", refused, PeakKiB());
    return 0;
  }
  if (argc == 3 && std::string(argv[1]) == "--read") {
    int refused = 0;
    try {
      const TProjectFile project = ReadProjectFile(argv[2]);
      if (!project.Picture) refused = 2;
    } catch (const Exception &) {
      refused = 1;
    }
    std::printf("%d %ld\n", refused, PeakKiB());
    return 0;
  }
  const bool own = argc < 2;
  const fs::path dir = own ? fs::temp_directory_path() / ("kalvex-bench-files-" + std::to_string(getpid())) : fs::path(argv[1]);
  fs::create_directories(dir);

  // 100,000 regions: written, then read back.
  const std::string regions = (dir / "many.KalvexRegions").string();
  {
    std::vector<TRect> rects;
    for (int i = 0; i < 100000; ++i) rects.push_back({i % 5000, i / 50, i % 5000 + 100, i / 50 + 100});
    gCpuStart = CpuSeconds();
    const auto t0 = Clock::now();
    TProgMemIniFile ini(regions);
    ini.WriteInteger("Program", "FileType", ftRegions);
    SaveRegionsToIni(ini, SRegionSectionFormat, rects);
    ini.UpdateFile();
    Report("100,000 regions written (SaveRegionsToIni, UpdateFile)", SecondsSince(t0), 1.0);
    // Written again over the file: every key exists already.
    gCpuStart = CpuSeconds();
    const auto t1 = Clock::now();
    TProgMemIniFile again(regions);
    SaveRegionsToIni(again, SRegionSectionFormat, rects);
    again.UpdateFile();
    Report("100,000 regions written over their own file", SecondsSince(t1), 1.0);
  }
  {
    gCpuStart = CpuSeconds();
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
    gCpuStart = CpuSeconds();
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

  // 100 MB of short lines: keys with values (a store of about 3 times the file), and lines of
  // one letter or empty sections, far more than a store takes (refused at once). The baseline is
  // a process that loads an empty file.
  {
    const fs::path empty = dir / "empty.ini";
    WriteText(empty, "");
    double seconds = 0, base = 0;
    bool failed = false;
    ReadInChild(empty.string(), seconds, base, failed, "--load");
    const std::pair<const char *, std::string> cases[] = {{"Key0000001=12345", "keys"}, {"a", "letters"}, {"[]", "sections"}};
    for (const auto &[line, what] : cases) {
      const fs::path file = dir / ("short-" + what + ".ini");
      {
        std::string text = "[S]\r\n";
        while (text.size() < (std::size_t{100} << 20)) text.append(line).append("\r\n");
        WriteText(file, text);
      }
      double peak = 0;
      const bool refused = ReadInChild(file.string(), seconds, peak, failed, "--load");
      const double mib = static_cast<double>(fs::file_size(file)) / (1 << 20);
      std::printf("%-58s %8.3f s, %s, %.0f MiB over the baseline (%.2fx the file)\n",
                  ("100 MB of lines \"" + std::string(line) + "\"").c_str(), seconds, refused ? "refused" : "read",
                  peak - base, (peak - base) / mib);
      fs::remove(file);
    }
  }

  // Hostile projects, each read in a child process of its own so that its peak memory is its own:
  // a 1 GiB "Size" of zeros named as a JPEG (not a picture), a JPEG header of 60000 x 60000 and a
  // BMP header of 40000 x 40000 (too large), each followed by zeros.
  {
    auto write = [&](const std::string &Name, const std::string &Picture, std::vector<std::uint8_t> Head,
                     std::uint64_t Zeros) {
      Head.resize(Head.size() + Zeros, 0);
      TProgMemIniFile ini((dir / Name).string());
      ini.WriteWideString("Program", "FileName", Picture);
      ini.WriteInteger("Program", "FileType", ftProjectWithPicture);
      const fs::path raw = dir / (Name + ".raw");
      std::ofstream(raw, std::ios::binary).write(reinterpret_cast<const char *>(Head.data()), static_cast<std::streamsize>(Head.size()));
      WriteProjectPicture(ini, raw.string());
      ini.UpdateFile();
      fs::remove(raw);
      return (dir / Name).string();
    };
    std::vector<const std::uint8_t *> rows;
    const std::vector<std::uint8_t> row(60, 128);
    for (int y = 0; y < 10; ++y) rows.push_back(row.data());
    std::vector<std::uint8_t> wide = EncodeJpeg(20, 10, 3, rows, 90);
    for (std::size_t i = 2; i + 8 < wide.size(); ++i)
      if (wide[i] == 0xFF && wide[i + 1] == 0xC0) {
        wide[i + 5] = wide[i + 7] = 0xEA;
        wide[i + 6] = wide[i + 8] = 0x60;
        break;
      }
    std::vector<std::uint8_t> bmp(54, 0);
    bmp[0] = 'B', bmp[1] = 'M', bmp[10] = 54, bmp[14] = 40, bmp[26] = 1, bmp[28] = 24;
    bmp[18] = bmp[22] = 0x40;
    bmp[19] = bmp[23] = 0x9C;
    const std::pair<const char *, std::string> cases[] = {
        {"1 GiB of zeros named a.jpg", write("zeros.KalvexProject", "a.jpg", {}, std::uint64_t{1} << 30)},
        {"JPEG header 60000 x 60000, 512 MiB", write("wide.KalvexProject", "w.jpg", wide, std::uint64_t{512} << 20)},
        {"BMP header 40000 x 40000, 512 MiB", write("huge.KalvexProject", "h.bmp", bmp, std::uint64_t{512} << 20)}};
    for (const auto &[what, file] : cases) {
      double seconds = 0, peak = 0;
      bool failed = false;
      const bool refused = ReadInChild(file, seconds, peak, failed);
      std::printf("%-58s %8.3f s, peak %.1f MiB (%.1f MiB file; target 1 s, 64 MiB: %s)%s\n",
                  (std::string("refused: ") + what).c_str(), seconds, peak,
                  static_cast<double>(fs::file_size(file)) / (1 << 20), seconds <= 1.0 && peak <= 64 ? "met" : "MISSED",
                  refused ? "" : failed ? " -- FAILED TO RUN" : " -- NOT REFUSED");
    }
  }

  // The kind of a 900 MB file is told from its first bytes.
  {
    const fs::path big = dir / "big.KalvexProject";
    std::ofstream(big, std::ios::binary) << "[Program]\r\nFileType=1\r\n";
    fs::resize_file(big, std::uintmax_t{900} << 20); // sparse
    gCpuStart = CpuSeconds();
    const auto t0 = Clock::now();
    const TFileKind kind = GetFileKind(big.string());
    Report("file kind of a 900 MB project (GetFileKind)", SecondsSince(t0), 0.01);
    if (kind != fkProjectWithPicture) std::printf("  wrong kind %d\n", kind);
    fs::remove(big);
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
    // A valid project with this picture: read in a child of its own, its peak against the
    // picture's and the file's sizes.
    {
      const std::string project = (dir / "24mp.KalvexProject").string();
      {
        TProgMemIniFile ini(project);
        ini.WriteWideString("Program", "FileName", "24mp.jpg");
        ini.WriteInteger("Program", "FileType", ftProjectWithPicture);
        WriteProjectPicture(ini, jpegFile);
        ini.UpdateFile();
      }
      double seconds = 0, peak = 0;
      bool failed = false;
      const bool refused = ReadInChild(project, seconds, peak, failed);
      const double mib = 1 << 20;
      std::printf("%-58s %8.3f s, peak %.1f MiB (picture %.1f MiB + file %.1f MiB)%s\n",
                  "valid project with a 24 MP JPEG read (ReadProjectFile)", seconds, peak, jpeg.size() / mib,
                  fs::file_size(project) / mib, refused || failed ? " -- FAILED" : "");
    }
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
    gCpuStart = CpuSeconds();
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
