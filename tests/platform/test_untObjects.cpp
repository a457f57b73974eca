#include <gtest/gtest.h>

#include <vector>

#include "platform/untObjects.h"
#include "platform/untSysUtils.h"

namespace {
std::vector<std::string> gLog;

class TTestComp : public TComponent {
public:
  using TComponent::TComponent;
  ~TTestComp() override { gLog.push_back("free " + Name()); }
  TComponent *Watched = nullptr;

protected:
  void Notification(TComponent *AComponent, TOperation Operation) override {
    TComponent::Notification(AComponent, Operation);
    if (Operation == TOperation::opRemove && AComponent == Watched) {
      gLog.push_back(Name() + " forgets " + AComponent->Name());
      Watched = nullptr;
    }
  }
};
} // namespace

TEST(TComponent, OwnerFreesOwnedLastFirstAndNotifiesWatchers) {
  gLog.clear();
  auto *owner = new TTestComp(nullptr);
  owner->SetName("owner");
  auto *a = new TTestComp(owner);
  a->SetName("a");
  auto *b = new TTestComp(owner);
  b->SetName("b");
  EXPECT_EQ(owner->ComponentCount(), 2);
  EXPECT_EQ(owner->FindComponent("A"), a);

  TTestComp watcher(nullptr);
  watcher.SetName("w");
  watcher.Watched = a;
  watcher.FreeNotification(a);

  delete b; // an owned component freed on its own leaves its owner's list
  EXPECT_EQ(owner->ComponentCount(), 1);
  delete owner;
  EXPECT_EQ(watcher.Watched, nullptr);
  const std::vector<std::string> want = {"free b", "free owner", "free a", "w forgets a"};
  EXPECT_EQ(gLog, want);
}

TEST(TObject, ClassNameAndAssign) {
  TTestComp c(nullptr);
  EXPECT_EQ(c.ClassName(), "TTestComp");
  TPersistent p;
  try {
    p.Assign(&c);
    FAIL();
  } catch (const EConvertError &e) {
    EXPECT_EQ(e.Message, "Cannot assign a TTestComp to a TPersistent");
  }
}
