// Writes the seed corpus of every harness into DIR/<harness>/, made with the program's own
// writers (JPEG encoder, BMP writer, ini store, regions block, project picture), so no sample file
// comes from elsewhere. Usage: fuzz_make_corpus DIR
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "app/untKalvProjectFile.h"
#include "app/untKalvRegionsFile.h"
#include "engine/untJpeg.h"
#include "platform/untBitmaps.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

void Put(const fs::path &Dir, const std::string &Name, std::string_view Bytes) {
  fs::create_directories(Dir);
  std::ofstream f(Dir / Name, std::ios::binary | std::ios::trunc);
  f.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
}

std::string AsText(const std::vector<std::uint8_t> &Bytes) { return {Bytes.begin(), Bytes.end()}; }

// A picture of W x H with a gradient and some noise-like pattern (bytes blue, green, red or gray).
std::vector<std::uint8_t> Pixels(int W, int H, int Components) {
  std::vector<std::uint8_t> p(static_cast<std::size_t>(W) * H * Components);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      for (int c = 0; c < Components; ++c)
        p[(static_cast<std::size_t>(y) * W + x) * Components + c] =
            static_cast<std::uint8_t>(x * 7 + y * 13 + c * 50 + ((x * y) % 5) * 9);
  return p;
}

std::string Jpeg(int W, int H, int Components, int Quality) {
  const std::vector<std::uint8_t> p = Pixels(W, H, Components);
  std::vector<const std::uint8_t *> rows;
  for (int y = 0; y < H; ++y) rows.push_back(p.data() + static_cast<std::size_t>(y) * W * Components);
  return AsText(EncodeJpeg(W, H, Components, rows, Quality));
}

std::string Bmp(int W, int H, TPixelFormat Format) {
  TBitmap b;
  b.SetPixelFormat(Format);
  if (Format == pf8bit) {
    std::vector<TColor> table;
    for (int i = 0; i < 256; ++i) table.push_back(RGBColor(i, 255 - i, i / 2));
    b.SetColorTable(table);
  }
  b.SetSize(W, H);
  const std::vector<std::uint8_t> p = Pixels(W, H, b.BytesPerPixel());
  for (int y = 0; y < H; ++y)
    std::copy_n(p.data() + static_cast<std::size_t>(y) * W * b.BytesPerPixel(), W * b.BytesPerPixel(),
                b.ScanLine(y));
  TMemoryStream s;
  b.SaveToStream(s);
  return AsText(s.Bytes());
}

std::string Regions(std::int32_t FileType, const std::vector<TRect> &List) {
  TProgMemIniFile ini("");
  WriteIntOrDelete(ini, "Program", "FileType", FileType);
  SaveRegionsToIni(ini, SRegionSectionFormat, List);
  return ini.FileContent();
}

std::string Project(const fs::path &Work, const std::string &Name, const std::string &Picture,
                    const std::vector<TRect> &List) {
  const fs::path file = Work / Name;
  Put(Work, Name, Picture);
  TProgMemIniFile ini("");
  WriteWideOrDelete(ini, "Program", "FileName", Name);
  WriteIntOrDelete(ini, "Program", "FileType", ftProjectWithPicture);
  WriteProjectPicture(ini, file.string());
  SaveRegionsToIni(ini, SRegionSectionFormat, List);
  return ini.FileContent();
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const fs::path dir = argv[1];
  const std::vector<TRect> some{Rect(1, 2, 30, 40), Rect(100, 50, 10, 5), Rect(-5, -5, 700, 900)};

  Put(dir / "jpeg", "color-16x16.jpg", Jpeg(16, 16, 3, 90));
  Put(dir / "jpeg", "color-33x17.jpg", Jpeg(33, 17, 3, 40));
  Put(dir / "jpeg", "gray-8x8.jpg", Jpeg(8, 8, 1, 75));

  Put(dir / "bmp", "rgb-5x3.bmp", Bmp(5, 3, pf24bit));
  Put(dir / "bmp", "indexed-4x4.bmp", Bmp(4, 4, pf8bit));
  Put(dir / "bmp", "rgb-1x1.bmp", Bmp(1, 1, pf24bit));

  Put(dir / "ini", "config.ini",
      "; comment\r\n[Main]\r\nLeft=10\r\nTop=0x20\r\nWidth=$1F\r\nName=\xEF\xBB\xBF\xC3\xA4rger\r\n\r\n"
      "[Main]\nCopy=1\n[ Other ]\n  Key = value with blanks  \nline without equals\r[Last]\rX=-7");
  Put(dir / "ini", "empty.ini", "");

  Put(dir / "regions", "three.krg", Regions(ftRegions, some));
  Put(dir / "regions", "none.krg", Regions(ftRegions, {}));
  Put(dir / "regions", "sparse.krg",
      "[Program]\r\nRegionCount=2147483647\r\n[Region.7FFFFFFE]\r\nX1=1\r\nY1=1\r\nX2=9\r\nY2=9\r\n"
      "[region.00000000]\r\nX1=-2147483648\r\nY1=0x7FFFFFFF\r\nX2=5\r\nY2=zz\r\n");

  const fs::path work = dir / "work";
  Put(dir / "project", "with-bmp.kpr", Project(work, "picture.bmp", Bmp(6, 5, pf24bit), some));
  Put(dir / "project", "with-jpeg.kpr", Project(work, "picture.jpg", Jpeg(16, 8, 3, 80), {}));
  Put(dir / "project", "with-indexed.kpr", Project(work, "gray.bmp", Bmp(3, 3, pf8bit), some));
  Put(dir / "project", "no-picture.kpr",
      "[Program]\r\nFileName=/nowhere/picture.jpg\r\nFileType=0\r\nRegionCount=1\r\n"
      "[Region.00000000]\r\nX1=1\r\nY1=2\r\nX2=3\r\nY2=4\r\n");
  fs::remove_all(work);

  Put(dir / "measure_args", "one-region", "x.jpg\n--region\n1,2,3,4");
  Put(dir / "measure_args", "equals", "--region= 10 , -20 ,300,400\n--format=csv\n--histogram\n--\n-odd.bmp");
  Put(dir / "measure_args", "regions-file",
      "--regions=@\nx.bmp\n--region\n0,0,-5,7\0"s + Regions(ftRegions, some));
  Put(dir / "measure_args", "project-as-regions",
      "p.kpr\n--regions\n@\0"s + Project(dir / "work", "picture.bmp", Bmp(2, 2, pf24bit), some));
  fs::remove_all(dir / "work");

  // The first byte picks the extension: .jpg, .bmp, .KalvexProject, .KalvexRegions, .dat.
  Put(dir / "measure_file", "jpeg", "\x00"s + Jpeg(16, 8, 3, 80));
  Put(dir / "measure_file", "bmp", "\x01"s + Bmp(6, 5, pf24bit));
  Put(dir / "measure_file", "project-bmp", "\x02"s + Project(dir / "work", "picture.bmp", Bmp(12, 9, pf24bit), some));
  Put(dir / "measure_file", "project-jpeg", "\x04"s + Project(dir / "work", "picture.jpg", Jpeg(16, 8, 3, 80), some));
  Put(dir / "measure_file", "regions", "\x03"s + Regions(ftRegions, some));
  Put(dir / "measure_file", "jpeg-odd-name", "\x04"s + Jpeg(8, 8, 1, 75));
  fs::remove_all(dir / "work");
  Put(dir / "ini", "marked.ini", "\xEF\xBB\xBF[Program]\r\nFileType=2\r\nFileName=/home/j\xC3\xBCrgen/a.jpg\r\n");
  return 0;
}
