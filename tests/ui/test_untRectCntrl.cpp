#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTabWidget>
#include <QWindow>
#include <gtest/gtest.h>

#include "cli/untMeasure.h"
#include "engine/untKalvRegion.h"
#include "tests/ui/MouseTestUtil.h"
#include "tests/ui/WindowFixture.h"
#include "ui/fraKalvPic.h"
#include "ui/fraKalvRectNoises.h"
#include "ui/untRectCntrl.h"
#include "widgets/TntExtraEdits.h"

namespace {

namespace fs = std::filesystem;

using testutil::Drag;
using testutil::Mouse;

TEST(RectCntrlGeometry, ZonesDragsAndFitting) {
  // 3 pixels inside the left edge: corner at 10 below the top, left edge at 30.
  EXPECT_EQ(RegionHitZone(3, 10, 100, 60), 1);
  EXPECT_EQ(RegionHitZone(3, 30, 100, 60), 4);
  EXPECT_EQ(RegionHitZone(50, 2, 100, 60), 2);
  EXPECT_EQ(RegionHitZone(96, 55, 100, 60), 9);
  EXPECT_EQ(RegionHitZone(50, 30, 100, 60), 5);

  int rx = 0, ry = 0;
  const auto drag = [&](std::uint8_t Zone, TRect B, int DX, int DY, int PW = 200, int PH = 100) {
    return RegionDragBounds(Zone, B, DX, DY, PW, PH, 0, 0, rx, ry);
  };
  // The right edge at the picture's right border does not widen; no edge goes below 11.
  EXPECT_EQ(drag(6, Rect(150, 10, 200, 50), 30, 0), Rect(150, 10, 200, 50));
  EXPECT_EQ(drag(6, Rect(150, 10, 200, 50), -80, 0), Rect(150, 10, 161, 50));
  EXPECT_EQ(drag(8, Rect(10, 10, 50, 50), 0, -80), Rect(10, 10, 50, 21));
  // The left edge dragged past the right one keeps 11 and pushes the region to the edge.
  EXPECT_EQ(drag(4, Rect(150, 10, 180, 50), 100, 0), Rect(189, 10, 200, 50));
  EXPECT_EQ(drag(1, Rect(20, 20, 60, 60), -50, -50), Rect(0, 0, 60, 60));
  // A move stops at each border on its own.
  EXPECT_EQ(drag(5, Rect(20, 20, 60, 60), -50, 10), Rect(0, 30, 40, 70));
  EXPECT_EQ(drag(5, Rect(20, 20, 60, 60), 500, -500), Rect(160, 0, 200, 40));
  // Never past the picture: a 3-pixel region at the right edge, and pictures smaller than 11.
  EXPECT_EQ(drag(6, Rect(197, 0, 200, 50), -10, 0), Rect(197, 0, 200, 50));
  EXPECT_EQ(drag(9, Rect(0, 0, 8, 6), 5, 5, 8, 6), Rect(0, 0, 8, 6));
  EXPECT_EQ(drag(4, Rect(0, 0, 8, 6), 20, 0, 8, 6), Rect(0, 0, 8, 6));

  // Two corners in any order, fitted into the picture.
  EXPECT_EQ(FitRegionCorners(100, 50, 10, 5, 100, 50), Rect(10, 5, 100, 50));
  EXPECT_EQ(FitRegionCorners(40, 0, 80, 10, 60, 50), Rect(20, 0, 60, 10));
  EXPECT_EQ(FitRegionCorners(-5, 0, 200, 10, 100, 100), Rect(0, 0, 100, 10));
  EXPECT_FALSE(FitRegionCorners(30, 0, 30, 10, 100, 100));
}

TEST(RectCntrlGeometry, CaptionPlatesAreWholeInsideTheViewAndApart) {
  const QRect view(0, 0, 400, 300);
  const QSize s(130, 16);
  // Two regions sharing an edge, one narrower than its caption at the view's right edge, one
  // scrolled out of sight.
  const std::vector<QRect> regions{{10, 10, 150, 100}, {160, 10, 150, 100}, {380, 200, 20, 20}, {500, 10, 50, 50}};
  const std::vector<QRect> plates = LayoutRegionCaptions(regions, {s, s, s, s}, view);
  ASSERT_EQ(plates.size(), 4u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(plates[i].size(), s) << i;
    EXPECT_TRUE(view.contains(plates[i])) << i;
    for (int j = 0; j < i; ++j) EXPECT_FALSE(plates[i].intersects(plates[j])) << i << " " << j;
  }
  // Inside the bottom-left corner where there is room.
  EXPECT_EQ(plates[0].topLeft(), QPoint(14, 92));
  EXPECT_TRUE(plates[3].isEmpty());
  // Far more regions on one spot than the view has room for: those left over get no plate.
  const std::vector<QRect> many(40, QRect(0, 0, 30, 30));
  std::vector<QRect> placed;
  for (const QRect &p : LayoutRegionCaptions(many, std::vector<QSize>(40, s), view))
    if (!p.isEmpty()) placed.push_back(p);
  EXPECT_GE(placed.size(), 15u);
  EXPECT_LE(placed.size(), 300u / 16);
  for (std::size_t i = 0; i < placed.size(); ++i)
    for (std::size_t j = 0; j < i; ++j) EXPECT_FALSE(placed[i].intersects(placed[j])) << i << " " << j;
}

struct RegionFixture : WindowFixture {
  void Load(int W, int H) {
    ShowAndStart();
    File = Dir.Path / "photo.jpg";
    testutil::WriteTestJpeg(File, W, H);
    ASSERT_TRUE(Module->OpenFile(File.string()));
    ASSERT_TRUE(WaitIdle());
  }
  TRectCntrl *Region(int I) { return Window->RegionList->Items(I); }
  TKalvPicPanel *Panel() { return Window->frPicRGB()->pnlPic; }
  fs::path File;
};

TEST_F(RegionFixture, BandMakesARegionMeasuredLikeTheHeadlessMeasure) {
  Load(240, 160);
  Drag(Panel(), {100, 50}, {10, 5});
  ASSERT_EQ(Window->RegionList->Count(), 1);
  TRectCntrl *r = Region(0);
  EXPECT_EQ(r->BoundsRect(), Rect(10, 5, 100, 50));
  EXPECT_EQ(r->parentWidget(), Panel());
  EXPECT_EQ(Window->pctMain->currentWidget(), r->Page);
  // The page is named once the first job waits; the commands are held while it runs.
  EXPECT_EQ(Window->pctMain->tabText(1), "L:10 T:5 W:90 H:45");
  EXPECT_TRUE(Module->IsBusy());
  ASSERT_TRUE(WaitIdle());
  EXPECT_TRUE(Module->actNsClose->Enabled());
  EXPECT_TRUE(Module->actNsCloseAll->Enabled());
  EXPECT_TRUE(Module->actFlExpRgns->Enabled());
  EXPECT_EQ(r->NoisePanel->edtPosWidth->text(), "90");

  // Every sum, count and histogram bin equals kalvex --measure FILE --region 10,5,90,45.
  const TFileResult m = MeasureFile(File.string(), {TRegionArg{10, 5, 90, 45, "10,5,90,45"}});
  ASSERT_EQ(m.Areas.size(), 2u);
  const int charts[MeasureChannelCount] = {0, 1, 2, 3, 5, 6, 7}; // R G B L* RG GB BR
  for (int c = 0; c < MeasureChannelCount; ++c) {
    const TChannelNoiseArray data = r->NoisePanel->Chart(charts[c])->Channels();
    ASSERT_FALSE(data.empty());
    ASSERT_NE(data[0], nullptr) << c;
    const TChannelFigures &f = m.Areas[1].Channels[static_cast<size_t>(c)];
    EXPECT_EQ(data[0]->SSum, f.SSum) << c;
    EXPECT_EQ(data[0]->SCount, f.SCount) << c;
    EXPECT_EQ(data[0]->NSum, f.NSum) << c;
    EXPECT_EQ(data[0]->NCount, f.NCount) << c;
    EXPECT_EQ(data[0]->HistogramData(), f.Histogram) << c;
  }
  EXPECT_TRUE(Boxes.empty());
}

TEST_F(RegionFixture, DragsDuringAJobFoldIntoOneFollowUpWithTheLatestRectangle) {
  Load(400, 300);
  Window->AddRegion(20, 20, 120, 100);
  TRectCntrl *r = Region(0);
  ASSERT_TRUE(r->JobRunning); // its done event needs the event loop, which the drag does not run
  // Move, then pull the right edge and the bottom-right corner, in many small steps.
  Drag(r, {50, 40}, {80, 60}, 10);
  EXPECT_EQ(r->BoundsRect(), Rect(50, 40, 150, 120));
  // The fields show the outline as it is now, not the rectangle the running job measures.
  EXPECT_EQ(r->NoisePanel->edtPosLeft->text(), "50");
  EXPECT_EQ(r->NoisePanel->edtPosTop->text(), "40");
  Drag(r, {98, 40}, {128, 40}, 6);
  Drag(r, {128, 78}, {138, 98}, 5);
  const TRect latest = r->BoundsRect();
  EXPECT_EQ(latest, Rect(50, 40, 190, 140));
  EXPECT_EQ(r->JobCount, 1);
  EXPECT_TRUE(r->RecalcPending);
  EXPECT_EQ(Module->RunningJobs(), 1);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(r->JobCount, 2);
  EXPECT_EQ(r->LastRect, latest);
  EXPECT_FALSE(r->RecalcPending);
  EXPECT_EQ(Window->pctMain->tabText(1), "L:50 T:40 W:140 H:100");
  // The rectangle last measured is not measured again.
  r->Recalculate();
  EXPECT_EQ(r->JobCount, 2);
  EXPECT_FALSE(Module->IsBusy());

  // A typed width moves the edge; the region stays inside the picture.
  r->NoisePanel->edtPosWidth->setText("1000");
  r->NoisePanel->edtPosWidth->Commit();
  EXPECT_EQ(r->BoundsRect(), Rect(50, 40, 400, 140));
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Window->pctMain->tabText(1), "L:50 T:40 W:350 H:100");
  EXPECT_TRUE(Boxes.empty());
}

