#include <gtest/gtest.h>

#include <QCoreApplication>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/untApplication.h"
#include "platform/untMessages.h"
#include "platform/untSystem.h"
#include "platform/untThreads.h"
#include "tests/common/TestUtil.h"

namespace {

class TFuncThread : public TThread {
public:
  explicit TFuncThread(std::function<void(TFuncThread &)> Body) : TThread(true), FBody(std::move(Body)) {}
  ~TFuncThread() override { TerminateAndWait(); } // Execute uses FBody
  using TThread::Terminated;

protected:
  void Execute() override { FBody(*this); }

private:
  std::function<void(TFuncThread &)> FBody;
};

// A payload that counts its instances, to see who frees it.
struct TPayload : TObject {
  static std::atomic<int> Alive;
  explicit TPayload(int V) : Value(V) { ++Alive; }
  ~TPayload() override { --Alive; }
  int Value;
};
std::atomic<int> TPayload::Alive{0};

constexpr UINT WM_TEST = WM_APP + 100;

// Waits (processing the main thread's events) until Flag holds.
bool WaitFlag(const std::atomic<bool> &Flag, int TimeoutMs = 10000) {
  return testutil::ProcessUntil([&] { return Flag.load(); }, TimeoutMs);
}

} // namespace

TEST(Messages, PostsFromWorkersArriveInOrderOnTheWindowThread) {
  const DWORD Main = GetCurrentThreadId();
  std::mutex Lock;
  std::vector<std::pair<int, int>> Got; // sender, sequence
  std::atomic<int> WrongThread{0};
  TMessageWindow Window([&](TMessage &M) {
    if (M.Msg != WM_TEST) return;
    if (GetCurrentThreadId() != Main) ++WrongThread;
    std::lock_guard<std::mutex> G(Lock);
    Got.emplace_back(static_cast<int>(M.WParam), static_cast<int>(M.LParam));
    M.Result = 1;
  });
  ASSERT_TRUE(IsWindow(Window.Handle()));
  EXPECT_EQ(Window.ThreadId(), Main);

  constexpr int Senders = 4, PerSender = 500;
  std::atomic<int> Failed{0};
  std::vector<std::unique_ptr<TFuncThread>> Ts;
  for (int s = 0; s < Senders; ++s) {
    Ts.push_back(std::make_unique<TFuncThread>([&, s](TFuncThread &) {
      for (int i = 0; i < PerSender; ++i)
        if (!PostMessage(Window.Handle(), WM_TEST, static_cast<WPARAM>(s), i)) ++Failed;
    }));
    Ts.back()->Start();
  }
  for (auto &T : Ts) T->WaitFor(); // posting never blocks, also while nobody handles messages
  EXPECT_EQ(Failed.load(), 0);
  ASSERT_TRUE(testutil::ProcessUntil([&] {
    std::lock_guard<std::mutex> G(Lock);
    return Got.size() == size_t(Senders * PerSender);
  }));
  EXPECT_EQ(WrongThread.load(), 0);
  std::vector<int> Next(Senders, 0);
  for (auto [s, i] : Got) EXPECT_EQ(i, Next[size_t(s)]++) << "sender " << s;

  // SendNotifyMessage on the window's own thread is a direct call.
  size_t Before = Got.size();
  EXPECT_TRUE(SendNotifyMessage(Window.Handle(), WM_TEST, 9, 9));
  EXPECT_EQ(Got.size(), Before + 1);
  // From a worker it is posted and does not wait.
  TFuncThread N([&](TFuncThread &) { SendNotifyMessage(Window.Handle(), WM_TEST, 8, 8); });
  N.Start();
  N.WaitFor(); // returns although the main thread handles nothing meanwhile
  EXPECT_EQ(Got.size(), Before + 1);
  ASSERT_TRUE(testutil::ProcessUntil([&] { return Got.size() == Before + 2; }));
}

