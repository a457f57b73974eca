// The picture panel and region panels as one list: shared scales, Reset, chart heights and scroll
// positions following each other.
#include <gtest/gtest.h>

#include <QApplication>
#include <QScrollArea>
#include <QScrollBar>

#include "tests/common/TestUtil.h"
#include "ui/fraKalvRectNoises.h"
#include "widgets/TntExtraEdits.h"

namespace {

// A channel whose histogram holds Count differences of each magnitude in Levels.
TChannelNoiseData Noise(std::initializer_list<int> Levels, int Count) {
  TChannelNoiseData d(clRed);
  for (int v : Levels)
    for (int i = 0; i < Count; ++i) d.AddNoise(v);
  d.AddSignal(100);
  return d;
}

TEST(KalvNoisesPanels, GroupScalesAreTheMaximaOverChartsAndPanels) {
  TfrKalvNoises picture;
  TfrKalvRectNoises region;
  // Group 1 (R, G, B, L*): the picture's G has the largest count, the region's B the highest level.
  const TChannelNoiseData g = Noise({3}, 40), r = Noise({1, 2}, 5), b = Noise({90}, 2), l = Noise({7}, 10);
  picture.SetChartData(0, 0, &r);
  picture.SetChartData(1, 0, &g);
  region.SetChartData(2, 0, &b);
  region.SetChartData(3, 0, &l);
  // Group 2 (RG, GB, BR) only in the region.
  const TChannelNoiseData pair = Noise({300}, 3); // counted in the last bin
  region.SetChartData(5, 0, &pair);

  EXPECT_EQ(picture.GetMaxCount(1), 40);
  EXPECT_EQ(picture.GetMaxLevel(1), 3);
  EXPECT_EQ(region.GetMaxCount(1), 10);
  EXPECT_EQ(region.GetMaxLevel(1), 90);
  const std::vector<TfrKalvNoises *> both{&picture, &region};
  EXPECT_EQ(NoisePanelsMaxCount(both, 1), 40);
  EXPECT_EQ(NoisePanelsMaxLevel(both, 1), 90);
  EXPECT_EQ(NoisePanelsTotalCount(both, 1), 40); // the largest chart total, G's
  EXPECT_EQ(NoisePanelsMaxCount(both, 2), 3);
  EXPECT_EQ(NoisePanelsMaxLevel(both, 2), 255);
  // The picture's group 2 is empty: it must not pull the shared level to 255 on its own, and an
  // empty list of panels gives the smallest values.
  EXPECT_EQ(picture.GetTotalCount(2), 0);
  EXPECT_EQ(NoisePanelsMaxLevel({&picture}, 2), 255);
  EXPECT_EQ(NoisePanelsMaxCount({}, 1), std::numeric_limits<std::int64_t>::min());
  // Other groups are not charted.
  for (int group : {0, 3}) {
    try {
      picture.GetMaxCount(group);
      ADD_FAILURE() << "group " << group;
    } catch (const Exception &e) {
      EXPECT_EQ(e.Message, "Not Implemented!");
    }
  }
  EXPECT_THROW(picture.SetChartData(9, 0, &r), EListError);
  EXPECT_THROW(picture.SetChartData(4, 4, &r), EListError); // the RGB L* chart has four channels

  // Reset empties the fields and every chart.
  picture.SetPositionFields(1, 2, 30, 40);
  EXPECT_EQ(picture.edtPosWidth->text(), "30");
  picture.Reset();
  for (TTntExtraLabeledEdit *e : {picture.edtPosLeft, picture.edtPosTop, picture.edtPosWidth, picture.edtPosHeight})
    EXPECT_TRUE(e->text().isEmpty());
  for (int i = 0; i < KalvNoiseChartCount; ++i) EXPECT_EQ(picture.Chart(i)->GetTotalCount(1), 0) << i;
}

TEST(KalvNoisesPanels, ChartHeightsAndScrollPositionsFollowAcrossPanels) {
  TfrKalvNoises picture;
  TfrKalvRectNoises one, two;
  for (TfrKalvNoises *p : std::initializer_list<TfrKalvNoises *>{&picture, &one, &two}) {
    p->resize(420, 300); // far less than nine charts: the boxes scroll
    p->show();
  }
  QApplication::processEvents();
  const std::vector<TfrKalvNoises *> all{&picture, &one, &two};

  // Heights: the region panels take the picture's, and are synchronised from then on.
  picture.Chart(0)->SetFrameHeight(120);
  picture.Chart(8)->SetFrameHeight(333);
  EXPECT_FALSE(one.HeightsSynced);
  NoisePanelsSyncChartHeights(all, &picture);
  for (TfrKalvNoises *p : all) {
    EXPECT_TRUE(p->HeightsSynced);
    EXPECT_EQ(p->Chart(0)->FrameHeight(), 120);
    EXPECT_EQ(p->Chart(8)->FrameHeight(), 333);
    EXPECT_EQ(p->Chart(4)->FrameHeight(), picture.Chart(4)->FrameHeight());
  }
  // The sync itself is no new source: the heights it sets do not start another round.
  two.Chart(1)->SetFrameHeight(77);
  NoisePanelsSyncChartHeights(all, &two);
  EXPECT_EQ(picture.Chart(1)->FrameHeight(), 77);
  EXPECT_EQ(one.Chart(1)->FrameHeight(), 77);

  // Scroll: every other panel takes the sender's position.
  QApplication::processEvents();
  ASSERT_GT(one.sbxNoises->verticalScrollBar()->maximum(), 200);
  one.SetScroll(0, 200);
  NoisePanelsSyncScroll(all, &one);
  EXPECT_EQ(picture.ScrollY(), 200);
  EXPECT_EQ(two.ScrollY(), 200);

  // A position beyond a panel's present range is taken once the range allows it (a panel whose
  // charts are still growing to the others' heights).
  TfrKalvRectNoises late;
  late.resize(420, 300);
  late.show();
  QApplication::processEvents();
  const int wanted = late.sbxNoises->verticalScrollBar()->maximum() + 400;
  late.SetScroll(0, wanted);
  EXPECT_LT(late.ScrollY(), wanted);
  late.Chart(8)->SetFrameHeight(late.Chart(8)->FrameHeight() + 600);
  testutil::ProcessUntil([&] { return late.ScrollY() == wanted; }, 2000);
  EXPECT_EQ(late.ScrollY(), wanted);
}

} // namespace
