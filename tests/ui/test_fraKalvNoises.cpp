#include <gtest/gtest.h>

#include "ui/fraKalvRectNoises.h"
#include "widgets/TntExtraEdits.h"

namespace {

class FakeRegion : public TKalvNoiseRegion {
public:
  TRect B = Rect(100, 50, 300, 250);
  int Recalcs = 0;
  TRect RegionBounds() const override { return B; }
  void SetRegionBounds(const TRect &V) override { B = V; }
  void Recalculate() override { ++Recalcs; }
  int PictureWidth() const override { return 1000; }
  int PictureHeight() const override { return 800; }
};

void Type(TTntExtraCustomEdit *E, const QString &Text) {
  E->setText(Text);
  E->Commit();
}

TEST(KalvRectNoises, TypedPositionsStayInsideThePicture) {
  TfrKalvRectNoises p;
  FakeRegion r;
  p.Region = &r;
  Type(p.edtPosLeft, "5000"); // 200 wide on 1000: at most 800
  EXPECT_EQ(r.B, Rect(800, 50, 1000, 250));
  EXPECT_EQ(p.edtPosLeft->text(), "800");
  r.B = Rect(300, 50, 500, 250);
  Type(p.edtPosWidth, "900");
  EXPECT_EQ(r.B.Width(), 700);
  EXPECT_EQ(p.edtPosWidth->text(), "700");
  Type(p.edtPosWidth, "3");
  EXPECT_EQ(r.B.Width(), 11);
  EXPECT_EQ(r.Recalcs, 3);
  Type(p.edtPosWidth, "11"); // no change: no new measurement
  EXPECT_EQ(r.Recalcs, 3);
  Type(p.edtPosTop, "-");     // no number: the field shows the region again
  EXPECT_EQ(p.edtPosTop->text(), "50");
  EXPECT_EQ(r.Recalcs, 3);
  // A 3-pixel region at the right edge: the 11-pixel minimum never pushes it past the picture.
  r.B = Rect(997, 50, 1000, 250);
  Type(p.edtPosWidth, "3");
  Type(p.edtPosWidth, "40");
  EXPECT_EQ(r.B, Rect(997, 50, 1000, 250));
  EXPECT_EQ(p.edtPosWidth->text(), "3");
  EXPECT_EQ(ClampTypedPosition(kpfHeight, 2, Rect(0, 0, 5, 6), 5, 6), 6); // a picture lower than 11
  EXPECT_EQ(r.Recalcs, 3);
  EXPECT_EQ(RectNoisesList().size(), 1u);
  EXPECT_THROW(p.GetMaxCount(3), Exception);
  EXPECT_EQ(p.GetMaxLevel(1), 255);
}

} // namespace