TEST(Messages, SendMessageWaitsForTheWindowThread) {
  const DWORD Main = GetCurrentThreadId();
  std::atomic<bool> HandledOnMain{true};
  TMessageWindow Window([&](TMessage &M) {
    if (GetCurrentThreadId() != Main) HandledOnMain = false;
    if (M.Msg == WM_TEST) M.Result = static_cast<LRESULT>(M.WParam * 2 + 1);
  });

  // On the window's own thread: direct, the result comes straight back.
  EXPECT_EQ(SendMessage(Window.Handle(), WM_TEST, 20, 0), 41);

  // From a worker: blocks until the main thread handled it.
  std::atomic<bool> Returned{false};
  std::atomic<LRESULT> Result{0};
  TFuncThread W([&](TFuncThread &) {
    Result = SendMessage(Window.Handle(), WM_TEST, 10, 0);
    Returned = true;
  });
  W.Start();
  Sleep(50);
  EXPECT_FALSE(Returned.load()); // the main thread has not processed anything yet
  ASSERT_TRUE(WaitFlag(Returned));
  EXPECT_EQ(Result.load(), 21);
  W.WaitFor();

  // While the main thread sits in a message-processing wait inside a window procedure (as the
  // thread manager does when it waits for a worker), sends from workers still get through.
  std::atomic<bool> InnerDone{false};
  std::atomic<LRESULT> InnerResult{0};
  std::unique_ptr<TFuncThread> Inner;
  TMessageWindow Outer([&](TMessage &M) {
    if (M.Msg != WM_TEST) return;
    Inner = std::make_unique<TFuncThread>([&](TFuncThread &) {
      InnerResult = SendMessage(Window.Handle(), WM_TEST, 3, 0);
      InnerDone = true;
    });
    Inner->Start();
    while (!InnerDone.load()) {
      Sleep(10);
      QCoreApplication::processEvents();
    }
    M.Result = 1;
  });
  ASSERT_TRUE(PostMessage(Outer.Handle(), WM_TEST, 0, 0));
  ASSERT_TRUE(testutil::ProcessUntil([&] { return InnerDone.load(); }, 10000));
  EXPECT_EQ(InnerResult.load(), 7);
  Inner->WaitFor();
  EXPECT_TRUE(HandledOnMain.load());
}

// An object posted as a message's payload belongs to the message: the receiver may take it, one
// nobody takes is freed after delivery, and one whose window is destroyed before delivery is freed
// with the dropped message. A failed post leaves it with the sender.
TEST(Messages, APostedPayloadBelongsToItsMessage) {
  std::vector<std::unique_ptr<TPayload>> taken;
  {
    TMessageWindow Receiver([&](TMessage &M) {
      if (M.WParam == 1) taken.push_back(TakePayload<TPayload>(M));
    });
    auto a = std::make_unique<TPayload>(1), b = std::make_unique<TPayload>(2);
    ASSERT_TRUE(PostMessage(Receiver.Handle(), WM_TEST, 1, a));
    ASSERT_TRUE(PostMessage(Receiver.Handle(), WM_TEST, 2, b));
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(TPayload::Alive.load(), 2);
    ASSERT_TRUE(testutil::ProcessUntil([&] { return TPayload::Alive.load() == 1; }, 5000));
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0]->Value, 1);
    auto c = std::make_unique<TPayload>(3);
    TFuncThread Poster([&](TFuncThread &) { PostMessage(Receiver.Handle(), WM_TEST, 3, c); });
    Poster.Start();
    Poster.WaitFor();
    EXPECT_EQ(TPayload::Alive.load(), 2);
  } // destroyed with the message for payload 3 still queued
  EXPECT_EQ(TPayload::Alive.load(), 1);
  taken.clear();
  auto d = std::make_unique<TPayload>(4);
  EXPECT_FALSE(PostMessage(HWND(987654321), WM_TEST, 0, d));
  EXPECT_NE(d, nullptr);
  d.reset();
  EXPECT_EQ(TPayload::Alive.load(), 0);
}

