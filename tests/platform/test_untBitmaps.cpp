// The platform bitmap: row access, BMP reading checks and writing, and the canvas rules.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/untBitmaps.h"

namespace {

TEST(Bitmap, ScanLinesSizesAndBmpRoundTrip) {
  TBitmap b;
  EXPECT_THROW(b.ScanLine(0), EInvalidOperation);
  b.SetSize(5, 3);
  EXPECT_THROW(b.ScanLine(3), EInvalidOperation);
  EXPECT_THROW(b.ScanLine(-1), EInvalidOperation);
  for (int y = 0; y < 3; ++y)
    for (int i = 0; i < 15; ++i) b.ScanLine(y)[i] = static_cast<std::uint8_t>(y * 15 + i);
  TMemoryStream ms;
  b.SaveToStream(ms);
  EXPECT_EQ(ms.Size(), 14 + 40 + 3 * 16);
  ms.SetPosition(0);
  TBitmap c;
  c.LoadFromStream(ms);
  ASSERT_EQ(c.Width(), 5);
  for (int y = 0; y < 3; ++y) EXPECT_EQ(std::memcmp(c.ScanLine(y), b.ScanLine(y), 15), 0);

  // Pixel data cut short, and an offset beyond the end: refused, the bitmap keeps its content.
  TMemoryStream cut;
  cut.WriteBuffer(ms.Memory(), ms.Size() - 5);
  cut.SetPosition(0);
  EXPECT_THROW(c.LoadFromStream(cut), EReadError);
  EXPECT_EQ(c.Width(), 5);
  TMemoryStream bad;
  bad.WriteBuffer(ms.Memory(), ms.Size());
  std::uint8_t *m = bad.Memory();
  m[10] = 0xFF; m[11] = 0xFF; m[12] = 0; m[13] = 0;
  bad.SetPosition(0);
  EXPECT_THROW(c.LoadFromStream(bad), EReadError);
  TMemoryStream junk;
  junk.WriteBuffer("hello world, not a picture at all", 33);
  junk.SetPosition(0);
  EXPECT_THROW(c.LoadFromStream(junk), EReadError);
  // The size check sees the announced size before anything is read.
  ms.SetPosition(0);
  EXPECT_THROW(c.LoadFromStream(ms, [](int W, int H) { if (W * H > 10) throw EOutOfMemory("too large"); }),
               EOutOfMemory);

  // 8 bits with a palette survive the round trip.
  TBitmap g;
  g.SetPixelFormat(pf8bit);
  g.SetSize(3, 2);
  g.ScanLine(1)[2] = 77;
  TMemoryStream gs;
  g.SaveToStream(gs);
  gs.SetPosition(0);
  TBitmap g2;
  g2.LoadFromStream(gs);
  EXPECT_EQ(g2.PixelFormat(), pf8bit);
  EXPECT_EQ(g2.ScanLine(1)[2], 77);
}

// A large picture's freed pixels are taken over by the next picture of its size, and cleared when
// that one asks for it; a picture of another size lets them go. Copies share until written.
TEST(Bitmap, LargePicturesTakeOverTheFreedPixelsOfTheirSize) {
  ReleaseKeptPixelBuffers();
  const std::uint8_t *first = nullptr;
  {
    TBitmap b;
    b.SetSize(2000, 1500); // 9 MB
    b.ScanLine(7)[9] = 200;
    first = b.ScanLine(0);
  }
  EXPECT_GE(KeptPixelBufferBytes(), std::size_t{2000} * 3 * 1500);
  TBitmap again;
  again.SetSize(2000, 1500);
  EXPECT_EQ(again.ScanLine(0), first);
  EXPECT_EQ(again.ScanLine(7)[9], 0);
  EXPECT_EQ(KeptPixelBufferBytes(), 0u);
  QImage copy = again.Image();
  again.ScanLine(7)[9] = 5; // detaches from the copy
  EXPECT_EQ(copy.constScanLine(7)[9], 0);
  again.SetSize(0, 0);
  EXPECT_EQ(KeptPixelBufferBytes(), 0u); // the copy still holds it
  copy = QImage();
  EXPECT_GT(KeptPixelBufferBytes(), 0u);
  TBitmap other;
  other.SetSize(2500, 1500);
  EXPECT_EQ(KeptPixelBufferBytes(), 0u);
}

TEST(Canvas, LinesRectanglesAndXor) {
  TBitmap b;
  b.SetSize(10, 10);
  TCanvas *c = b.Canvas();
  c->Brush.Color = clWhite;
  c->FillRect(Rect(0, 0, 10, 10));
  EXPECT_EQ(c->Pixel(9, 9), clWhite);
  c->Pen.Color = clRed;
  c->MoveTo(0, 0);
  c->LineTo(5, 0);
  EXPECT_EQ(c->Pixel(4, 0), clRed);
  EXPECT_EQ(c->Pixel(5, 0), clWhite); // the end pixel is not drawn
  c->Pen.Mode = pmXor;
  c->Pen.Color = clWhite;
  c->Brush.Style = bsClear;
  c->Rectangle(2, 2, 6, 6);
  EXPECT_EQ(c->Pixel(2, 2), clBlack);
  EXPECT_EQ(c->Pixel(5, 5), clBlack);
  EXPECT_EQ(c->Pixel(6, 6), clWhite); // right and bottom edges excluded
  EXPECT_EQ(c->Pixel(3, 3), clWhite); // hollow
  c->Rectangle(2, 2, 6, 6); // drawn twice, gone
  EXPECT_EQ(c->Pixel(2, 2), clWhite);
  // A dotted outline: three on, three off, running on round the corners.
  c->Pen.Style = psDot;
  c->Rectangle(0, 1, 10, 10);
  EXPECT_EQ(c->Pixel(2, 1), clBlack);
  EXPECT_EQ(c->Pixel(3, 1), clWhite);
  EXPECT_EQ(c->Pixel(9, 1), clWhite); // the 10th pixel of the round, off
  EXPECT_EQ(c->Pixel(9, 4), clBlack); // the 13th, on again
  c->Rectangle(0, 1, 10, 10);
  EXPECT_EQ(c->Pixel(2, 1), clWhite);
  c->Pen.Style = psSolid;
  EXPECT_EQ(c->Pixel(-1, 0), CLR_INVALID);
}

TEST(Canvas, TextCellsCopiesStretchingAndInvertingCopies) {
  TBitmap b;
  b.SetSize(40, 20);
  TCanvas *c = b.Canvas();
  c->Brush.Color = clWhite;
  c->FillRect(Rect(0, 0, 40, 20));
  // A solid brush paints the text's cell first; a hollow one leaves the background.
  c->Font.Color = clBlack;
  c->Brush.Color = clYellow;
  const int w = c->TextWidth("88"), h = c->TextHeight("88");
  ASSERT_GT(w, 0);
  ASSERT_GT(h, 0);
  EXPECT_EQ(c->TextWidth(""), 0);
  EXPECT_GT(c->TextWidth("8888"), w);
  c->TextOut(2, 1, "88");
  int yellow = 0, black = 0;
  for (int y = 1; y < 1 + h; ++y)
    for (int x = 2; x < 2 + w; ++x) {
      yellow += c->Pixel(x, y) == clYellow;
      black += c->Pixel(x, y) != clYellow;
    }
  EXPECT_GT(yellow, 0);
  EXPECT_GT(black, 0);
  EXPECT_EQ(c->Pixel(2 + w, 1), clWhite); // nothing outside the cell
  EXPECT_EQ(c->Pixel(1, 1), clWhite);
  c->Brush.Style = bsClear;
  c->TextOut(20, 1, "88");
  for (int y = 1; y < 1 + h; ++y)
    for (int x = 20; x < 20 + w; ++x) EXPECT_NE(c->Pixel(x, y), clYellow);

  // A 2 x 2 source: Draw copies it 1:1, StretchDraw and CopyRect scale it to the nearest pixel.
  TBitmap src;
  src.SetSize(2, 2);
  src.Canvas()->SetPixel(0, 0, clRed);
  src.Canvas()->SetPixel(1, 0, clGreen);
  src.Canvas()->SetPixel(0, 1, clBlue);
  src.Canvas()->SetPixel(1, 1, clWhite);
  TBitmap dst;
  dst.SetSize(8, 8);
  TCanvas *d = dst.Canvas();
  d->Brush.Color = clBlack;
  d->FillRect(Rect(0, 0, 8, 8));
  d->Draw(6, 6, src);
  EXPECT_EQ(d->Pixel(6, 6), clRed);
  EXPECT_EQ(d->Pixel(7, 7), clWhite);
  EXPECT_EQ(d->Pixel(5, 5), clBlack);
  d->StretchDraw(Rect(0, 0, 4, 4), src); // each source pixel becomes 2 x 2
  EXPECT_EQ(d->Pixel(0, 0), clRed);
  EXPECT_EQ(d->Pixel(1, 1), clRed);
  EXPECT_EQ(d->Pixel(2, 1), clGreen);
  EXPECT_EQ(d->Pixel(3, 3), clWhite);
  EXPECT_EQ(d->Pixel(1, 2), clBlue);
  EXPECT_EQ(d->Pixel(4, 4), clBlack);
  // SRCINVERT: exclusive-or with what is there; twice gives the picture back.
  d->CopyMode = SRCINVERT;
  d->CopyRect(Rect(0, 0, 2, 2), *src.Canvas(), Rect(0, 0, 2, 2));
  EXPECT_EQ(d->Pixel(0, 0), clBlack);  // red ^ red
  EXPECT_EQ(d->Pixel(1, 0), static_cast<TColor>(clRed ^ clGreen));
  d->CopyRect(Rect(0, 0, 2, 2), *src.Canvas(), Rect(0, 0, 2, 2));
  EXPECT_EQ(d->Pixel(0, 0), clRed);
  EXPECT_EQ(d->Pixel(1, 0), clRed);
  d->CopyMode = SRCCOPY;
  // A copy reaching past either bitmap stays inside the destination.
  d->CopyRect(Rect(6, 6, 10, 10), *src.Canvas(), Rect(0, 0, 4, 4));
  EXPECT_EQ(d->Pixel(-1, 0), CLR_INVALID);
  EXPECT_NE(d->Pixel(7, 7), CLR_INVALID);
}

} // namespace

