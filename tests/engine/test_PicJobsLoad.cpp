#include <gtest/gtest.h>

#include <fstream>

#include "engine/untJpeg.h"
#include "engine/untKalvPicJobDataJobs.h"
#include "tests/common/TestUtil.h"
#include "tests/engine/JpegTestUtil.h"
#include "tests/engine/PicJobTestUtil.h"

using namespace picjobtest;
using jpegtest::Kind;

namespace {

std::string WriteFile(const testutil::TempDir &Dir, const std::string &Name,
                      const std::vector<std::uint8_t> &Data) {
  const std::string path = (Dir.Path / Name).string();
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(Data.data()), static_cast<std::streamsize>(Data.size()));
  return path;
}

// Runs a file job of the kind the extension names; returns the error text ("" when it loaded).
std::string LoadError(const std::string &File, std::unique_ptr<TPicJobData> *Out = nullptr) {
  std::unique_ptr<TPicJobData> job;
  if (File.ends_with(".bmp"))
    job = std::make_unique<TBMPPicJobData>(File, NoProgressWnd);
  else
    job = std::make_unique<TJPEGPicJobData>(File, NoProgressWnd);
  job->PartCount = 2;
  std::string error;
  try {
    job->Run();
  } catch (const Exception &e) {
    error = e.Message;
    EXPECT_TRUE(job->PicRGB->Empty()) << "a failed load leaves the picture empty";
    EXPECT_EQ(job->NsR->SCount, 0);
  }
  if (Out != nullptr) *Out = std::move(job);
  return error;
}

} // namespace

// Every BMP depth and layout arrives as the same 24-bit picture, through the file job and the
// stream job alike.
TEST(PicJobsLoad, EveryBmpDepthGivesTheKnownPixels) {
  testutil::TempDir dir;
  const int w = 5, h = 3; // odd width: rows are padded
  struct TCase { TBmpKind Kind; bool TopDown; int Tolerance; };
  const TCase cases[] = {
      {TBmpKind::b1, false, 0},   {TBmpKind::b4, false, 0},       {TBmpKind::b8, false, 0},
      {TBmpKind::rle4, false, 0}, {TBmpKind::rle8, false, 0},     {TBmpKind::b16, false, 8},
      {TBmpKind::b16bf565, false, 8}, {TBmpKind::b24, false, 0},  {TBmpKind::b32, false, 0},
      {TBmpKind::b32bf, false, 0}, {TBmpKind::b24, true, 0},      {TBmpKind::b8, true, 0},
      {TBmpKind::b32, true, 0}};
  for (const TCase &c : cases) {
    SCOPED_TRACE(testing::Message() << "kind " << static_cast<int>(c.Kind) << (c.TopDown ? " top-down" : ""));
    const auto bytes = MakeBmp(c.Kind, w, h, c.TopDown);
    std::unique_ptr<TPicJobData> job;
    ASSERT_EQ(LoadError(WriteFile(dir, "p.bmp", bytes), &job), "");
    TMemoryStream ms;
    ms.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    TStreamBMPPicJobData sjob("p.bmp", NoProgressWnd);
    sjob.Stream = &ms;
    sjob.Run();
    for (TPicJobData *j : {job.get(), static_cast<TPicJobData *>(&sjob)}) {
      ASSERT_EQ(j->PicRGB->Width(), w);
      ASSERT_EQ(j->PicRGB->Height(), h);
      EXPECT_EQ(j->PicRGB->PixelFormat(), pf24bit);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const TRgb want = BmpColor(c.Kind, x, y), got = PixelOf(*j->PicRGB, x, y);
          EXPECT_NEAR(got.R, want.R, c.Tolerance) << x << "," << y;
          EXPECT_NEAR(got.G, want.G, c.Tolerance) << x << "," << y;
          EXPECT_NEAR(got.B, want.B, c.Tolerance) << x << "," << y;
        }
      // Measured, too: every pixel is a signal sample.
      EXPECT_EQ(j->NsL->SCount, w * h);
      EXPECT_EQ(j->NsL->NCount, h * (4 * w - 5));
    }
  }
}

// The JPEG kinds reach the pages at full size with the decoder's pixels, from a file and a stream.
TEST(PicJobsLoad, JpegKindsThroughFileAndStreamJobs) {
  testutil::TempDir dir;
  for (Kind k : {Kind::Baseline, Kind::Progressive, Kind::Arithmetic, Kind::Gray, Kind::Cmyk, Kind::Ycck}) {
    SCOPED_TRACE(static_cast<int>(k));
    auto fn = k == Kind::Cmyk || k == Kind::Ycck
                  ? jpegtest::PixelFn([](int x, int y, std::uint8_t *o) {
                      o[0] = static_cast<std::uint8_t>(x * 4); o[1] = static_cast<std::uint8_t>(y * 4);
                      o[2] = 90; o[3] = 255;
                    })
              : k == Kind::Gray ? jpegtest::PixelFn([](int x, int y, std::uint8_t *o) {
                      o[0] = static_cast<std::uint8_t>(x * 3 + y * 5);
                    })
                  : jpegtest::PixelFn(jpegtest::Texture);
    const auto bytes = jpegtest::Make(61, 37, k, fn, 92);
    std::unique_ptr<TPicJobData> job;
    ASSERT_EQ(LoadError(WriteFile(dir, "p.jpg", bytes), &job), "");
    ASSERT_EQ(job->PicRGB->Width(), 61);
    ASSERT_EQ(job->PicRGB->Height(), 37);
    if (k != Kind::Cmyk && k != Kind::Ycck) {
      int rw = 0, rh = 0;
      const auto ref = jpegtest::ReferenceDecode(bytes, rw, rh);
      for (int y = 0; y < rh; ++y)
        ASSERT_EQ(std::memcmp(job->PicRGB->ScanLine(y), &ref[static_cast<std::size_t>(y) * rw * 3], rw * 3), 0);
    } else {
      const TRgb p = PixelOf(*job->PicRGB, 10, 5); // inks inverted by Adobe: R = C', G = M', B = Y'
      EXPECT_NEAR(p.R, 40, 3);
      EXPECT_NEAR(p.G, 20, 3);
      EXPECT_NEAR(p.B, 90, 3);
    }
    TMemoryStream ms;
    ms.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size())); // positioned at the end
    TStreamJPEGPicJobData sjob("p.jpg", NoProgressWnd);
    sjob.Stream = &ms;
    sjob.Run();
    for (int y = 0; y < 37; ++y)
      ASSERT_EQ(std::memcmp(sjob.PicRGB->ScanLine(y), job->PicRGB->ScanLine(y), 61 * 3), 0);
    EXPECT_EQ(sjob.NsB->NSum, job->NsB->NSum);
  }
}

