// The benchmarks' picture, made by the program itself (no sample files).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "engine/untGraphics.h"

namespace bench {

// A photograph-like picture: smooth colour gradients and blobs plus sensor-like noise; or one flat
// colour, the worst case for counting (every count hits the same bin). Noise scales the noise (1: the
// engine benchmark's strong noise; about 0.2 gives a camera-like JPEG of 3 to 4 MB at 24 MP).
inline void MakePicture(TBitmap24 &Pic, int W, int H, bool Flat, std::uint32_t Seed = 12345,
                        float Noise = 1.0f) {
  Pic.SetSize(W, H);
  std::uint32_t seed = Seed;
  auto rnd = [&]() {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<int>((seed >> 16) & 0xFF);
  };
  for (int y = 0; y < H; ++y) {
    std::uint8_t *row = Pic.ScanLine(y);
    for (int x = 0; x < W; ++x) {
      const float fx = static_cast<float>(x) / static_cast<float>(W), fy = static_cast<float>(y) / static_cast<float>(H);
      const float blob = std::sin(fx * 9.0f) * std::cos(fy * 7.0f);
      const float noise = static_cast<float>((rnd() + rnd() + rnd() + rnd()) / 4 - 128) * Noise; // roughly Gaussian
      auto clamp = [](float v) { return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); };
      row[3 * x + 2] = clamp(40 + 180 * fx + 30 * blob + noise * 0.35f);
      row[3 * x + 1] = clamp(60 + 120 * fy - 40 * blob + noise * 0.30f);
      row[3 * x + 0] = clamp(200 - 150 * fx * fy + 50 * blob + noise * 0.45f);
      if (Flat) std::memset(row + 3 * x, 90, 3);
    }
  }
}

} // namespace bench
