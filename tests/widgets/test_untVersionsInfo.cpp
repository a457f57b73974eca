#include <gtest/gtest.h>

#include "KalvexVersion.h"
#include "widgets/untVersionsInfo.h"

TEST(VersionsInfo, NumbersFromTheVersionWords) {
  EXPECT_EQ(VersionWordsToText(0x00010002u, 0x00030004u), "1.2.3.4");
  EXPECT_EQ(VersionWordsToText(0xFFFF0000u, 0x0000FFFFu), "65535.0.0.65535");

  TVersionsInfo info;
  EXPECT_EQ(info.FileVersion(), std::string(KALVEX_VERSION) + ".0");
  EXPECT_EQ(info.Value("Author"), KALVEX_AUTHOR);
  EXPECT_EQ(info.Value("author"), KALVEX_AUTHOR);
  EXPECT_EQ(info.Value("Nothing"), "");
  bool found = false;
  for (const auto &line : info.VersionStrings())
    found = found || line == std::string("Author=") + KALVEX_AUTHOR;
  EXPECT_TRUE(found);

  TVersionResource r;
  r.Fixed.dwFileVersionMS = 0x00020005u;
  r.Fixed.dwFileVersionLS = 0x0001000Au;
  r.Strings = {{"Author", "Someone"}};
  info.Load(r);
  EXPECT_EQ(info.FileVersion(), "2.5.1.10");
  ASSERT_EQ(info.VersionStrings().size(), 1u);
  EXPECT_EQ(info.VersionStrings()[0], "Author=Someone");
}