// A corner drag whose events are queued all at once, as a fast mouse delivers them: each job
// starts while later moves wait in the queue, and the region ends up with the figures of its
// final rectangle, measured by one job at a time.
TEST_F(RegionFixture, AQueuedDragShowsTheFiguresOfItsFinalRectangle) {
  Load(1800, 1200);
  Window->AddRegion(100, 100, 200, 200);
  ASSERT_TRUE(WaitIdle());
  TRectCntrl *r = Region(0);
  int most = 0;
  Module->edaMain->AfterDisableActions = [&](TObject *) { most = std::max(most, Module->RunningJobs()); };
  const int jobs = r->JobCount;
  testutil::PostMouse(r, QEvent::MouseButtonPress, {98, 98}, Qt::LeftButton, Qt::LeftButton);
  testutil::PostMouse(r, QEvent::MouseMove, {1598, 1098}, Qt::NoButton, Qt::LeftButton);
  testutil::PostMouse(r, QEvent::MouseMove, {20, 20}, Qt::NoButton, Qt::LeftButton);
  testutil::PostMouse(r, QEvent::MouseButtonRelease, {20, 20}, Qt::LeftButton, Qt::NoButton);
  ASSERT_TRUE(testutil::ProcessUntil([&] { return r->JobCount > jobs && !Module->IsBusy(); }, 60000));
  Module->edaMain->AfterDisableActions = nullptr;
  ASSERT_EQ(r->BoundsRect(), Rect(100, 100, 122, 122));
  EXPECT_EQ(most, 1);
  const TFileResult m = MeasureFile(File.string(), {TRegionArg{100, 100, 22, 22, "100,100,22,22"}});
  ASSERT_EQ(m.Areas.size(), 2u);
  const int charts[MeasureChannelCount] = {0, 1, 2, 3, 5, 6, 7};
  for (int c = 0; c < MeasureChannelCount; ++c) {
    const TChannelNoiseArray data = r->NoisePanel->Chart(charts[c])->Channels();
    ASSERT_FALSE(data.empty());
    ASSERT_NE(data[0], nullptr) << c;
    EXPECT_EQ(data[0]->SCount, m.Areas[1].Channels[static_cast<size_t>(c)].SCount) << c;
    EXPECT_EQ(data[0]->SSum, m.Areas[1].Channels[static_cast<size_t>(c)].SSum) << c;
    EXPECT_EQ(data[0]->HistogramData(), m.Areas[1].Channels[static_cast<size_t>(c)].Histogram) << c;
  }
  EXPECT_EQ(r->NoisePanel->edtPosWidth->text(), "22");
  EXPECT_TRUE(Boxes.empty());
}

