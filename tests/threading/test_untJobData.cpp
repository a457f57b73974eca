#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "threading/untJobData.h"

namespace {
struct TCounted : TObject {
  explicit TCounted(std::atomic<int> &Alive) : FAlive(Alive) { ++FAlive; }
  ~TCounted() override { --FAlive; }
  std::atomic<int> &FAlive;
};

struct TOrderData : TJobData {
  std::vector<std::string> Log;
  void BeforeExecute() override { Log.push_back("before"); }
  void Execute() override { Log.push_back("execute"); }
  void AfterExecute() override { Log.push_back("after"); }
};
} // namespace

TEST(TJobData, RunCallsTheThreeStepsInOrder) {
  TOrderData d;
  d.Run();
  EXPECT_EQ(d.Log, (std::vector<std::string>{"before", "execute", "after"}));
  d.CheckTerminated(); // no job: never terminated
}

TEST(TJobInfoText, KeepsItsText) {
  TJobInfoText t("Load file");
  EXPECT_EQ(t.Text(), "Load file");
}

TEST(TSyncThreadList, NoDuplicatesAndOwnershipRules) {
  std::atomic<int> alive{0};
  {
    TSyncThreadList plain;
    auto *a = new TCounted(alive);
    plain.Add(a);
    plain.Add(a);
    EXPECT_EQ(plain.Count(), 1);
    plain.Remove(a);
    EXPECT_EQ(plain.Count(), 0);
    EXPECT_EQ(alive, 1); // a plain list frees nothing
    delete a;
  }
  EXPECT_EQ(alive, 0);
  {
    TObjectThreadList owning;
    auto a = std::make_unique<TCounted>(alive);
    auto b = std::make_unique<TCounted>(alive);
    TObject *pa = a.get(), *pb = b.get();
    owning.Add(std::move(a));
    owning.Add(std::move(b));
    owning.Remove(pa);
    EXPECT_EQ(alive, 1);          // removing from an owning list frees the item
    std::unique_ptr<TObject> back = owning.Extract(pb);
    EXPECT_EQ(back.get(), pb);
    EXPECT_EQ(alive, 1);          // extracting hands it back instead
    owning.Add(std::move(back));
    owning.Remove(nullptr);       // unknown items are ignored
    {
      TThreadListLock lock(owning);
      EXPECT_EQ(lock.Items.size(), 1u);
      EXPECT_EQ(owning.Count(), 1); // the lock is recursive on its own thread
    }
  }
  EXPECT_EQ(alive, 0); // destroying an owning list frees what it still holds
}

TEST(TSyncThreadList, CountStaysConsistentUnderConcurrentAddAndRemove) {
  std::atomic<int> alive{0};
  TObjectThreadList list;
  constexpr int kThreads = 4, kRounds = 2000;
  std::atomic<bool> wrong{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      std::vector<TObject *> mine;
      for (int i = 0; i < kRounds; ++i) {
        auto o = std::make_unique<TCounted>(alive);
        mine.push_back(o.get());
        list.Add(std::move(o));
        if (i % 3 == 2) {
          list.Remove(mine.front());
          mine.erase(mine.begin());
        }
        const int n = list.Count();
        if (n < static_cast<int>(mine.size()) || n > kThreads * kRounds) wrong = true;
      }
      for (TObject *o : mine) list.Remove(o);
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_FALSE(wrong);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(alive, 0);
}
