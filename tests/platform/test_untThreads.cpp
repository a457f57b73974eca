#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <sched.h>
#include <set>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <thread>
#include <vector>

#include "platform/untSystem.h"
#include "platform/untThreads.h"

namespace {

class TFuncThread : public TThread {
public:
  explicit TFuncThread(std::function<void(TFuncThread &)> Body, bool Suspended = true)
      : TThread(Suspended), FBody(std::move(Body)) {}
  ~TFuncThread() override {
    TerminateAndWait(); // Execute uses FBody
    if (Destroyed) Destroyed->SetEvent();
  }
  using TThread::Terminated;
  TEvent *Destroyed = nullptr;

protected:
  void Execute() override { FBody(*this); }

private:
  std::function<void(TFuncThread &)> FBody;
};

int NiceOf(pid_t Tid) {
  errno = 0;
  return getpriority(PRIO_PROCESS, static_cast<id_t>(Tid));
}

pid_t OwnTid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

} // namespace

TEST(TThread, SuspendedStartWaitForAndIds) {
  std::atomic<DWORD> SeenId{0};
  std::atomic<bool> Ran{false};
  TFuncThread T([&](TFuncThread &Self) {
    SeenId = GetCurrentThreadId();
    Ran = true;
    Self.ReturnValue = 42;
  });
  EXPECT_TRUE(T.Suspended());
  EXPECT_NE(T.ThreadID(), 0u); // known before it runs
  EXPECT_NE(T.ThreadID(), GetCurrentThreadId());
  Sleep(30);
  EXPECT_FALSE(Ran.load()); // suspended means not running
  EXPECT_THROW(T.WaitFor(), EThread);
  EXPECT_FALSE(T.WaitForTimeout(10));

  T.Start();
  EXPECT_THROW(T.Start(), EThread);
  EXPECT_EQ(T.WaitFor(), 42u);
  EXPECT_TRUE(Ran.load());
  EXPECT_TRUE(T.Finished());
  EXPECT_EQ(SeenId.load(), T.ThreadID());
  EXPECT_TRUE(T.WaitForTimeout(0));
  EXPECT_EQ(T.WaitFor(), 42u); // a second wait returns at once

  // Ids are never reused, also across threads that have ended.
  std::set<DWORD> Ids{GetCurrentThreadId(), T.ThreadID()};
  for (int i = 0; i < 20; ++i) {
    TFuncThread U([](TFuncThread &) {});
    U.Start();
    U.WaitFor();
    EXPECT_TRUE(Ids.insert(U.ThreadID()).second) << U.ThreadID();
  }
  EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
}

TEST(TThread, RunningCreationTerminateAndDestruction) {
  // Created running: starts with CreateComponent's AfterConstruction, not inside the constructor.
  TEvent Done(true, false);
  std::unique_ptr<TFuncThread> R(CreateComponent<TFuncThread>(
      [&](TFuncThread &) { Done.SetEvent(); }, false));
  EXPECT_FALSE(R->Suspended());
  EXPECT_EQ(Done.WaitFor(5000), wrSignaled);
  R->WaitFor();

  // Terminated before the start: Execute is skipped.
  std::atomic<bool> Ran{false};
  TFuncThread Skipped([&](TFuncThread &) { Ran = true; });
  Skipped.Terminate();
  Skipped.Start();
  Skipped.WaitFor();
  EXPECT_FALSE(Ran.load());

  // The destructor stops a thread that loops until terminated, and waits for it.
  std::atomic<bool> LoopEnded{false};
  {
    TFuncThread Loop([&](TFuncThread &Self) {
      while (!Self.Terminated()) Sleep(1);
      LoopEnded = true;
    });
    Loop.Start();
    Sleep(20);
  }
  EXPECT_TRUE(LoopEnded.load());

  // A never started thread is destroyed without trouble.
  { TFuncThread Never([](TFuncThread &) {}); }
}