TEST_F(RegionFixture, PressesSelectAndOutlinesShowTheSelection) {
  Load(300, 200);
  Window->AddRegion(10, 10, 110, 90);
  Window->AddRegion(150, 20, 250, 120);
  ASSERT_TRUE(WaitIdle());
  TRectCntrl *a = Region(0), *b = Region(1);
  EXPECT_EQ(Window->pctMain->currentWidget(), b->Page);
  // Alt with the right button neither selects nor drags.
  Mouse(a, QEvent::MouseButtonPress, {50, 40}, Qt::RightButton, Qt::RightButton, Qt::AltModifier);
  EXPECT_EQ(Window->pctMain->currentWidget(), b->Page);
  EXPECT_FALSE(a->Dragging);
  Mouse(a, QEvent::MouseButtonRelease, {50, 40}, Qt::RightButton, Qt::NoButton, Qt::AltModifier);
  Mouse(a, QEvent::MouseButtonPress, {50, 40}, Qt::RightButton, Qt::RightButton);
  EXPECT_EQ(Window->pctMain->currentWidget(), a->Page);
  EXPECT_FALSE(a->Dragging);
  Mouse(a, QEvent::MouseButtonRelease, {50, 40}, Qt::RightButton, Qt::NoButton);

  // The selected region's top edge inverts every pixel, the other's every other one; with the
  // picture's page on show both are dotted.
  const auto inverted = [&](TRectCntrl *R) {
    const QImage shot = Panel()->grab().toImage();
    const TBitmap *pic = Window->frPicRGB()->Bitmap();
    int n = 0;
    for (int x = R->x() + 30; x < R->x() + 66; ++x) { // whole periods of the dots
      const std::uint8_t *px = const_cast<TBitmap *>(pic)->ScanLine(R->y()) + 3 * x;
      n += QColor(shot.pixel(x, R->y())) != QColor(px[2], px[1], px[0]);
    }
    return n;
  };
  EXPECT_EQ(inverted(a), 36);
  EXPECT_EQ(inverted(b), 18);
  Window->pctMain->setCurrentIndex(0);
  EXPECT_EQ(inverted(a), 18);
  EXPECT_EQ(inverted(b), 18);

  // Regions follow the picture page on show and keep their places.
  Window->pctPics->setCurrentIndex(4);
  EXPECT_EQ(a->parentWidget(), Window->frPics[4]->pnlPic);
  EXPECT_EQ(b->BoundsRect(), Rect(150, 20, 250, 120));
  EXPECT_TRUE(Boxes.empty());
}

