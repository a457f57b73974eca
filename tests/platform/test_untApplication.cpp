#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/untApplication.h"

namespace {
struct TBoxCapture {
  TBoxCapture() {
    SetMessageBoxFunction([this](const std::string &Text, const std::string &Caption, UINT Flags) {
      Texts.push_back(Text);
      Captions.push_back(Caption);
      LastFlags = Flags;
      return Answer;
    });
  }
  ~TBoxCapture() { SetMessageBoxFunction({}); }
  std::vector<std::string> Texts, Captions;
  UINT LastFlags = 0;
  int Answer = IDOK;
};
} // namespace

TEST(TApplication, HandleExceptionShowsEverythingButAbort) {
  TBoxCapture box;
  Application()->SetTitle("Kalvex");
  CallGuarded([] { throw EAbort(); });
  EXPECT_TRUE(box.Texts.empty());
  CallGuarded([] { throw EConvertError("'abc' is not a valid integer value"); });
  CallGuarded([] { throw std::runtime_error("foreign"); });
  CallGuarded([] { throw 42; });
  CallGuarded([] { throw Exception("Ends with a stop."); });
  ASSERT_EQ(box.Texts.size(), 4u);
  EXPECT_EQ(box.Texts[0], "'abc' is not a valid integer value.");
  EXPECT_EQ(box.Texts[1], "foreign");
  EXPECT_EQ(box.Texts[2], "An unexpected error occurred.");
  EXPECT_EQ(box.Texts[3], "Ends with a stop.");
  EXPECT_EQ(box.Captions[0], "Kalvex");
  EXPECT_EQ(box.LastFlags, MB_OK | MB_ICONSTOP);
  bool ran = false;
  CallGuarded([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_EQ(box.Texts.size(), 4u);
}

TEST(TApplication, HintFiresOnlyOnChangeAndSeamsAreReplaceable) {
  int fired = 0;
  Application()->OnHint = [&](TObject *) { ++fired; };
  Application()->SetHint("open picture");
  Application()->SetHint("open picture");
  Application()->SetHint("");
  Application()->OnHint = nullptr;
  EXPECT_EQ(fired, 2);

  TBoxCapture box;
  box.Answer = IDYES;
  EXPECT_EQ(MessageBox("Replace?", "A T T E N T I O N !", MB_YESNO | MB_ICONQUESTION), IDYES);
}
