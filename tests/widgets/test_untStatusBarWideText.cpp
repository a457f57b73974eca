#include <QFontMetrics>
#include <gtest/gtest.h>

#include "widgets/untStatusBar.h"
#include "widgets/untStatusBarWideText.h"

namespace {

struct StatusFixture : ::testing::Test {
  StatusFixture() {
    bar.SetPanelCount(5);
    bar.resize(600, 19);
    stx.SetStatusBar(&bar);
  }
  int Expected(const QString &Measured, bool Bold) {
    QFont f = bar.font();
    f.setBold(Bold);
    return QFontMetrics(f).horizontalAdvance(Measured) + bar.BorderWidth() + bar.PanelSpacing();
  }
  TStatusBar bar;
  TStatusBarWideText stx;
};

TEST(StatusBarWideText, CleanTextTrimsControlsAndRunsOfBlanks) {
  EXPECT_EQ(TStatusBarWideText::CleanText("  \tLoad\r\nfile  now \n"), QString("Load file now"));
  EXPECT_EQ(TStatusBarWideText::CleanText("a\x01\x02" "b"), QString("a b"));
  EXPECT_EQ(TStatusBarWideText::CleanText(" \r\n "), QString());
  EXPECT_EQ(TStatusBarWideText::CleanText(QString::fromUtf8("Zürich   \xC3\x80")), QString::fromUtf8("Zürich \xC3\x80"));
}

TEST_F(StatusFixture, WidthIsTheCleanedTextWithOffsetBorderAndSpacing) {
  stx.SetPanelText(2, "/pics/a  b.jpg\r\n");
  EXPECT_EQ(bar.Panel(2).Width, Expected("  /pics/a b.jpg ", false));
  // The text is kept as given; the cleaned form is what is measured and drawn.
  EXPECT_EQ(stx.PanelText(2), "/pics/a  b.jpg\r\n");

  stx.SetUseTextOffset(false);
  stx.SetPanelText(3, "Calculate Noise");
  EXPECT_EQ(bar.Panel(3).Width, Expected("Calculate Noise", false));
}

TEST_F(StatusFixture, EmptyTextHidesThePanelAndBadIndexesChangeNothing) {
  stx.SetPanelText(1, " 2.517s");
  EXPECT_GT(bar.Panel(1).Width, 0);
  stx.SetPanelText(1, "");
  EXPECT_EQ(bar.Panel(1).Width, 0);
  EXPECT_TRUE(bar.PanelRect(1).isEmpty());
  stx.SetPanelText(1, " \r\n");
  EXPECT_EQ(bar.Panel(1).Width, 0);

  stx.SetPanelText(-1, "x");
  stx.SetPanelText(5, "x");
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(bar.Panel(i).Text.isEmpty() || i == 1);
}

TEST_F(StatusFixture, HintPanelIsMeasuredBoldAndApplyFontSeesIt) {
  stx.SetHintPanel(0);
  std::vector<std::pair<int, bool>> seen;
  stx.OnApplyFont = [&](TObject *, int Panel, QFont &Font) { seen.emplace_back(Panel, Font.bold()); };
  const std::string text = "open a picture file for analysis";
  stx.SetPanelText(0, text);
  stx.SetPanelText(2, text);
  EXPECT_EQ(bar.Panel(0).Width, Expected("  open a picture file for analysis ", true));
  EXPECT_EQ(bar.Panel(2).Width, Expected("  open a picture file for analysis ", false));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], std::make_pair(0, true));
  EXPECT_EQ(seen[1], std::make_pair(2, false));
  // The bar's own font is not changed by measuring.
  EXPECT_FALSE(bar.font().bold());

  // The owner may change the font; the width follows it.
  stx.OnApplyFont = [](TObject *, int, QFont &Font) { Font.setPixelSize(40); };
  stx.SetPanelText(2, "x");
  QFont big = bar.font();
  big.setPixelSize(40);
  EXPECT_EQ(bar.Panel(2).Width, QFontMetrics(big).horizontalAdvance("  x ") + bar.BorderWidth() + bar.PanelSpacing());
}

TEST(StatusBarWideText, WithoutABarNothingIsMeasuredAndSettingOneRefreshes) {
  TStatusBarWideText stx;
  EXPECT_EQ(stx.MeasureText(0, "x"), -1);
  stx.SetPanelText(0, "x"); // no bar: nothing happens, nothing breaks

  TStatusBar bar;
  bar.SetPanelCount(3);
  bar.SetPanelText(0, "abc");
  bar.SetPanelText(1, "");
  stx.BeginLoad();
  stx.SetStatusBar(&bar);
  EXPECT_EQ(bar.Panel(0).Width, 50); // not while loading
  stx.Loaded();
  EXPECT_GT(bar.Panel(0).Width, 0);
  EXPECT_EQ(bar.Panel(1).Width, 0);
  EXPECT_EQ(stx.MeasureText(0, "abc"), bar.Panel(0).Width);
}

TEST(StatusBar, PanelsSitSideBySideAndTheLastFillsTheRest) {
  TStatusBar bar;
  bar.resize(400, 19);
  bar.SetPanelCount(3);
  bar.SetPanelWidth(0, 100);
  bar.SetPanelWidth(1, 0);
  bar.SetPanelWidth(2, 10);
  const QRect r0 = bar.PanelRect(0), r2 = bar.PanelRect(2);
  EXPECT_EQ(r0.left(), bar.BorderWidth());
  EXPECT_EQ(r0.width(), 100);
  EXPECT_TRUE(bar.PanelRect(1).isEmpty());
  EXPECT_EQ(r2.left(), r0.left() + 100 + bar.PanelSpacing());
  EXPECT_EQ(r2.right(), 400 - bar.BorderWidth() - 1);
  EXPECT_TRUE(bar.PanelRect(3).isEmpty());
}

} // namespace