// Regions that share an edge, one as narrow as its caption: each caption is whole, on its own
// plate, inside the view.
TEST_F(RegionFixture, CaptionsAreWholeOnPlatesOfTheirOwn) {
  Load(400, 300);
  Window->AddRegion(10, 10, 160, 110);
  Window->AddRegion(160, 10, 310, 110);
  ASSERT_TRUE(WaitIdle());
  QWidget *port = Window->frPicRGB()->sbxPics->viewport();
  auto *captions = port->findChild<TRegionCaptions *>();
  ASSERT_NE(captions, nullptr);
  const std::vector<TRegionCaptions::TPlate> plates = captions->Plates();
  ASSERT_EQ(plates.size(), 2u);
  EXPECT_EQ(plates[0].Text, "L:10 T:10 W:150 H:100");
  EXPECT_FALSE(plates[0].Selected);
  EXPECT_TRUE(plates[1].Selected);
  EXPECT_FALSE(plates[0].Rect.intersects(plates[1].Rect));
  const QImage shot = port->grab().toImage();
  for (const auto &p : plates) {
    EXPECT_GE(p.Rect.width(), QFontMetrics(captions->font()).horizontalAdvance(p.Text));
    EXPECT_TRUE(port->rect().contains(p.Rect));
    EXPECT_EQ(QColor(shot.pixel(p.Rect.topLeft() + QPoint(1, 1))), p.Selected ? QColor(255, 255, 255) : QColor(24, 24, 24));
  }
  // The plates follow a move.
  Region(0)->Nudge(0, 50);
  EXPECT_EQ(captions->Plates()[0].Text, "L:10 T:60 W:150 H:100");
  ASSERT_TRUE(WaitIdle());
  EXPECT_TRUE(Boxes.empty());
}

