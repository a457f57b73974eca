#include <gtest/gtest.h>

#include <thread>

#include "platform/untSysUtils.h"

TEST(Format, FollowsThePlatformRules) {
  EXPECT_EQ(Format("Region.%.8x", 26), "Region.0000001A");
  EXPECT_EQ(Format("Region.%.8x", 0xABCDEFu), "Region.00ABCDEF");
  EXPECT_EQ(Format("%d items, %s", 3, std::string("ok")), "3 items, ok");
  EXPECT_EQ(Format(" %.3fs", 1.23456), " 1.235s");
  EXPECT_EQ(Format("%d", -5LL), "-5");
  EXPECT_EQ(Format("%d", 4294967296LL), "4294967296");
  EXPECT_EQ(Format("%x", -1), "FFFFFFFF");
  EXPECT_EQ(Format("100%%"), "100%");
  EXPECT_EQ(Format("%5d|%-3d|", 42, 7), "   42|7  |");
  EXPECT_EQ(Format("%.2f", 2.675f), "2.67"); // the float is below 2.675
  // Mismatches are conversion errors, not undefined behaviour.
  EXPECT_THROW(Format("%d", std::string("x")), EConvertError);
  EXPECT_THROW(Format("%s", 1), EConvertError);
  EXPECT_THROW(Format("%d %d", 1), EConvertError);
  EXPECT_THROW(Format("%q", 1), EConvertError);
}

TEST(LastError, IsPerThreadAndGivesSystemTexts) {
  SetLastError(1400);
  DWORD other = 99;
  std::thread t([&] { other = GetLastError(); SetLastError(5); });
  t.join();
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(GetLastError(), 1400u);
  try {
    RaiseLastOSError();
    FAIL();
  } catch (const EOSError &e) {
    EXPECT_EQ(e.ErrorCode, 1400u);
    EXPECT_EQ(e.Message, "Invalid window handle.");
    EXPECT_EQ(e.ClassName(), "EOSError");
  }
  EXPECT_EQ(SysErrorMessage(1444), "Invalid thread identifier.");
  EXPECT_FALSE(SysErrorMessage(ENOENT).empty());
}

TEST(Strings, TrimAndCaseHelpers) {
  EXPECT_EQ(Trim("  a b \t\r\n"), "a b");
  EXPECT_EQ(Trim(""), "");
  EXPECT_TRUE(SameText("Program", "PROGRAM"));
  EXPECT_FALSE(SameText("Program", "Programs"));
  EXPECT_EQ(UpperCase("abc\xC3\xBC"), "ABC\xC3\xBC"); // only ASCII letters change
}