// Headers whose sizes only fit the file when their product wraps round (found by fuzzing): the
// check must refuse them, not overflow.
TEST(Bitmap, HeadersAnnouncingMorePixelsThanTheFileHoldsAreRefused) {
  auto header = [](std::int32_t W, std::int32_t H, std::uint16_t Bits) {
    std::vector<std::uint8_t> b(14 + 40 + 16, 0);
    auto put32 = [&](std::size_t At, std::uint32_t V) {
      for (int i = 0; i < 4; ++i) b[At + i] = static_cast<std::uint8_t>(V >> (8 * i));
    };
    b[0] = 'B';
    b[1] = 'M';
    put32(2, static_cast<std::uint32_t>(b.size()));
    put32(10, 14 + 40);
    put32(14, 40);
    put32(18, static_cast<std::uint32_t>(W));
    put32(22, static_cast<std::uint32_t>(H));
    b[26] = 1;
    b[28] = static_cast<std::uint8_t>(Bits);
    return b;
  };
  const std::int32_t cases[][3] = {{0x7FFFFFFF, 0x7FFFFFFF, 32}, {0x6C210005, 0x6A000000, 24},
                                   {0x7FFFFFFF, -0x7FFFFFFF, 24}, {4, 1, 32}};
  for (const auto &c : cases) {
    TMemoryStream s;
    const auto bytes = header(c[0], c[1], static_cast<std::uint16_t>(c[2]));
    s.Write(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    s.SetPosition(0);
    if (c[0] == 4) { // 16 bytes of pixels: exactly one row of 4 pixels at 32 bits
      EXPECT_EQ(ReadBmpInfo(s).Width, 4);
      continue;
    }
    try {
      ReadBmpInfo(s);
      ADD_FAILURE() << c[0] << " x " << c[1] << " taken";
    } catch (const EReadError &e) {
      EXPECT_EQ(e.Message, "Invalid BMP file: pixel data cut short");
    }
  }
}

// Uncompressed pictures above 16 MB are read in bands of rows: every row must land in its place,
// bottom-up or top-down, 24 bits or 8 bits with padded rows.
TEST(Bitmap, PicturesReadInSeveralBandsKeepEveryRow) {
  const auto check = [](TPixelFormat Format, int W, int H) {
    TBitmap b;
    b.SetPixelFormat(Format);
    b.SetSize(W, H);
    const int rowBytes = W * (Format == pf8bit ? 1 : 3);
    for (int y = 0; y < H; ++y)
      for (int i = 0; i < rowBytes; ++i) b.ScanLine(y)[i] = static_cast<std::uint8_t>(i * 7 + y * 13 + y / 256);
    TMemoryStream ms;
    b.SaveToStream(ms);
    ASSERT_GT(ms.Size(), 16 << 20);
    ms.SetPosition(0);
    TBitmap c;
    c.LoadFromStream(ms);
    ASSERT_EQ(c.Width(), W);
    ASSERT_EQ(c.Height(), H);
    EXPECT_EQ(c.PixelFormat(), Format);
    for (int y = 0; y < H; ++y) ASSERT_EQ(std::memcmp(c.ScanLine(y), b.ScanLine(y), rowBytes), 0) << "row " << y;

    // The same rows marked top-down: the picture is upside down.
    const std::uint32_t up = static_cast<std::uint32_t>(-H);
    for (int i = 0; i < 4; ++i) ms.Memory()[22 + i] = static_cast<std::uint8_t>(up >> (8 * i));
    ms.SetPosition(0);
    c.LoadFromStream(ms);
    ASSERT_EQ(c.Height(), H);
    for (int y = 0; y < H; ++y)
      ASSERT_EQ(std::memcmp(c.ScanLine(y), b.ScanLine(H - 1 - y), rowBytes), 0) << "top-down row " << y;
  };
  check(pf24bit, 3000, 1900); // bands of 1864 rows
  check(pf8bit, 9001, 1900);  // 9004 bytes a stored row
}