TEST(TThread, FreeOnTerminateExceptionsAndOnTerminate) {
  TEvent Destroyed(true, false);
  std::atomic<bool> Terminated{false};
  auto *F = new TFuncThread([](TFuncThread &) { Sleep(10); });
  F->FreeOnTerminate = true;
  F->Destroyed = &Destroyed;
  F->OnTerminate = [&](TObject *) { Terminated = true; };
  F->Start(); // from here on the thread owns itself
  ASSERT_EQ(Destroyed.WaitFor(5000), wrSignaled);
  EXPECT_TRUE(Terminated.load());

  // An exception leaving Execute is kept, and OnTerminate still runs.
  std::atomic<bool> TermCalled{false};
  TFuncThread E([](TFuncThread &) { throw EConvertError("bad number"); });
  E.OnTerminate = [&](TObject *) { TermCalled = true; };
  E.Start();
  E.WaitFor();
  EXPECT_TRUE(TermCalled.load());
  ASSERT_TRUE(E.FatalException);
  try {
    std::rethrow_exception(E.FatalException);
  } catch (const EConvertError &X) {
    EXPECT_EQ(X.Message, "bad number");
  }

  // A thread waiting for itself is told so instead of dead-locking.
  std::atomic<bool> SelfWaitRaised{false};
  TFuncThread W([&](TFuncThread &Self) {
    try {
      Self.WaitFor();
    } catch (const EThread &) {
      SelfWaitRaised = true;
    }
  });
  W.Start();
  W.WaitFor();
  EXPECT_TRUE(SelfWaitRaised.load());
}

TEST(TThread, PrioritiesAppliedPerThread) {
  const int MainNice = NiceOf(OwnTid());
  std::atomic<int> NiceAtStart{-100};
  TEvent Go(false, false), Checked(false, false);
  TFuncThread T([&](TFuncThread &) {
    NiceAtStart = NiceOf(OwnTid());
    Go.WaitFor(10000);
    Checked.WaitFor(10000);
  });
  T.SetPriority(tpLower); // before the start: applied when it runs
  EXPECT_EQ(T.KernelTid(), 0);
  T.Start();
  for (int i = 0; i < 500 && NiceAtStart.load() == -100; ++i) Sleep(2);
  EXPECT_EQ(NiceAtStart.load(), 10);
  EXPECT_EQ(NiceOf(T.KernelTid()), 10);
  EXPECT_EQ(NiceOf(OwnTid()), MainNice); // per thread, not per process

  T.SetPriority(tpLowest);
  EXPECT_EQ(NiceOf(T.KernelTid()), 19);
  EXPECT_EQ(T.Priority(), tpLowest);
  T.SetPriority(tpIdle);
  EXPECT_EQ(sched_getscheduler(T.KernelTid()) & ~SCHED_RESET_ON_FORK, SCHED_IDLE);
  // Back up: without the rights the system refuses, which is not an error.
  EXPECT_NO_THROW(T.SetPriority(tpNormal));
  EXPECT_NO_THROW(T.SetPriority(tpTimeCritical));
  int After = NiceOf(T.KernelTid());
  EXPECT_TRUE(After == -15 || After == 19) << After;
  Go.SetEvent();
  Checked.SetEvent();
  T.WaitFor();

  // Threads inherit their creator's nice value; a thread made by a low-priority thread still gets
  // its own priority (where the system allows the raise).
  std::atomic<int> ChildNice{-100};
  std::atomic<bool> MayRaise{false};
  TFuncThread Parent([&](TFuncThread &) {
    TFuncThread Probe([&](TFuncThread &) {
      setpriority(PRIO_PROCESS, static_cast<id_t>(OwnTid()), 19);
      MayRaise = setpriority(PRIO_PROCESS, static_cast<id_t>(OwnTid()), 10) == 0;
    });
    Probe.Start();
    Probe.WaitFor();
    TFuncThread Child([&](TFuncThread &) { ChildNice = NiceOf(OwnTid()); });
    Child.SetPriority(tpLower);
    Child.Start();
    Child.WaitFor();
  });
  Parent.SetPriority(tpLowest);
  Parent.Start();
  Parent.WaitFor();
  EXPECT_EQ(ChildNice.load(), MayRaise.load() ? 10 : 19);

  // A kernel thread id that names nothing is an error, reported through the last error.
  EXPECT_FALSE(SetKernelThreadPriority(0, tpLowest));
}

