#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <memory>
#include <vector>

#include "tests/common/TestUtil.h"
#include "threading/untThreads.h"

namespace {
constexpr UINT WM_TEST_FAIL = WM_USER + 5;

// Records what a worker reports to its window.
struct TReports {
  std::vector<UINT> Messages;
  std::vector<std::string> Failures;
  TMessageWindow Window{[this](TMessage &M) {
    Messages.push_back(M.Msg);
    if (M.Msg == WM_TM_THREADEXCEPTION) {
      std::unique_ptr<TExceptionMessage> e = TakePayload<TExceptionMessage>(M);
      Failures.push_back(e->ExceptClassName + ": " + e->ExceptMessage);
    }
  }};
  int Count(UINT Msg) const {
    int n = 0;
    for (UINT m : Messages) n += m == Msg;
    return n;
  }
};

class TTestThread : public TCustomThread {
public:
  using TCustomThread::TCustomThread;
  std::atomic<int> WakeUps{0};
  // The first wake-up waits here until the test has queued everything else.
  std::mutex GateLock;
  std::condition_variable GateCond;
  bool GateOpen = true;
  void Open() {
    std::lock_guard<std::mutex> g(GateLock);
    GateOpen = true;
    GateCond.notify_all();
  }

protected:
  void HandleMessage(MSG &Message) override {
    if (Message.message == WM_TEST_FAIL) throw EConvertError("bad value");
    TCustomThread::HandleMessage(Message);
  }
  void DoWakeUp() override {
    std::unique_lock<std::mutex> l(GateLock);
    GateCond.wait(l, [this] { return GateOpen; });
    ++WakeUps;
  }
};
} // namespace

TEST(TCustomThread, ServesItsQueueUntilQuitAndSurvivesFailures) {
  TReports reports;
  auto thread = std::make_unique<TTestThread>(nullptr, reports.Window.Handle(), tpNormal);
  EXPECT_TRUE(thread->Suspended());
  EXPECT_FALSE(thread->FreeOnTerminate);
  thread->Start();
  ASSERT_TRUE(testutil::ProcessUntil([&] { return reports.Count(WM_TM_THREADSTARTED) == 1; }));

  // Everything queued before the quit request still runs, also after a failing message.
  const DWORD id = thread->ThreadID();
  thread->GateOpen = false;
  ASSERT_TRUE(PostThreadMessage(id, WM_TM_WAKEUP, 0, 0));
  ASSERT_TRUE(PostThreadMessage(id, WM_TEST_FAIL, 0, 0));
  ASSERT_TRUE(PostThreadMessage(id, WM_TM_WAKEUP, 0, 0));
  ASSERT_TRUE(PostThreadMessage(id, WM_QUIT, 0, 0));
  ASSERT_TRUE(PostThreadMessage(id, WM_TM_WAKEUP, 0, 0)); // already queued: handled too
  thread->Open();

  ASSERT_TRUE(testutil::ProcessUntil([&] { return reports.Count(WM_TM_THREADFINISHED) == 1; }));
  thread->WaitFor();
  EXPECT_EQ(thread->WakeUps, 3);
  EXPECT_EQ(reports.Failures, std::vector<std::string>{"EConvertError: bad value"});
  EXPECT_EQ(reports.Messages.front(), WM_TM_THREADSTARTED);
  EXPECT_EQ(reports.Messages.back(), WM_TM_THREADFINISHED);
  EXPECT_TRUE(thread->ExceptClassName.empty());
}

TEST(TCustomThread, FreesItselfWhenItCannotReportItsStart) {
  // A window handle that names no window: the start report fails, the thread keeps the system
  // error and frees itself (nobody else could). Run under the address sanitizer this proves that
  // the object is freed exactly once.
  std::atomic<bool> ended{false};
  std::atomic<bool> started{false};
  auto *thread = new TTestThread(nullptr, 0x7FFFFFF0, tpNormal);
  // Held until Start has returned: the thread must not free itself while Start still fills in
  // the object.
  thread->OnTerminate = [&](TObject *) {
    while (!started) std::this_thread::yield();
    ended = true;
  };
  thread->Start();
  started = true;
  ASSERT_TRUE(testutil::ProcessUntil([&] { return ended.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20)); // let it finish freeing itself
}

TEST(TCustomThread, DestroyingAServingThreadStopsIt) {
  TReports reports;
  {
    TCustomThread thread(nullptr, reports.Window.Handle(), tpNormal);
    thread.Start();
    ASSERT_TRUE(testutil::ProcessUntil([&] { return reports.Count(WM_TM_THREADSTARTED) == 1; }));
  } // must not hang in WaitMessage
  SUCCEED();
}

TEST(TExceptionMessage, DescribesEveryKindOfException) {
  TExceptionMessage a(std::make_exception_ptr(EAbort()));
  EXPECT_EQ(a.ExceptClassName, "EAbort");
  EXPECT_EQ(a.ExceptMessage, "Operation aborted");
  TExceptionMessage b(std::make_exception_ptr(std::runtime_error("disk full")));
  EXPECT_EQ(b.ExceptClassName, "runtime_error");
  EXPECT_EQ(b.ExceptMessage, "disk full");
  TExceptionMessage c(std::make_exception_ptr(42));
  EXPECT_EQ(c.ExceptClassName, "Exception");
  EXPECT_FALSE(c.ExceptMessage.empty());
}