TEST(Messages, DestroyedWindowsFailAndSendersKeepTheirPayload) {
  HWND Stale;
  {
    TMessageWindow Gone([](TMessage &M) {
      delete reinterpret_cast<TPayload *>(M.LParam); // the receiver frees what it got
    });
    Stale = Gone.Handle();
  }
  EXPECT_FALSE(IsWindow(Stale));
  auto P = std::make_unique<TPayload>(5);
  SetLastError(0);
  if (PostMessage(Stale, WM_TEST, 0, reinterpret_cast<LPARAM>(P.get()))) P.release();
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_TRUE(P); // the post failed, so the sender still owns it
  P.reset();
  EXPECT_EQ(TPayload::Alive.load(), 0);
  SetLastError(0);
  EXPECT_EQ(SendMessage(Stale, WM_TEST, 0, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(SendNotifyMessage(Stale, WM_TEST, 0, 0));
  EXPECT_FALSE(PostMessage(0, WM_TEST, 0, 0));

  // A new window never gets an old handle.
  TMessageWindow Fresh;
  EXPECT_NE(Fresh.Handle(), Stale);

  // A sender waiting on a window that is destroyed before it handled the message is released
  // with the failure instead of waiting for ever.
  auto Doomed = std::make_unique<TMessageWindow>([](TMessage &M) { M.Result = 99; });
  HWND DoomedWnd = Doomed->Handle();
  std::atomic<bool> AboutToSend{false}, Returned{false};
  std::atomic<LRESULT> Result{-1};
  std::atomic<DWORD> Error{0};
  TFuncThread S([&](TFuncThread &) {
    AboutToSend = true;
    Result = SendMessage(DoomedWnd, WM_TEST, 0, 0);
    Error = GetLastError();
    Returned = true;
  });
  S.Start();
  while (!AboutToSend.load()) Sleep(1);
  Sleep(30);
  Doomed.reset(); // without processing events: the send never reached the window
  S.WaitFor();
  EXPECT_TRUE(Returned.load());
  EXPECT_EQ(Result.load(), 0);
  EXPECT_EQ(Error.load(), ERROR_INVALID_WINDOW_HANDLE);

  // Windows made and destroyed while workers post to them: every post either reaches a live
  // window or fails cleanly.
  std::atomic<HWND> Target{0};
  std::atomic<bool> Stop{false};
  std::atomic<long> Ok{0}, Refused{0};
  std::vector<std::unique_ptr<TFuncThread>> Posters;
  for (int i = 0; i < 2; ++i) {
    Posters.push_back(std::make_unique<TFuncThread>([&](TFuncThread &) {
      while (!Stop.load()) {
        if (PostMessage(Target.load(), WM_TEST, 0, 0))
          ++Ok;
        else
          ++Refused;
      }
    }));
    Posters.back()->Start();
  }
  std::atomic<long> Handled{0};
  for (int Round = 0; Round < 200; ++Round) {
    auto W = std::make_unique<TMessageWindow>([&](TMessage &) { ++Handled; });
    Target = W->Handle();
    Sleep(Round % 3 == 0 ? 1 : 0);
    if (Round % 2 == 0) QCoreApplication::processEvents();
    Target = 0;
  }
  Stop = true;
  for (auto &T : Posters) T->WaitFor();
  QCoreApplication::processEvents();
  EXPECT_GT(Refused.load(), 0);
  EXPECT_LE(Handled.load(), Ok.load());
}

TEST(Messages, AllocatedWindowsAndExceptionsInTheProcedure) {
  int Calls = 0;
  HWND H = AllocateHWnd([&](TMessage &M) {
    ++Calls;
    if (M.Msg == WM_TEST + 1) throw EConvertError("not a number");
    M.Result = 5;
  });
  ASSERT_TRUE(IsWindow(H));
  EXPECT_EQ(SendMessage(H, WM_TEST, 0, 0), 5);

  // An exception in a posted message's procedure goes to the application's handler, not
  // through the event loop.
  std::string Shown;
  auto Saved = Application()->OnException;
  Application()->OnException = [&](TObject *, std::exception_ptr E) {
    Shown = TApplication::ExceptionText(E);
  };
  ASSERT_TRUE(PostMessage(H, WM_TEST + 1, 0, 0));
  ASSERT_TRUE(testutil::ProcessUntil([&] { return !Shown.empty(); }));
  EXPECT_NE(Shown.find("not a number"), std::string::npos);
  Application()->OnException = Saved;
  EXPECT_EQ(Calls, 2);

  DeallocateHWnd(H);
  EXPECT_FALSE(IsWindow(H));
  EXPECT_FALSE(PostMessage(H, WM_TEST, 0, 0));
  DeallocateHWnd(H); // twice does no harm

  MSG Msg;
  Msg.hwnd = AllocateHWnd([](TMessage &M) { M.Result = static_cast<LRESULT>(M.LParam); });
  Msg.message = WM_TEST;
  Msg.lParam = 77;
  EXPECT_EQ(DispatchMessage(&Msg), 77);
  DeallocateHWnd(Msg.hwnd);
  Msg.hwnd = 0;
  EXPECT_EQ(DispatchMessage(&Msg), 0);
}

TEST(ThreadQueues, CreatedByPeekFreedWithTheThread) {
  SetLastError(0);
  EXPECT_FALSE(PostThreadMessage(0, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);

  std::vector<UINT> Handled;
  std::vector<WPARAM> Params;
  TEvent Ready(true, false), AllPosted(true, false);
  std::atomic<bool> SawQuit{false};
  TFuncThread W([&](TFuncThread &Self) {
    MSG M;
    PeekMessage(&M, 0, WM_USER, WM_USER, PM_NOREMOVE); // makes the queue
    Ready.SetEvent();
    AllPosted.WaitFor(10000);
    // The worker loop: everything already queued is handled, also past WM_QUIT.
    while (!Self.Terminated()) {
      WaitMessage();
      while (PeekMessage(&M, 0, 0, 0, PM_REMOVE)) {
        if (M.message == WM_QUIT) {
          SawQuit = true;
          Self.Terminate();
        } else {
          Handled.push_back(M.message);
          Params.push_back(M.wParam);
        }
      }
    }
  });
  SetLastError(0);
  EXPECT_FALSE(PostThreadMessage(W.ThreadID(), WM_USER, 0, 0)); // no queue before it runs
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
  W.Start();
  ASSERT_EQ(Ready.WaitFor(10000), wrSignaled);
  EXPECT_TRUE(PostThreadMessage(W.ThreadID(), WM_APP + 4, 1, 0));
  EXPECT_TRUE(PostThreadMessage(W.ThreadID(), WM_APP + 4, 2, 0));
  EXPECT_TRUE(PostThreadMessage(W.ThreadID(), WM_QUIT, 0, 0));
  EXPECT_TRUE(PostThreadMessage(W.ThreadID(), WM_USER + 7, 3, 0)); // queued before the quit is seen
  AllPosted.SetEvent();
  W.WaitFor();
  EXPECT_TRUE(SawQuit.load());
  EXPECT_EQ(Handled, (std::vector<UINT>{WM_APP + 4, WM_APP + 4, WM_USER + 7}));
  EXPECT_EQ(Params, (std::vector<WPARAM>{1, 2, 3}));

  // The queue went with the thread.
  SetLastError(0);
  EXPECT_FALSE(PostThreadMessage(W.ThreadID(), WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);

  // And a thread can give its queue up itself.
  std::atomic<bool> AfterDestroy{true};
  TFuncThread D([&](TFuncThread &) {
    MSG M;
    PeekMessage(&M, 0, 0, 0, PM_NOREMOVE);
    bool Before = PostThreadMessage(GetCurrentThreadId(), WM_USER, 0, 0);
    DestroyThreadQueue();
    AfterDestroy = !Before || PostThreadMessage(GetCurrentThreadId(), WM_USER, 0, 0);
  });
  D.Start();
  D.WaitFor();
  EXPECT_FALSE(AfterDestroy.load());
}

TEST(ThreadQueues, WaitGetAndFilters) {
  TEvent Ready(true, false), Posted(true, false);
  std::atomic<std::int64_t> WokeAt{0}, PostedAt{0};
  std::vector<UINT> Order;
  std::atomic<int> QuitCode{-1};
  std::atomic<bool> LateWake{false};
  TFuncThread W([&](TFuncThread &) {
    MSG M;
    PeekMessage(&M, 0, 0, 0, PM_NOREMOVE);
    Ready.SetEvent();
    WaitMessage(); // blocks until the main thread posts
    std::int64_t Now = 0;
    QueryPerformanceCounter(&Now);
    WokeAt = Now;
    // A filtered get leaves other messages queued, in order; WM_QUIT passes any filter.
    Posted.WaitFor(10000);
    GetMessage(&M, 0, WM_USER + 2, WM_USER + 2);
    Order.push_back(M.message);
    while (GetMessage(&M, 0, 0, 0)) Order.push_back(M.message);
    QuitCode = static_cast<int>(M.wParam);

    // A message that arrives between the last look and the wait is not missed.
    PeekMessage(&M, 0, 0, 0, PM_NOREMOVE);
    PostThreadMessage(GetCurrentThreadId(), WM_USER + 9, 0, 0);
    WaitMessage();
    LateWake = PeekMessage(&M, 0, 0, 0, PM_REMOVE) && M.message == WM_USER + 9;

    PostQuitMessage(4);
    EXPECT_FALSE(GetMessage(&M, 0, WM_USER, WM_USER));
    EXPECT_EQ(M.message, WM_QUIT);
    EXPECT_EQ(M.wParam, 4u);
    EXPECT_FALSE(PeekMessage(&M, 0, 0, 0, PM_REMOVE));
  });
  W.Start();
  ASSERT_EQ(Ready.WaitFor(10000), wrSignaled);
  Sleep(60);
  EXPECT_EQ(WokeAt.load(), 0); // still waiting: nothing was posted
  std::int64_t Now = 0;
  QueryPerformanceCounter(&Now);
  PostedAt = Now;
  ASSERT_TRUE(PostThreadMessage(W.ThreadID(), WM_USER + 1, 0, 0));
  ASSERT_TRUE(PostThreadMessage(W.ThreadID(), WM_USER + 2, 0, 0));
  ASSERT_TRUE(PostThreadMessage(W.ThreadID(), WM_USER + 3, 0, 0));
  ASSERT_TRUE(PostThreadMessage(W.ThreadID(), WM_QUIT, 12, 0));
  Posted.SetEvent();
  W.WaitFor();
  EXPECT_GE(WokeAt.load(), PostedAt.load());
  EXPECT_EQ(Order, (std::vector<UINT>{WM_USER + 2, WM_USER + 1, WM_USER + 3}));
  EXPECT_EQ(QuitCode.load(), 12);
  EXPECT_TRUE(LateWake.load());
}
