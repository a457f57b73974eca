// Writes the bundled sample: a synthetic noise test chart of 2000 x 1300 pixels (JPEG quality 95)
// and the rectangles of its six patches, as text and as a regions file the window imports and
// `kalvex --measure --regions` reads.
//
//   make_sample OUT.jpg OUT-regions.txt [OUT.KalvexRegions]
//
// The background is a gentle left-to-right gradient with a slight vertical tilt, noise-free. Six
// flat grey patches (level 128) carry Gaussian noise of standard deviation 0, 1, 2, 4, 8 and 16
// grey levels, drawn independently for red, green and blue, so the measured N mean grows with the
// patch number (about 1.13 sigma before the JPEG compression smooths it). The random numbers come
// from a fixed xorshift generator and Box-Muller, so the output is the same on every machine.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "app/WideIniFile.h"
#include "app/untKalvRegionsFile.h"
#include "engine/untJpeg.h"
#include "platform/untClasses.h"

namespace {

constexpr int Width = 2000;
constexpr int Height = 1300;
constexpr int PatchLevel = 128;
constexpr int PatchW = 500;
constexpr int PatchH = 450;
constexpr double Sigmas[6] = {0, 1, 2, 4, 8, 16};

struct TPatch {
  int Left, Top;
  double Sigma;
};

class TRandom {
public:
  explicit TRandom(std::uint64_t Seed) : FState(Seed) {}
  double Uniform() { // (0, 1]
    FState ^= FState << 13;
    FState ^= FState >> 7;
    FState ^= FState << 17;
    return (static_cast<double>(FState >> 11) + 1.0) * (1.0 / 9007199254740992.0);
  }
  double Gaussian() {
    if (FHaveSpare) {
      FHaveSpare = false;
      return FSpare;
    }
    const double r = std::sqrt(-2.0 * std::log(Uniform()));
    const double t = 2.0 * 3.14159265358979323846 * Uniform();
    FSpare = r * std::sin(t);
    FHaveSpare = true;
    return r * std::cos(t);
  }

private:
  std::uint64_t FState;
  double FSpare = 0;
  bool FHaveSpare = false;
};

std::uint8_t ToByte(double v) {
  const double r = std::nearbyint(v);
  return static_cast<std::uint8_t>(r < 0 ? 0 : r > 255 ? 255 : r);
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "Usage: make_sample OUT.jpg OUT-regions.txt [OUT.KalvexRegions]\n");
    return 2;
  }
  std::vector<TPatch> patches;
  for (int i = 0; i < 6; ++i)
    patches.push_back({150 + (i % 3) * 600, 150 + (i / 3) * 575, Sigmas[i]});

  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(Width) * Height * 3);
  TRandom rnd(0x6b616c766578ull);
  for (int y = 0; y < Height; ++y) {
    for (int x = 0; x < Width; ++x) {
      std::uint8_t *p = &pixels[(static_cast<std::size_t>(y) * Width + x) * 3];
      const TPatch *in = nullptr;
      for (const TPatch &pt : patches)
        if (x >= pt.Left && x < pt.Left + PatchW && y >= pt.Top && y < pt.Top + PatchH) in = &pt;
      if (in == nullptr) {
        const double g = 70.0 + 120.0 * x / (Width - 1) + 10.0 * y / (Height - 1);
        p[0] = p[1] = p[2] = ToByte(g);
        continue;
      }
      for (int c = 0; c < 3; ++c) p[c] = ToByte(PatchLevel + in->Sigma * rnd.Gaussian());
    }
  }
  std::vector<const std::uint8_t *> rows;
  for (int y = 0; y < Height; ++y) rows.push_back(&pixels[static_cast<std::size_t>(y) * Width * 3]);

  try {
    const std::vector<std::uint8_t> jpeg = EncodeJpeg(Width, Height, 3, rows, 95);
    WriteFileAtomically(argv[1], jpeg.data(), jpeg.size());
    std::string text =
        "# The six patches of sample.jpg as left,top,width,height, one per line. They are grey 128\n"
        "# with Gaussian noise of sigma 0, 1, 2, 4, 8 and 16 grey levels, in this order.\n";
    for (const TPatch &pt : patches)
      text += std::to_string(pt.Left) + "," + std::to_string(pt.Top) + "," +
              std::to_string(PatchW) + "," + std::to_string(PatchH) + "\n";
    WriteFileAtomically(argv[2], text.data(), text.size());
    if (argc == 4) {
      TProgMemIniFile ini(argv[3]);
      ini.WriteInteger("Program", "FileType", ftRegions);
      std::vector<TRect> rects;
      for (const TPatch &pt : patches) rects.push_back(Rect(pt.Left, pt.Top, pt.Left + PatchW, pt.Top + PatchH));
      SaveRegionsToIni(ini, SRegionSectionFormat, rects);
      ini.UpdateFile();
    }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "make_sample: %s\n", e.what());
    return 1;
  }
  return 0;
}
