#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "engine/untJpeg.h"
#include "tests/engine/JpegTestUtil.h"

using jpegtest::Kind;

namespace {

struct TDecoded {
  TJpegHeader Header;
  std::vector<std::uint8_t> Bgr;
};

TDecoded DecodeAll(const std::vector<std::uint8_t> &Jpeg) {
  TJpegDecoder dec(Jpeg);
  TDecoded d;
  d.Header = dec.Header();
  const int w = d.Header.Width, h = d.Header.Height;
  d.Bgr.assign(static_cast<std::size_t>(w) * h * 3, 0xAB);
  std::vector<std::uint8_t *> rows;
  for (int y = 0; y < h; ++y) rows.push_back(&d.Bgr[static_cast<std::size_t>(y) * w * 3]);
  dec.Decode(rows);
  return d;
}

std::string DecodeError(const std::vector<std::uint8_t> &Jpeg) {
  try {
    DecodeAll(Jpeg);
  } catch (const EJPEGError &e) {
    return e.Message;
  }
  return "no error";
}

} // namespace

// Every colour kind a camera or editor writes decodes to the very pixels libjpeg's defaults give
// (slow integer DCT, fancy upsampling), in blue-green-red order and at full size.
TEST(untJpeg, ColourKindsMatchLibjpegDefaults) {
  for (Kind k : {Kind::Baseline, Kind::Progressive, Kind::Arithmetic, Kind::Gray, Kind::Rgb}) {
    SCOPED_TRACE(static_cast<int>(k));
    auto fn = k == Kind::Gray ? jpegtest::PixelFn([](int x, int y, std::uint8_t *o) {
      o[0] = static_cast<std::uint8_t>((x * 5 + y * 9) & 0xFF);
    })
                              : jpegtest::PixelFn(jpegtest::Texture);
    const auto jpeg = jpegtest::Make(37, 23, k, fn, 90);
    TDecoded d = DecodeAll(jpeg);
    int w = 0, h = 0;
    const auto ref = jpegtest::ReferenceDecode(jpeg, w, h);
    EXPECT_EQ(d.Header.Width, 37);
    EXPECT_EQ(d.Header.Height, 23);
    EXPECT_EQ(d.Header.Progressive, k == Kind::Progressive);
    EXPECT_EQ(d.Header.Arithmetic, k == Kind::Arithmetic);
    EXPECT_EQ(d.Bgr, ref);
    if (k == Kind::Gray) {
      for (std::size_t i = 0; i < d.Bgr.size(); i += 3) {
        ASSERT_EQ(d.Bgr[i], d.Bgr[i + 1]);
        ASSERT_EQ(d.Bgr[i], d.Bgr[i + 2]);
      }
    }
  }
  // Blue-green-red order: a pure red picture comes back with the red byte last.
  const auto red = jpegtest::Make(16, 16, Kind::Baseline, [](int, int, std::uint8_t *o) {
    o[0] = 0; o[1] = 0; o[2] = 255;
  }, 100);
  TDecoded d = DecodeAll(red);
  EXPECT_LE(d.Bgr[0], 2);
  EXPECT_LE(d.Bgr[1], 2);
  EXPECT_GE(d.Bgr[2], 253);
}

// Adobe CMYK and YCCK hold inverted inks (255 = no ink); R = C'·K'/255 and so on. A 4-component
// file without the Adobe marker holds plain inks.
TEST(untJpeg, CmykAndYcckConvertToRgb) {
  auto light = [](int, int, std::uint8_t *o) { o[0] = 200; o[1] = 100; o[2] = 50; o[3] = 128; };
  for (Kind k : {Kind::Cmyk, Kind::Ycck}) {
    SCOPED_TRACE(static_cast<int>(k));
    TDecoded d = DecodeAll(jpegtest::Make(16, 8, k, light, 100));
    EXPECT_TRUE(d.Header.Cmyk);
    EXPECT_TRUE(d.Header.Adobe);
    EXPECT_NEAR(d.Bgr[2], 200 * 128 / 255.0, 2); // R
    EXPECT_NEAR(d.Bgr[1], 100 * 128 / 255.0, 2); // G
    EXPECT_NEAR(d.Bgr[0], 50 * 128 / 255.0, 2);  // B
  }
  auto ink = [](int, int, std::uint8_t *o) { o[0] = 55; o[1] = 155; o[2] = 205; o[3] = 0; };
  TDecoded plain = DecodeAll(jpegtest::Make(16, 8, Kind::CmykNoAdobe, ink, 100));
  EXPECT_FALSE(plain.Header.Adobe);
  EXPECT_NEAR(plain.Bgr[2], 200, 2);
  EXPECT_NEAR(plain.Bgr[1], 100, 2);
  EXPECT_NEAR(plain.Bgr[0], 50, 2);
}