// Bad pictures: each gives its own clear error, leaves the picture empty and measures nothing.
TEST(PicJobsLoad, BadPicturesAreRefusedWithAMessage) {
  testutil::TempDir dir;
  const auto jpeg = jpegtest::Make(64, 64, Kind::Baseline, jpegtest::Texture);
  const auto bmp = MakeBmp(TBmpKind::b24, 64, 64);

  EXPECT_EQ(LoadError(WriteFile(dir, "empty.jpg", {})), "The JPEG picture is empty (0 bytes)");
  EXPECT_NE(LoadError(WriteFile(dir, "empty.bmp", {})), "");
  EXPECT_NE(LoadError((dir.Path / "missing.jpg").string()), "");

  std::vector<std::uint8_t> half(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() / 2));
  EXPECT_EQ(LoadError(WriteFile(dir, "half.jpg", half)), STruncatedJpeg);
  EXPECT_EQ(LoadError(WriteFile(dir, "head.jpg", {jpeg.begin(), jpeg.begin() + 30})), STruncatedJpeg);
  std::vector<std::uint8_t> bhalf(bmp.begin(), bmp.begin() + static_cast<long>(bmp.size() / 2));
  EXPECT_NE(LoadError(WriteFile(dir, "half.bmp", bhalf)), "");

  const std::string textBytes = "This is a text file, not a picture at all.\n";
  const std::vector<std::uint8_t> text(textBytes.begin(), textBytes.end());
  EXPECT_NE(LoadError(WriteFile(dir, "text.jpg", text)).find("Not a JPEG file"), std::string::npos);
  EXPECT_NE(LoadError(WriteFile(dir, "text.bmp", text)), "");
  EXPECT_NE(LoadError(WriteFile(dir, "bmp-named.jpg", bmp)).find("Not a JPEG file"), std::string::npos);

  // Headers that claim sizes the data cannot back, or that cannot be held.
  auto sized = [&](int W, int H) {
    auto j = jpeg;
    jpegtest::SetSofSize(j, W, H);
    return j;
  };
  EXPECT_NE(LoadError(WriteFile(dir, "0x0.jpg", sized(0, 0))).find("Invalid JPEG picture"), std::string::npos);
  // The scan ends at the end-of-image marker long before row 65000.
  EXPECT_EQ(LoadError(WriteFile(dir, "tall.jpg", sized(64, 65000))),
            "Damaged JPEG picture: Corrupt JPEG data: premature end of data segment");
  // One limit for every format, told from the header alone: too many pixels (40000 x 40000 would
  // fit this machine's memory but not the ceiling), too wide for libjpeg, too many for the memory.
  EXPECT_EQ(LoadError(WriteFile(dir, "huge.jpg", sized(40000, 40000))), "Picture too large: 40000 x 40000 pixels");
  EXPECT_EQ(LoadError(WriteFile(dir, "wide.jpg", sized(65535, 8))), "Picture too large: 65535 x 8 pixels");
  EXPECT_EQ(LoadError(WriteFile(dir, "max.jpg", sized(65500, 65500))), "Picture too large: 65500 x 65500 pixels");

  auto bmpSized = [&](int W, int H) {
    auto b = bmp;
    for (int i = 0; i < 4; ++i) {
      b[18 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(W) >> (8 * i));
      b[22 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(H) >> (8 * i));
    }
    return b;
  };
  EXPECT_NE(LoadError(WriteFile(dir, "0x0.bmp", bmpSized(0, 0))), "");
  EXPECT_NE(LoadError(WriteFile(dir, "tall.bmp", bmpSized(64, 65000))), "");
  EXPECT_EQ(LoadError(WriteFile(dir, "huge.bmp", bmpSized(65500, 65500))), "Picture too large: 65500 x 65500 pixels");
  EXPECT_EQ(LoadError(WriteFile(dir, "wide.bmp", bmpSized(100000, 1))), "Picture too large: 100000 x 1 pixels");
  auto headerOnly = bmpSized(40000, 40000);
  headerOnly.resize(54);
  EXPECT_EQ(LoadError(WriteFile(dir, "header.bmp", headerOnly)), "Picture too large: 40000 x 40000 pixels");
  EXPECT_NE(LoadError(WriteFile(dir, "neg.bmp", bmpSized(-64, 64))), "");
}