TEST(TThread, AffinityMaskAndIdealProcessor) {
  cpu_set_t Process;
  ASSERT_EQ(sched_getaffinity(0, sizeof(Process), &Process), 0);
  DWORD_PTR ProcessMask = 0;
  int FirstCpu = -1;
  for (int i = 0; i < 64; ++i)
    if (CPU_ISSET(i, &Process)) {
      ProcessMask |= DWORD_PTR(1) << i;
      if (FirstCpu < 0) FirstCpu = i;
    }
  ASSERT_GE(FirstCpu, 0);

  TEvent Pinned(true, false), Release(true, false);
  std::atomic<int> RanOn{-1};
  TFuncThread T([&](TFuncThread &) {
    Pinned.WaitFor(10000);
    RanOn = sched_getcpu();
    Release.WaitFor(10000);
  });
  T.Start();
  for (int i = 0; i < 500 && T.KernelTid() == 0; ++i) Sleep(2);

  DWORD_PTR One = DWORD_PTR(1) << FirstCpu;
  EXPECT_EQ(SetThreadAffinityMask(T.Handle(), One), ProcessMask);
  cpu_set_t Now;
  ASSERT_EQ(sched_getaffinity(T.KernelTid(), sizeof(Now), &Now), 0);
  EXPECT_EQ(CPU_COUNT(&Now), 1);
  EXPECT_TRUE(CPU_ISSET(FirstCpu, &Now));
  Pinned.SetEvent();
  for (int i = 0; i < 500 && RanOn.load() < 0; ++i) Sleep(2);
  EXPECT_EQ(RanOn.load(), FirstCpu);
  EXPECT_EQ(SetThreadAffinityMask(T.Handle(), ProcessMask), One); // previous mask comes back

  SetLastError(0);
  EXPECT_EQ(SetThreadAffinityMask(T.Handle(), 0), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // The ideal processor is only remembered: 32 asks, anything else is stored.
  EXPECT_EQ(SetThreadIdealProcessor(T.Handle(), MAXIMUM_PROCESSORS), MAXIMUM_PROCESSORS);
  EXPECT_EQ(SetThreadIdealProcessor(T.Handle(), 1), MAXIMUM_PROCESSORS);
  EXPECT_EQ(SetThreadIdealProcessor(T.Handle(), MAXIMUM_PROCESSORS), 1u);
  EXPECT_EQ(SetThreadIdealProcessor(T.Handle(), 0), 1u);
  EXPECT_EQ(SetThreadIdealProcessor(GetCurrentThread(), MAXIMUM_PROCESSORS), MAXIMUM_PROCESSORS);
  Release.SetEvent();
  THandle Gone = T.Handle();
  T.WaitFor();

  // A thread that has ended is unknown: no call reaches its stale handle.
  SetLastError(0);
  EXPECT_EQ(SetThreadAffinityMask(Gone, One), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(SetThreadIdealProcessor(Gone, 0), static_cast<DWORD>(-1));
}

TEST(TEvent, AutoManualAndTimeouts) {
  // Automatic reset: one SetEvent lets exactly one waiter through.
  TEvent Auto(false, false);
  std::atomic<int> Passed{0};
  std::vector<std::unique_ptr<TFuncThread>> Waiters;
  for (int i = 0; i < 2; ++i) {
    Waiters.push_back(std::make_unique<TFuncThread>([&](TFuncThread &) {
      if (Auto.WaitFor(5000) == wrSignaled) ++Passed;
    }));
    Waiters.back()->Start();
  }
  Sleep(30);
  Auto.SetEvent();
  for (int i = 0; i < 500 && Passed.load() < 1; ++i) Sleep(2);
  Sleep(50);
  EXPECT_EQ(Passed.load(), 1);
  EXPECT_FALSE(Auto.IsSet());
  Auto.SetEvent();
  for (auto &W : Waiters) W->WaitFor();
  EXPECT_EQ(Passed.load(), 2);

  // A set automatic event with nobody waiting stays set for the next waiter only.
  Auto.SetEvent();
  EXPECT_EQ(Auto.WaitFor(0), wrSignaled);
  EXPECT_EQ(Auto.WaitFor(0), wrTimeout);

  // Manual reset: releases every waiter and stays set until reset.
  TSimpleEvent Manual;
  EXPECT_FALSE(Manual.IsSet());
  std::atomic<int> Released{0};
  Waiters.clear();
  for (int i = 0; i < 3; ++i) {
    Waiters.push_back(std::make_unique<TFuncThread>([&](TFuncThread &) {
      if (Manual.WaitFor(5000) == wrSignaled) ++Released;
    }));
    Waiters.back()->Start();
  }
  Sleep(20);
  Manual.SetEvent();
  for (auto &W : Waiters) W->WaitFor();
  EXPECT_EQ(Released.load(), 3);
  EXPECT_EQ(Manual.WaitFor(0), wrSignaled);
  EXPECT_TRUE(Manual.IsSet());
  Manual.ResetEvent();
  EXPECT_FALSE(Manual.IsSet());

  // A timed wait times out after about its time, not at once and not much later.
  std::int64_t F = 0, A = 0, B = 0;
  QueryPerformanceFrequency(&F);
  QueryPerformanceCounter(&A);
  EXPECT_EQ(Manual.WaitFor(60), wrTimeout);
  QueryPerformanceCounter(&B);
  double Ms = double(B - A) * 1000.0 / double(F);
  EXPECT_GE(Ms, 55.0);
  EXPECT_LT(Ms, 2000.0);

  TEvent Initially(true, true);
  EXPECT_EQ(Initially.WaitFor(0), wrSignaled);
}

TEST(TCriticalSection, RecursiveAndExclusive) {
  TCriticalSection CS;
  CS.Enter();
  CS.Enter(); // the owner may enter again
  std::atomic<int> OtherGot{-1};
  auto TryFromOther = [&] {
    TFuncThread T([&](TFuncThread &) {
      bool Got = CS.TryEnter();
      if (Got) CS.Leave();
      OtherGot = Got ? 1 : 0;
    });
    T.Start();
    T.WaitFor();
    return OtherGot.load();
  };
  EXPECT_EQ(TryFromOther(), 0);
  CS.Leave();
  EXPECT_EQ(TryFromOther(), 0); // still held once
  CS.Leave();
  EXPECT_EQ(TryFromOther(), 1);

  // Mutual exclusion under contention: no increment is lost.
  long Counter = 0;
  std::vector<std::unique_ptr<TFuncThread>> Ts;
  for (int i = 0; i < 4; ++i) {
    Ts.push_back(std::make_unique<TFuncThread>([&](TFuncThread &) {
      for (int k = 0; k < 5000; ++k) {
        CS.Acquire();
        ++Counter;
        CS.Release();
      }
    }));
    Ts.back()->Start();
  }
  for (auto &T : Ts) T->WaitFor();
  EXPECT_EQ(Counter, 20000);
}

// The lock guard lets go when its scope ends, also through an exception, for the critical section
// (Enter/Leave) and for Lock/Unlock objects alike.
TEST(LockGuard, ReleasesOnEveryWayOutOfTheScope) {
  TCriticalSection cs;
  auto heldElsewhere = [](auto &Lockable) {
    bool got = false;
    std::thread t([&] {
      if constexpr (requires { Lockable.TryEnter(); }) {
        got = Lockable.TryEnter();
        if (got) Lockable.Leave();
      } else {
        got = Lockable.TryLock();
        if (got) Lockable.Unlock();
      }
    });
    t.join();
    return !got;
  };
  try {
    TLockGuard g(cs);
    EXPECT_TRUE(heldElsewhere(cs));
    throw EConvertError("x");
  } catch (const EConvertError &) {
  }
  EXPECT_FALSE(heldElsewhere(cs));
  struct TLockable {
    std::recursive_mutex M;
    void Lock() { M.lock(); }
    void Unlock() { M.unlock(); }
    bool TryLock() { return M.try_lock(); }
  } l;
  {
    TLockGuard g(l);
    EXPECT_TRUE(heldElsewhere(l));
  }
  EXPECT_FALSE(heldElsewhere(l));
}
