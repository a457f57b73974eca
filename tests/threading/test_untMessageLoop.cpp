#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <thread>
#include <vector>

#include "platform/untSystem.h"
#include "threading/untMessageLoop.h"

namespace {
struct TickOffsetGuard {
  ~TickOffsetGuard() { SetTickCountOffsetForTests(0); }
};
} // namespace

TEST(TMessageLoop, ExecuteCountModeRunsEveryWaitCountCalls) {
  TMessageLoop loop;
  EXPECT_EQ(loop.CountingMode, cmTickCount);
  EXPECT_EQ(loop.WaitCount(), 200u);
  std::vector<std::pair<TCounter, TCounter>> calls;
  loop.OnExecute = [&](TObject *, TCounter last, TCounter elapsed) { calls.emplace_back(last, elapsed); };

  loop.CountingMode = cmExecuteCount; // a plain field: no restart
  loop.SetWaitCount(3);               // restarts: LastCount = 3
  std::vector<bool> results;
  for (int i = 0; i < 7; ++i) results.push_back(loop.CheckExecute());
  EXPECT_EQ(results, (std::vector<bool>{false, false, true, false, false, true, false}));
  EXPECT_EQ(calls, (std::vector<std::pair<TCounter, TCounter>>{{1, 1}, {1, 1}}));

  calls.clear();
  loop.ExecuteNow(); // LastCount is 2 here
  EXPECT_EQ(calls, (std::vector<std::pair<TCounter, TCounter>>{{2, 1}}));
  EXPECT_EQ(loop.LastCount(), 3u);

  calls.clear();
  loop.SetWaitCount(0); // a count of 0 runs on every call, with (0, 0)
  EXPECT_TRUE(loop.CheckExecute());
  EXPECT_TRUE(loop.CheckExecute());
  EXPECT_EQ(calls, (std::vector<std::pair<TCounter, TCounter>>{{0, 0}, {0, 0}}));
}

TEST(TMessageLoop, TickModeIsWrapSafeAndWaitCountZeroAlwaysRuns) {
  TickOffsetGuard guard;
  TMessageLoop loop;
  int runs = 0;
  loop.OnExecute = [&](TObject *, TCounter, TCounter) { ++runs; };

  // Just before the counter wraps: the elapsed time is the unsigned difference.
  SetTickCountOffsetForTests(0u - GetTickCount() - 30u);
  loop.SetWaitCount(60); // restarts at about 2^32 - 30
  EXPECT_FALSE(loop.CheckExecute());
  const DWORD started = GetTickCount();
  while (GetTickCount() - started < 100) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_LT(GetTickCount(), started); // the counter wrapped meanwhile
  EXPECT_TRUE(loop.CheckExecute());
  EXPECT_FALSE(loop.CheckExecute()); // restarted
  EXPECT_EQ(runs, 1);

  loop.SetWaitCount(0);
  EXPECT_TRUE(loop.CheckExecute());
  EXPECT_TRUE(loop.CheckExecute());
  EXPECT_EQ(runs, 3);
}

TEST(TMessageLoop, EventsWrapTheStepAndTheDefaultStepProcessesMessages) {
  for (TCountingMode mode : {cmTickCount, cmExecuteCount}) {
    TMessageLoop loop;
    loop.CountingMode = mode;
    std::vector<std::string> order;
    loop.OnBeforeExecute = [&](TObject *, TCounter, TCounter) { order.push_back("before"); };
    loop.OnAfterExecute = [&](TObject *, TCounter, TCounter) { order.push_back("after"); };
    loop.OnExecute = [&](TObject *, TCounter, TCounter) { order.push_back("execute"); };
    bool timerRan = false;
    QTimer::singleShot(0, [&] { timerRan = true; });
    loop.ExecuteNow();
    EXPECT_EQ(order, (std::vector<std::string>{"before", "execute", "after"}));
    EXPECT_FALSE(timerRan); // OnExecute replaces the message processing
    QCoreApplication::processEvents();
  }

  TMessageLoop loop;
  bool timerRan = false;
  QTimer::singleShot(0, [&] { timerRan = true; });
  loop.ExecuteNow();
  EXPECT_TRUE(timerRan);
}