// Damaged data is an error with a message, never a grey-filled picture or a crash.
TEST(untJpeg, BadDataIsRefusedWithAMessage) {
  const auto good = jpegtest::Make(64, 48, Kind::Baseline, jpegtest::Texture);
  const auto prog = jpegtest::Make(64, 48, Kind::Progressive, jpegtest::Texture);

  EXPECT_EQ(DecodeError({}), "The JPEG picture is empty (0 bytes)");
  EXPECT_NE(DecodeError({'B', 'M', 0, 0, 0, 0}).find("Not a JPEG file"), std::string::npos);
  std::vector<std::uint8_t> text(500, 'x');
  EXPECT_NE(DecodeError(text).find("Invalid JPEG picture"), std::string::npos);

  for (const auto *src : {&good, &prog}) {
    for (std::size_t cut : {src->size() / 2, src->size() - 2, std::size_t(300)}) {
      SCOPED_TRACE(cut);
      std::vector<std::uint8_t> truncated(src->begin(), src->begin() + static_cast<long>(cut));
      const std::string msg = DecodeError(truncated);
      EXPECT_NE(msg, "no error");
      EXPECT_EQ(msg, STruncatedJpeg); // within the header as within the scans
    }
  }
  // Only the first marker segment: the header itself ends early.
  std::vector<std::uint8_t> headerOnly(good.begin(), good.begin() + 20);
  EXPECT_EQ(DecodeError(headerOnly), STruncatedJpeg);

  // A 0 x 0 frame is refused while reading the header.
  auto empty = good;
  jpegtest::SetSofSize(empty, 0, 0);
  EXPECT_NE(DecodeError(empty).find("Invalid JPEG picture"), std::string::npos);

  // Garbage in the middle of the entropy-coded data: a marker that does not belong there.
  auto broken = good;
  for (std::size_t i = broken.size() / 2; i < broken.size() / 2 + 40; i += 2) {
    broken[i] = 0xFF;
    broken[i + 1] = 0xD3;
  }
  EXPECT_NE(DecodeError(broken), "no error");
}

// A header may claim any size up to 65500 x 65500; the header alone is read without allocating
// the picture, so the caller can refuse it, and libjpeg's own buffers stay under the cap.
TEST(untJpeg, HugeHeadersAreReadWithoutAllocating) {
  auto jpeg = jpegtest::Make(64, 64, Kind::Progressive, jpegtest::Texture);
  jpegtest::SetSofSize(jpeg, 65500, 65500);
  TJpegDecoder dec(jpeg, 64u << 20);
  EXPECT_EQ(dec.Header().Width, 65500);
  EXPECT_EQ(dec.Header().Height, 65500);
  EXPECT_GT(dec.DecoderMemory(), 65500ull * 65500ull);

  // Decoding a progressive file into rows of a tall header under a small cap fails cleanly.
  auto tall = jpegtest::Make(64, 64, Kind::Progressive, jpegtest::Texture);
  jpegtest::SetSofSize(tall, 64, 65000);
  TJpegDecoder dec2(tall, 1u << 20);
  std::vector<std::uint8_t> row(64 * 3);
  std::vector<std::uint8_t *> rows(65000, row.data());
  try {
    dec2.Decode(rows);
    ADD_FAILURE() << "decoded";
  } catch (const EOutOfMemory &e) {
    EXPECT_EQ(e.Message, "Not enough memory to decode the JPEG picture of 64 x 65000 pixels");
  }
}

TEST(untJpeg, EncodeRoundTripsColourAndGray) {
  const int w = 40, h = 30;
  std::vector<std::uint8_t> bgr(w * h * 3), gray(w * h);
  std::vector<const std::uint8_t *> rows, grows;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      std::uint8_t *p = &bgr[(y * w + x) * 3];
      p[0] = static_cast<std::uint8_t>(x * 6);
      p[1] = static_cast<std::uint8_t>(y * 8);
      p[2] = 128;
      gray[y * w + x] = static_cast<std::uint8_t>(x * 3 + y * 2);
    }
    rows.push_back(&bgr[y * w * 3]);
    grows.push_back(&gray[y * w]);
  }
  TDecoded c = DecodeAll(EncodeJpeg(w, h, 3, rows, 100));
  ASSERT_EQ(c.Header.Width, w);
  EXPECT_EQ(c.Header.Components, 3);
  int worst = 0;
  for (std::size_t i = 0; i < bgr.size(); ++i) worst = std::max(worst, std::abs(c.Bgr[i] - bgr[i]));
  EXPECT_LE(worst, 12);

  TDecoded g = DecodeAll(EncodeJpeg(w, h, 1, grows, 100));
  EXPECT_EQ(g.Header.Components, 1);
  worst = 0;
  for (int i = 0; i < w * h; ++i) worst = std::max(worst, std::abs(g.Bgr[i * 3] - gray[i]));
  EXPECT_LE(worst, 2);

  EXPECT_THROW(EncodeJpeg(0, 5, 3, {}, 90), EJPEGError);
  EXPECT_THROW(EncodeJpeg(w, h, 2, rows, 90), EJPEGError);
  EXPECT_THROW(EncodeJpeg(w, h + 1, 3, rows, 90), EJPEGError);
}
