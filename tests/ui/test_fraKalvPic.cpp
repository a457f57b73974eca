#include <QApplication>
#include <QMouseEvent>
#include <QScrollBar>
#include <gtest/gtest.h>
#include <optional>

#include "engine/untGraphics.h"
#include "tests/common/TestUtil.h"
#include "tests/ui/MouseTestUtil.h"
#include "ui/fraKalvPic.h"

namespace {

// A picture whose every pixel tells its position.
std::unique_ptr<TBitmap> MakePicture(int W, int H) {
  auto bmp = std::make_unique<TBitmap24>();
  bmp->SetSize(W, H);
  for (int y = 0; y < H; ++y) {
    std::uint8_t *row = bmp->ScanLine(y);
    for (int x = 0; x < W; ++x) {
      row[3 * x + 0] = static_cast<std::uint8_t>(x * 7);
      row[3 * x + 1] = static_cast<std::uint8_t>(y * 5);
      row[3 * x + 2] = static_cast<std::uint8_t>(x + y);
    }
  }
  return bmp;
}

QRgb PicturePixel(int x, int y) { return qRgb((x + y) & 0xFF, (y * 5) & 0xFF, (x * 7) & 0xFF); }

using testutil::Mouse;

struct PicFixture : ::testing::Test {
  PicFixture() {
    view.resize(300, 200);
    view.OnAddRegion = [this](TfrKalvPic *, int L, int T, int R, int B) { regions.push_back({L, T, R, B}); };
    view.show();
    testutil::ProcessUntil([&] { return view.isVisible(); });
  }
  void Drag(QPoint From, QPoint To) {
    Mouse(view.pnlPic, QEvent::MouseButtonPress, From, Qt::LeftButton, Qt::LeftButton);
    Mouse(view.pnlPic, QEvent::MouseMove, To, Qt::NoButton, Qt::LeftButton);
    Mouse(view.pnlPic, QEvent::MouseButtonRelease, To, Qt::LeftButton, Qt::NoButton);
  }
  TfrKalvPic view;
  std::vector<TRect> regions;
};

TEST_F(PicFixture, PictureIsShownOneToOneAndTheViewOwnsIt) {
  EXPECT_FALSE(view.pnlPic->isVisible()); // nothing to show yet
  view.SetBitmap(MakePicture(120, 90));
  ASSERT_TRUE(view.pnlPic->isVisible());
  EXPECT_EQ(view.pnlPic->geometry(), QRect(0, 0, 120, 90));
  const QImage shot = view.pnlPic->grab().toImage();
  for (QPoint p : {QPoint(0, 0), QPoint(119, 0), QPoint(57, 33), QPoint(119, 89)})
    EXPECT_EQ(shot.pixel(p) & 0xFFFFFF, PicturePixel(p.x(), p.y()) & 0xFFFFFF) << p.x() << "," << p.y();
  // Smaller than the view: no scroll bars.
  EXPECT_EQ(view.sbxPics->horizontalScrollBar()->maximum(), 0);
  EXPECT_EQ(view.sbxPics->verticalScrollBar()->maximum(), 0);

  // Another picture replaces it (an empty one hides the panel); none clears the view.
  view.SetBitmap(std::make_unique<TBitmap24>());
  EXPECT_NE(view.Bitmap(), nullptr);
  EXPECT_FALSE(view.pnlPic->isVisible());
  view.SetBitmap(nullptr);
  EXPECT_EQ(view.Bitmap(), nullptr);
  EXPECT_FALSE(view.pnlPic->isVisible());
}

TEST_F(PicFixture, PaintingCopiesOnlyTheUpdateRectangle) {
  view.SetBitmap(MakePicture(100, 80));
  TBitmap24 target;
  target.SetSize(100, 80); // all black
  TCanvas canvas(&target);
  view.pnlPicPaint(view.pnlPic, canvas, Rect(10, 20, 30, 25));
  EXPECT_EQ(target.Canvas()->Pixel(10, 20), FromQColor(QColor(PicturePixel(10, 20))));
  EXPECT_EQ(target.Canvas()->Pixel(29, 24), FromQColor(QColor(PicturePixel(29, 24))));
  EXPECT_EQ(target.Canvas()->Pixel(30, 24), clBlack);
  EXPECT_EQ(target.Canvas()->Pixel(9, 20), clBlack);
  EXPECT_EQ(target.Canvas()->Pixel(10, 25), clBlack);
  // A rectangle beyond the picture draws nothing and does not fail.
  view.pnlPicPaint(view.pnlPic, canvas, Rect(100, 80, 400, 300));
  view.pnlPicPaint(view.pnlPic, canvas, Rect(-50, -50, 0, 0));
  EXPECT_EQ(target.Canvas()->Pixel(0, 0), clBlack);
}

TEST_F(PicFixture, RubberBandIsNormalisedAndClampedAndNeedsArea) {
  view.SetBitmap(MakePicture(100, 80));
  // Right-bottom to left-top gives the same region as the other way.
  Drag({60, 50}, {10, 5});
  Drag({10, 5}, {60, 50});
  ASSERT_EQ(regions.size(), 2u);
  EXPECT_EQ(regions[0], Rect(10, 5, 60, 50));
  EXPECT_EQ(regions[1], Rect(10, 5, 60, 50));

  // Released past the panel's edges the band reaches them: the last column is taken in.
  regions.clear();
  Drag({20, 30}, {500, -40});
  Drag({0, 0}, {100, 80});
  ASSERT_EQ(regions.size(), 2u);
  EXPECT_EQ(regions[0], Rect(20, 0, 100, 30));
  EXPECT_EQ(regions[1], Rect(0, 0, 100, 80));

  // A click or a line makes no region.
  regions.clear();
  Drag({40, 40}, {40, 40});
  Drag({40, 40}, {70, 40});
  Drag({40, 10}, {40, 60});
  EXPECT_TRUE(regions.empty());
  EXPECT_FALSE(view.pnlPic->Dragging());
}

TEST_F(PicFixture, OnlyAPlainLeftPressStartsABandAndAnotherButtonCancelsIt) {
  view.SetBitmap(MakePicture(100, 80));
  Mouse(view.pnlPic, QEvent::MouseButtonPress, {10, 10}, Qt::LeftButton, Qt::LeftButton, Qt::ShiftModifier);
  EXPECT_FALSE(view.pnlPic->Dragging());
  Mouse(view.pnlPic, QEvent::MouseButtonPress, {10, 10}, Qt::RightButton, Qt::RightButton);
  EXPECT_FALSE(view.pnlPic->Dragging());

  Mouse(view.pnlPic, QEvent::MouseButtonPress, {10, 10}, Qt::LeftButton, Qt::LeftButton);
  Mouse(view.pnlPic, QEvent::MouseMove, {50, 50}, Qt::NoButton, Qt::LeftButton);
  EXPECT_TRUE(view.pnlPic->Dragging());
  Mouse(view.pnlPic, QEvent::MouseButtonPress, {50, 50}, Qt::RightButton, Qt::LeftButton | Qt::RightButton);
  EXPECT_FALSE(view.pnlPic->Dragging());
  Mouse(view.pnlPic, QEvent::MouseButtonRelease, {50, 50}, Qt::LeftButton, Qt::RightButton);
  EXPECT_TRUE(regions.empty());
}

TEST_F(PicFixture, BandIsDrawnExclusiveOrAndGoesOnRelease) {
  view.SetBitmap(MakePicture(100, 80));
  Mouse(view.pnlPic, QEvent::MouseButtonPress, {10, 10}, Qt::LeftButton, Qt::LeftButton);
  Mouse(view.pnlPic, QEvent::MouseMove, {60, 40}, Qt::NoButton, Qt::LeftButton);
  QImage shot = view.pnlPic->grab().toImage();
  // On the outline every channel of the picture flips its top bit; inside and outside it is untouched.
  EXPECT_EQ(shot.pixel(30, 10) & 0xFFFFFF, (PicturePixel(30, 10) ^ 0x808080) & 0xFFFFFF);
  EXPECT_EQ(shot.pixel(10, 25) & 0xFFFFFF, (PicturePixel(10, 25) ^ 0x808080) & 0xFFFFFF);
  EXPECT_EQ(shot.pixel(30, 25) & 0xFFFFFF, PicturePixel(30, 25) & 0xFFFFFF);
  EXPECT_EQ(shot.pixel(70, 25) & 0xFFFFFF, PicturePixel(70, 25) & 0xFFFFFF);
  Mouse(view.pnlPic, QEvent::MouseButtonRelease, {60, 40}, Qt::LeftButton, Qt::NoButton);
  shot = view.pnlPic->grab().toImage();
  EXPECT_EQ(shot.pixel(30, 10) & 0xFFFFFF, PicturePixel(30, 10) & 0xFFFFFF);
  ASSERT_EQ(regions.size(), 1u);
}

TEST_F(PicFixture, LargePictureScrollsAndANewPictureStartsAtTheCorner) {
  view.SetBitmap(MakePicture(900, 700));
  QScrollBar *h = view.sbxPics->horizontalScrollBar();
  QScrollBar *v = view.sbxPics->verticalScrollBar();
  EXPECT_GT(h->maximum(), 0);
  EXPECT_GT(v->maximum(), 0);
  h->setValue(250);
  v->setValue(300);
  EXPECT_EQ(h->value(), 250);
  view.SetBitmap(MakePicture(800, 600));
  EXPECT_EQ(h->value(), 0);
  EXPECT_EQ(v->value(), 0);
}

} // namespace