// The arrow keys move the current region (Shift by 10), Delete removes it (but deletes text in a
// field), Esc drops a rubber band.
TEST_F(RegionFixture, KeysMoveRemoveAndCancel) {
  Load(300, 200);
  Window->AddRegion(20, 20, 120, 100);
  ASSERT_TRUE(WaitIdle());
  TRectCntrl *r = Region(0);
  QWindow *w = Window->windowHandle();
  QApplication::setActiveWindow(Window.get());
  Window->frPicRGB()->sbxPics->setFocus();
  const auto key = [&](int Key, Qt::KeyboardModifiers Mods = Qt::NoModifier) {
    QApplication::postEvent(w, new QKeyEvent(QEvent::KeyPress, Key, Mods));
    QApplication::postEvent(w, new QKeyEvent(QEvent::KeyRelease, Key, Mods));
    QCoreApplication::processEvents();
  };
  const int jobs = r->JobCount;
  key(Qt::Key_Right);
  EXPECT_EQ(r->BoundsRect(), Rect(21, 20, 121, 100));
  ASSERT_TRUE(WaitIdle());
  key(Qt::Key_Down, Qt::ShiftModifier);
  EXPECT_EQ(r->BoundsRect(), Rect(21, 30, 121, 110));
  ASSERT_TRUE(WaitIdle());
  key(Qt::Key_Left, Qt::ShiftModifier);
  key(Qt::Key_Left, Qt::ShiftModifier);
  key(Qt::Key_Left, Qt::ShiftModifier); // stops at the border
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(r->BoundsRect(), Rect(0, 30, 100, 110));
  EXPECT_GT(r->JobCount, jobs);
  EXPECT_EQ(r->LastRect, r->BoundsRect());
  // Without a current region the keys scroll as before.
  Window->pctMain->setCurrentIndex(0);
  key(Qt::Key_Right);
  EXPECT_EQ(r->BoundsRect(), Rect(0, 30, 100, 110));

  // Delete in a field edits the field; on the pictures it removes the region.
  Window->pctMain->setCurrentWidget(r->Page);
  r->NoisePanel->edtPosLeft->setFocus();
  key(Qt::Key_Delete);
  EXPECT_EQ(Window->RegionList->Count(), 1);
  Window->frPicRGB()->sbxPics->setFocus();
  key(Qt::Key_Delete);
  EXPECT_EQ(Window->RegionList->Count(), 0);

  // Esc during a band: no region, and the keyboard is free again.
  testutil::PostMouse(Panel(), QEvent::MouseButtonPress, {10, 10}, Qt::LeftButton, Qt::LeftButton);
  testutil::PostMouse(Panel(), QEvent::MouseMove, {80, 60}, Qt::NoButton, Qt::LeftButton);
  QCoreApplication::processEvents();
  EXPECT_TRUE(Panel()->Dragging());
  key(Qt::Key_Escape);
  EXPECT_FALSE(Panel()->Dragging());
  testutil::PostMouse(Panel(), QEvent::MouseMove, {90, 70}, Qt::NoButton, Qt::LeftButton);
  testutil::PostMouse(Panel(), QEvent::MouseButtonRelease, {90, 70}, Qt::LeftButton, Qt::NoButton);
  QCoreApplication::processEvents();
  EXPECT_EQ(Window->RegionList->Count(), 0);
  EXPECT_EQ(QWidget::keyboardGrabber(), nullptr);
  EXPECT_TRUE(Boxes.empty());
}

