#include <gtest/gtest.h>

#include <QLabel>
#include <QMouseEvent>
#include <atomic>
#include <cmath>
#include <thread>

#include "tests/common/TestUtil.h"
#include "ui/fraKalvNoise.h"
#include "ui/fraKalvNoises.h"
#include "ui/fraKalvRectNoises.h"
#include "ui/untNoiseHost.h"

namespace {

class FakeHost : public TNoiseChartHost {
public:
  TThreadMan *Thm = nullptr;
  TfrKalvCustomNoiseDraw *Current = nullptr;
  TThreadMan *NoiseThreadMan() override { return Thm; }
  bool SameScale() override { return false; }
  std::int64_t GetMaxCount(int) override { return 0; }
  std::int64_t GetTotalCount(int) override { return 0; }
  std::uint8_t GetMaxLevel(int) override { return 255; }
  void RedrawAllCharts() override {}
  void SetCurrentChart(TfrKalvCustomNoiseDraw *C) override { Current = C; }
  TfrKalvCustomNoiseDraw *CurrentChart() override { return Current; }
  void SyncChartHeights(TfrKalvNoises *) override {}
  void SyncNoiseScroll(TfrKalvNoises *) override {}
  QAction *NoiseAction(TNoiseHostAction) override { return nullptr; }
};

// The charts' host for the life of a test, with one worker thread.
struct TChartHostScope {
  TThreadMan Thm;
  FakeHost Host;
  TChartHostScope() {
    Thm.SetThreadCountMode(tcmManual);
    Thm.SetThreadCount(1);
    Host.Thm = &Thm;
    SetNoiseChartHost(&Host);
  }
  ~TChartHostScope() { SetNoiseChartHost(nullptr); }
};

// One worker, held busy by a job that waits for Release, so draw jobs stay queued meanwhile.
struct Blocker {
  TThreadManJob Job;
  std::atomic<bool> Release{false};
  Blocker() {
    Job.Executes = {tmjeInternExecute};
    Job.OnInternExecute = [this](TThreadManThread *, TThreadManJob *) {
      while (!Release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    };
  }
};

TEST(KalvNoiseDraw, ResizesDuringADrawingFoldIntoOneAndADestroyedFrameIsDetached) {
  TChartHostScope scope;
  TThreadMan &thm = scope.Thm;
  FakeHost &host = scope.Host;
  {
    Blocker block;
    thm.StartJob(&block.Job, -1, nullptr);
    TfrKalvNoise chart;
    chart.resize(400, 200);
    chart.show();
    ASSERT_TRUE(testutil::ProcessUntil([&] { return chart.DrawCount() >= 1; }));
    const int first = chart.DrawCount();
    for (int w : {410, 420, 430}) {
      chart.resize(w, 200);
      QCoreApplication::processEvents();
    }
    EXPECT_TRUE(chart.Drawing());
    EXPECT_TRUE(chart.RedrawPending());
    EXPECT_EQ(chart.DrawCount(), first);
    block.Release = true;
    ASSERT_TRUE(testutil::ProcessUntil([&] { return !chart.Drawing() && chart.Picture() != nullptr; }));
    EXPECT_EQ(chart.DrawCount(), first + 1);
    EXPECT_EQ(chart.PictureSize(), chart.pnlClnt->size());
    testutil::ProcessUntil([&] { return thm.JobCount() == 0; });
  }
  {
    Blocker block;
    thm.StartJob(&block.Job, -1, nullptr);
    auto *chart = new TfrKalvNoise;
    chart->resize(400, 200);
    chart->show();
    ASSERT_TRUE(testutil::ProcessUntil([&] { return chart->Drawing(); }));
    host.Current = chart;
    delete chart; // its job is still queued
    EXPECT_EQ(host.Current, nullptr);
    block.Release = true;
    EXPECT_TRUE(testutil::ProcessUntil([&] { return thm.JobCount() == 0; }));
  }
  {
    // A job's results handed to a panel at once: every chart is drawn once, with all its channels;
    // the same through a region's figures, which keep a copy and pass them on.
    TfrKalvNoises panel;
    TfrKalvRectNoises regionPanel;
    TKalvRegionFigures figures;
    figures.SetPanel(&regionPanel);
    TChannelNoiseData n(clRed);
    n.AddNoise(4);
    const TKalvNoiseTarget::TChartData items[] = {{0, 0, &n}, {4, 0, &n}, {4, 1, &n}, {4, 2, &n}, {4, 3, &n}, {8, 2, &n}};
    for (const auto &pair : {std::pair<TfrKalvNoises *, TKalvNoiseTarget *>{&panel, &panel},
                             {&regionPanel, &figures}}) {
      TfrKalvNoises *shown = pair.first;
      TKalvNoiseTarget *target = pair.second;
      shown->show();
      const auto idle = [&] {
        for (TfrKalvCustomNoiseDraw *c : shown->Charts())
          if (c->Drawing() || c->RedrawPending()) return false;
        return true;
      };
      ASSERT_TRUE(testutil::ProcessUntil(idle));
      std::vector<int> before;
      for (TfrKalvCustomNoiseDraw *c : shown->Charts()) before.push_back(c->DrawCount());
      target->SetChartsData(items);
      ASSERT_TRUE(testutil::ProcessUntil(idle));
      for (int i = 0; i < KalvNoiseChartCount; ++i) EXPECT_EQ(shown->Chart(i)->DrawCount(), before[i] + 1) << i;
      EXPECT_EQ(shown->Chart(4)->GetTotalCount(1), 4);
    }
    EXPECT_EQ(ChannelsTotalCount(figures.ChartData(4)), 4);
  }
}

TEST(KalvNoiseDraw, HeightDragKeepsTheMinimumAndDoubleClickGivesTheDefault) {
  TfrKalvNoise chart;
  chart.resize(400, 300);
  chart.SetFrameHeight(300);
  chart.show();
  QPoint p(10, 2);
  QMouseEvent press(QEvent::MouseButtonPress, p, chart.pnlBtm->mapToGlobal(p), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(chart.pnlBtm, &press);
  EXPECT_TRUE(chart.Dragging());
  QPoint up(10, -400);
  QMouseEvent move(QEvent::MouseMove, up, chart.pnlBtm->mapToGlobal(QPoint(10, 2)) + QPoint(0, -400), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(chart.pnlBtm, &move);
  EXPECT_EQ(chart.FrameHeight(), 50);
  QMouseEvent rel(QEvent::MouseButtonRelease, p, chart.pnlBtm->mapToGlobal(p), Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(chart.pnlBtm, &rel);
  EXPECT_FALSE(chart.Dragging());
  QMouseEvent dbl(QEvent::MouseButtonDblClick, p, chart.pnlBtm->mapToGlobal(p), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(chart.pnlBtm, &dbl);
  EXPECT_EQ(chart.FrameHeight(), 250);
}

} // namespace

namespace {

bool Uniform(const QImage &Image) {
  for (int y = 0; y < Image.height(); ++y)
    for (int x = 0; x < Image.width(); ++x)
      if (Image.pixel(x, y) != Image.pixel(0, 0)) return false;
  return true;
}

// A chart drawn before the frame was laid out has the size of no place on screen; stretched over
// the real chart area it shows fragments of shrunken labels. Until a chart of the frame's own
// size is in, the frame paints its plain background.
TEST(KalvNoiseDraw, AChartDrawnForNoSizeOnScreenIsNotShown) {
  TChartHostScope scope;
  TThreadMan &thm = scope.Thm;
  {
    TfrKalvNoise chart;
    TChannelNoiseData data(clRed);
    for (int i = 0; i < 200; ++i) data.AddNoise(i % 40);
    chart.SetData(0, &data); // not laid out yet: drawn at the panel's provisional size
    ASSERT_TRUE(testutil::ProcessUntil([&] { return !chart.Drawing() && chart.Picture() != nullptr; }));
    const QSize early(chart.Picture()->Width(), chart.Picture()->Height());
    Blocker block;
    thm.StartJob(&block.Job, -1, nullptr);
    chart.resize(400, 250);
    chart.show();
    QCoreApplication::processEvents();
    ASSERT_NE(chart.pnlClnt->size(), early);
    EXPECT_TRUE(Uniform(chart.pnlClnt->grab().toImage()));
    block.Release = true;
    ASSERT_TRUE(testutil::ProcessUntil([&] {
      return !chart.Drawing() && chart.Picture() != nullptr && chart.PictureSize() == chart.pnlClnt->size();
    }));
    // Drawn at the screen's own pixels (ctest runs this at ratios 1, 1.25 and 2 too) and shown.
    const double ratio = chart.pnlClnt->devicePixelRatioF();
    EXPECT_EQ(chart.Picture()->Width(), std::lround(chart.pnlClnt->width() * ratio));
    EXPECT_EQ(chart.Picture()->Height(), std::lround(chart.pnlClnt->height() * ratio));
    EXPECT_FALSE(Uniform(chart.pnlClnt->grab().toImage()));
    // More than 1% of the pixels clipped: marked beside the figures, as in the text output.
    EXPECT_TRUE(chart.lblClipped->isHidden());
    data.SCount = 200;
    data.Clipped = 3;
    chart.SetData(0, &data);
    EXPECT_FALSE(chart.lblClipped->isHidden());
    EXPECT_EQ(chart.lblClipped->text(), "clipped 1.5%");
    data.Clipped = 2; // 1% is not more than 1%
    chart.SetData(0, &data);
    EXPECT_TRUE(chart.lblClipped->isHidden());
    ASSERT_TRUE(testutil::ProcessUntil([&] { return !chart.Drawing(); }));
    // Once a chart of its own size was shown, a resize stretches it until the new one is in.
    chart.resize(300, 250);
    QCoreApplication::processEvents();
    EXPECT_FALSE(Uniform(chart.pnlClnt->grab().toImage()));
    testutil::ProcessUntil([&] { return thm.JobCount() == 0; });
  }
}

} // namespace
