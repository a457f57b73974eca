// Writes the benchmarks' photograph-like noisy picture as a JPEG (quality 90 unless given) or,
// for a name ending in .bmp, as a 24-bit BMP. Seed varies the noise, so a set of pictures of the
// same size differ.
//
//   bench_picture OUT width height [quality [seed [noise]]]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/BenchPicture.h"
#include "engine/untJpeg.h"

int main(int argc, char **argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: bench_picture OUT width height [quality [seed [noise]]]\n");
    return 2;
  }
  const std::string out = argv[1];
  const int w = std::atoi(argv[2]), h = std::atoi(argv[3]);
  const int quality = argc > 4 ? std::atoi(argv[4]) : 90;
  const unsigned seed = argc > 5 ? static_cast<unsigned>(std::atoi(argv[5])) : 12345u;
  const float noise = argc > 6 ? static_cast<float>(std::atof(argv[6])) : 0.2f;
  if (w <= 0 || h <= 0) {
    std::fprintf(stderr, "bench_picture: width and height must be positive\n");
    return 2;
  }
  try {
    TBitmap24 pic;
    bench::MakePicture(pic, w, h, false, seed, noise);
    if (out.size() > 4 && out.compare(out.size() - 4, 4, ".bmp") == 0) {
      pic.SaveToFile(out);
      return 0;
    }
    std::vector<const std::uint8_t *> rows(static_cast<size_t>(h));
    for (int y = 0; y < h; ++y) rows[static_cast<size_t>(y)] = pic.ScanLine(y);
    const std::vector<std::uint8_t> jpeg = EncodeJpeg(w, h, 3, rows, quality);
    TFileStream f(out, fmCreate);
    f.WriteBuffer(jpeg.data(), static_cast<std::int64_t>(jpeg.size()));
  } catch (const std::exception &e) {
    std::fprintf(stderr, "bench_picture: %s\n", e.what());
    return 1;
  }
  return 0;
}