// With the pointer held past the view's edge, the view scrolls and the band or the region goes
// with it, so a region larger than the visible part can be drawn and moved.
TEST_F(RegionFixture, BandAndRegionDragsScrollTheView) {
  Load(1400, 1100);
  TfrKalvPic *view = Window->frPicRGB();
  QWidget *port = view->sbxPics->viewport();
  QScrollBar *h = view->sbxPics->horizontalScrollBar(), *v = view->sbxPics->verticalScrollBar();
  const QPoint past(port->width() + 40, port->height() + 40); // panel coordinates, at scroll 0
  testutil::PostMouse(Panel(), QEvent::MouseButtonPress, {100, 100}, Qt::LeftButton, Qt::LeftButton);
  testutil::PostMouse(Panel(), QEvent::MouseMove, past, Qt::NoButton, Qt::LeftButton);
  ASSERT_TRUE(testutil::ProcessUntil([&] { return h->value() >= 150 && v->value() >= 150; }, 20000));
  EXPECT_TRUE(Panel()->Dragging());
  testutil::PostMouse(Panel(), QEvent::MouseButtonRelease, past, Qt::LeftButton, Qt::NoButton);
  ASSERT_TRUE(testutil::ProcessUntil([&] { return !Panel()->Dragging(); }));
  ASSERT_TRUE(WaitIdle());
  ASSERT_EQ(Window->RegionList->Count(), 1);
  EXPECT_FALSE(view->DragScrolling());
  const TRect band = Region(0)->BoundsRect();
  EXPECT_EQ(band.Left, 100);
  EXPECT_GE(band.Right, port->width() + 150);
  EXPECT_GE(band.Bottom, port->height() + 150);

  // A move drag past the right edge scrolls on and carries the region along.
  TRectCntrl *r = Region(0);
  const int hAt = h->value();
  const QPoint centre(port->width() / 2, port->height() / 2);
  testutil::PostMouse(r, QEvent::MouseButtonPress, r->mapFromGlobal(port->mapToGlobal(centre)), Qt::LeftButton,
                      Qt::LeftButton);
  testutil::PostMouse(r, QEvent::MouseMove, r->mapFromGlobal(port->mapToGlobal(centre + QPoint(port->width() / 2 + 40, 0))),
                      Qt::NoButton, Qt::LeftButton);
  ASSERT_TRUE(testutil::ProcessUntil([&] { return h->value() >= hAt + 60; }, 20000));
  testutil::PostMouse(r, QEvent::MouseButtonRelease, {0, 0}, Qt::LeftButton, Qt::NoButton);
  ASSERT_TRUE(testutil::ProcessUntil([&] { return !r->Dragging; }));
  ASSERT_TRUE(WaitIdle());
  EXPECT_GE(r->x(), band.Left + port->width() / 2 + 40 + 60);
  EXPECT_EQ(r->y(), band.Top);
  EXPECT_EQ(r->NoisePanel->edtPosLeft->AsInteger(), r->x());
  EXPECT_TRUE(Boxes.empty());
}

TEST_F(RegionFixture, RemovalNeverLeavesAJobOrAMenuOnAFreedRegion) {
  Load(300, 200);
  Window->AddRegion(10, 10, 110, 90);
  Window->AddRegion(150, 20, 250, 120);
  ASSERT_TRUE(WaitIdle());
  TRectCntrl *a = Region(0);
  // While another region's job runs, the region menu's only entry is off with every command.
  Drag(Region(1), {50, 50}, {60, 55});
  ASSERT_TRUE(Module->IsBusy());
  Mouse(a, QEvent::MouseButtonPress, {50, 40}, Qt::RightButton, Qt::RightButton);
  ASSERT_EQ(Module->pmnRect->actions().size(), 1);
  EXPECT_EQ(Module->pmnRect->actions()[0], Module->actNsClose->Action());
  EXPECT_FALSE(Module->actNsClose->Action()->isEnabled());
  // Removing regions under running jobs anyway (a path that bypasses the commands) detaches them.
  Window->ClearRegions();
  EXPECT_EQ(Window->pctMain->count(), 1);
  EXPECT_TRUE(RectNoisesList().empty());
  ASSERT_TRUE(WaitIdle());
  EXPECT_FALSE(Module->actNsCloseAll->Enabled());
  EXPECT_FALSE(Module->actFlExpRgns->Enabled());

  // The remove command takes the region whose page is on show.
  Window->AddRegion(10, 10, 110, 90);
  Window->AddRegion(150, 20, 250, 120);
  ASSERT_TRUE(WaitIdle());
  Window->pctMain->setCurrentWidget(Region(0)->Page);
  EXPECT_TRUE(Module->actNsClose->Enabled());
  Module->actNsClose->Execute();
  ASSERT_EQ(Window->RegionList->Count(), 1);
  EXPECT_EQ(Region(0)->BoundsRect(), Rect(150, 20, 250, 120));
  EXPECT_EQ(Window->pctMain->currentWidget(), Window->pctMain->widget(Window->pctMain->count() - 1));

  // A region whose picture shrank behind it is refused, not read past the picture's end.
  auto small = std::make_unique<TBitmap24>();
  small->SetSize(100, 100);
  Window->SetPageBitmap(1, std::move(small));
  Region(0)->SetRegionBounds(Rect(150, 20, 240, 120));
  EXPECT_THROW(Region(0)->Recalculate(), EInvalidOperation);
  EXPECT_FALSE(Region(0)->JobRunning);
  EXPECT_FALSE(Module->IsBusy());
  // A new picture removes the regions.
  ASSERT_TRUE(Module->OpenFile(File.string()));
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Window->RegionList->Count(), 0);
  EXPECT_TRUE(Boxes.empty());
}

} // namespace
