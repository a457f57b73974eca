// Pictures and BMP files for the picture-job tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/untGraphics.h"

namespace picjobtest {

struct TRgb {
  std::uint8_t R = 0, G = 0, B = 0;
  bool operator==(const TRgb &) const = default;
};

inline std::unique_ptr<TBitmap24> MakeBitmap(int W, int H, const std::function<TRgb(int, int)> &Fn) {
  auto bmp = std::make_unique<TBitmap24>();
  bmp->SetSize(W, H);
  for (int y = 0; y < H; ++y) {
    std::uint8_t *row = bmp->ScanLine(y);
    for (int x = 0; x < W; ++x) {
      const TRgb c = Fn(x, y);
      row[x * 3] = c.B;
      row[x * 3 + 1] = c.G;
      row[x * 3 + 2] = c.R;
    }
  }
  return bmp;
}

inline TRgb PixelOf(TBitmap &Bmp, int X, int Y) {
  const std::uint8_t *p = Bmp.ScanLine(Y) + X * 3;
  return {p[2], p[1], p[0]};
}

// A little-endian byte writer for hand-made BMP files.
struct TBytes {
  std::vector<std::uint8_t> Data;
  void U8(unsigned v) { Data.push_back(static_cast<std::uint8_t>(v)); }
  void U16(unsigned v) { U8(v & 0xFF); U8((v >> 8) & 0xFF); }
  void U32(std::uint32_t v) { U16(v & 0xFFFF); U16(v >> 16); }
  void Pad4() { while (Data.size() % 4 != 0) U8(0); }
};

enum class TBmpKind { b1, b4, b8, rle4, rle8, b16, b16bf565, b24, b32, b32bf };

// The colour every BMP test picture has at (x, y): one of eight saturated colours (two for 1 bit).
inline TRgb BmpColor(TBmpKind K, int X, int Y) {
  const int idx = K == TBmpKind::b1 ? (X + Y) % 2 : (X + 2 * Y) % 8;
  return {static_cast<std::uint8_t>(idx & 1 ? 255 : 0), static_cast<std::uint8_t>(idx & 2 ? 255 : 0),
          static_cast<std::uint8_t>(idx & 4 ? 255 : 0)};
}

// A complete BMP file of W x H pixels of BmpColor; TopDown writes a negative height (only for the
// uncompressed kinds).
inline std::vector<std::uint8_t> MakeBmp(TBmpKind K, int W, int H, bool TopDown = false) {
  int bits = 24, compression = 0, colors = 0;
  switch (K) {
  case TBmpKind::b1: bits = 1; colors = 2; break;
  case TBmpKind::b4: bits = 4; colors = 8; break;
  case TBmpKind::b8: bits = 8; colors = 8; break;
  case TBmpKind::rle4: bits = 4; colors = 8; compression = 2; break;
  case TBmpKind::rle8: bits = 8; colors = 8; compression = 1; break;
  case TBmpKind::b16: bits = 16; break;
  case TBmpKind::b16bf565: bits = 16; compression = 3; break;
  case TBmpKind::b24: bits = 24; break;
  case TBmpKind::b32: bits = 32; break;
  case TBmpKind::b32bf: bits = 32; compression = 3; break;
  }
  auto index = [&](int x, int y) { return K == TBmpKind::b1 ? (x + y) % 2 : (x + 2 * y) % 8; };
  TBytes px;
  for (int row = 0; row < H; ++row) {
    const int y = TopDown ? row : H - 1 - row;
    if (compression == 1 || compression == 2) {
      for (int x = 0; x < W; ++x) {
        px.U8(1); // a run of one pixel
        const unsigned i = static_cast<unsigned>(index(x, y));
        px.U8(compression == 2 ? (i << 4) | i : i);
      }
      px.U8(0);
      px.U8(row == H - 1 ? 1 : 0); // end of line, or end of bitmap after the last
      continue;
    }
    unsigned acc = 0;
    int accBits = 0;
    for (int x = 0; x < W; ++x) {
      const TRgb c = BmpColor(K, x, y);
      if (bits < 8) {
        acc = (acc << bits) | static_cast<unsigned>(index(x, y));
        accBits += bits;
        if (accBits == 8) { px.U8(acc); acc = 0; accBits = 0; }
      } else if (bits == 8) {
        px.U8(static_cast<unsigned>(index(x, y)));
      } else if (K == TBmpKind::b16) {
        px.U16(((c.R >> 3) << 10) | ((c.G >> 3) << 5) | (c.B >> 3));
      } else if (K == TBmpKind::b16bf565) {
        px.U16(((c.R >> 3) << 11) | ((c.G >> 2) << 5) | (c.B >> 3));
      } else if (K == TBmpKind::b24) {
        px.U8(c.B); px.U8(c.G); px.U8(c.R);
      } else if (K == TBmpKind::b32) {
        px.U8(c.B); px.U8(c.G); px.U8(c.R); px.U8(0);
      } else { // b32bf: red in the low byte, blue in the third
        px.U8(c.R); px.U8(c.G); px.U8(c.B); px.U8(0);
      }
    }
    if (accBits > 0) px.U8(acc << (8 - accBits));
    px.Pad4();
  }
  const std::uint32_t masks = compression == 3 ? 12 : 0;
  const std::uint32_t offset = 14 + 40 + masks + static_cast<std::uint32_t>(colors) * 4;
  TBytes f;
  f.U8('B'); f.U8('M');
  f.U32(offset + static_cast<std::uint32_t>(px.Data.size()));
  f.U32(0);
  f.U32(offset);
  f.U32(40);
  f.U32(static_cast<std::uint32_t>(W));
  f.U32(static_cast<std::uint32_t>(TopDown ? -H : H));
  f.U16(1);
  f.U16(static_cast<unsigned>(bits));
  f.U32(static_cast<std::uint32_t>(compression));
  f.U32(static_cast<std::uint32_t>(px.Data.size()));
  f.U32(2835); f.U32(2835);
  f.U32(static_cast<std::uint32_t>(colors));
  f.U32(0);
  if (K == TBmpKind::b16bf565) { f.U32(0xF800); f.U32(0x07E0); f.U32(0x001F); }
  if (K == TBmpKind::b32bf) { f.U32(0x000000FF); f.U32(0x0000FF00); f.U32(0x00FF0000); }
  for (int i = 0; i < colors; ++i) {
    const TRgb c{static_cast<std::uint8_t>(i & 1 ? 255 : 0), static_cast<std::uint8_t>(i & 2 ? 255 : 0),
                 static_cast<std::uint8_t>(i & 4 ? 255 : 0)};
    f.U8(c.B); f.U8(c.G); f.U8(c.R); f.U8(0);
  }
  f.Data.insert(f.Data.end(), px.Data.begin(), px.Data.end());
  return f.Data;
}

} // namespace picjobtest
