// Threads and locks: TThread (the platform thread class), TCriticalSection (recursive), TEvent,
// thread ids, priorities, processor affinity.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <thread>

#include "platform/untSysUtils.h"

using THandle = pthread_t;             // a thread's native handle
using DWORD_PTR = std::uintptr_t;
constexpr DWORD INFINITE = 0xFFFFFFFFu;

// tpIdle runs under SCHED_IDLE, tpLowest at nice 19, tpLower 10, tpNormal 0, tpHigher -5,
// tpHighest -10, tpTimeCritical -15. A raise the system refuses (EPERM) is ignored.
enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// The calling thread's id: 32-bit, unique, never reused while the process runs (the main thread's
// id is fixed at the first call from it).
DWORD GetCurrentThreadId();
THandle GetCurrentThread();

// Returns the previous mask (the low bits of the old affinity set), 0 on failure (last error set).
DWORD_PTR SetThreadAffinityMask(THandle Thread, DWORD_PTR Mask);
// No Linux counterpart: remembers the value per thread and returns the previous one
// (MAXIMUM_PROCESSORS when none was set), or (DWORD)-1 for an unknown thread.
DWORD SetThreadIdealProcessor(THandle Thread, DWORD IdealProcessor);
constexpr DWORD MAXIMUM_PROCESSORS = 32;

// Applies a priority to a thread given by its kernel thread id (gettid); used by TThread.
bool SetKernelThreadPriority(pid_t Tid, TThreadPriority Priority);

// The platform thread. Created suspended (Start or Resume runs it later) or running; a thread
// created running starts in AfterConstruction, so make it with CreateComponent (or call Start
// yourself). Execute runs on the new thread; an exception escaping Execute is kept in
// FatalException. With FreeOnTerminate the object deletes itself after Execute (and OnTerminate)
// finished; never WaitFor such a thread. Priority may be set before the start (applied when the
// thread starts) or while running. The destructor of a started thread that is not freed on
// terminate sets Terminated and waits for it to end; but by then a derived class's members are
// already gone, so a class whose Execute uses its own members calls TerminateAndWait in its
// destructor.
//
// ThreadID is given at construction, so a suspended thread already has its id (thread messages
// posted to it fail with 1444 until it made its queue).
class TThread : public TObject {
public:
  explicit TThread(bool CreateSuspended);
  ~TThread() override;
  TThread(const TThread &) = delete;
  TThread &operator=(const TThread &) = delete;

  void AfterConstruction() override; // starts a thread not created suspended

  void Start();   // starts a thread created suspended; raises EThread when already started
  void Resume() { Start(); }
  void Terminate() { FTerminated.store(true); }
  bool Terminated() const { return FTerminated.load(); }
  // Blocks until the thread has ended; returns ReturnValue. Raises EThread on the thread itself
  // and for a thread that was never started.
  DWORD WaitFor();
  // Waits at most Timeout milliseconds (INFINITE: without limit); true when the thread has ended.
  // A thread never started has not ended.
  bool WaitForTimeout(DWORD Timeout);
  // Sets Terminated and waits for the thread to end; nothing for a thread not started, or when
  // called on the thread itself.
  void TerminateAndWait();
  bool Finished() const { return FFinished.load(); }
  bool Suspended() const { return !FStarted.load(); }

  DWORD ThreadID() const { return FThreadID; }        // given at construction
  THandle Handle() const { return FHandle; }          // valid once started
  pid_t KernelTid() const { return FTid.load(); }     // 0 until the thread runs

  TThreadPriority Priority() const { return FPriority.load(); }
  // Raises EOSError when the system refuses the change for another reason than missing rights.
  void SetPriority(TThreadPriority Value);

  bool FreeOnTerminate = false; // set before the start, or by the thread itself
  // Called on the thread itself after Execute (the platform calls it synchronised with the main
  // thread; nothing here relies on that).
  std::function<void(TObject *Sender)> OnTerminate;
  std::exception_ptr FatalException;
  DWORD ReturnValue = 0;

protected:
  virtual void Execute() = 0;
  virtual void DoTerminate();

private:
  static void *ThreadProc(void *Arg);
  void Run();
  void JoinNative();

  bool FCreateSuspended;
  const DWORD FThreadID;
  THandle FHandle{};
  std::atomic<bool> FStarted{false};
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  std::atomic<pid_t> FTid{0};
  std::atomic<TThreadPriority> FPriority{tpNormal};

  std::mutex FStateLock; // guards FEnded and the kernel thread's liveness for priority changes
  std::condition_variable FEndedCond;
  bool FEnded = false;        // Run has returned (the native thread may still be unwinding)
  bool FKernelAlive = false;  // FTid names this thread's kernel thread
  std::mutex FJoinLock;       // one joiner at a time
  bool FJoined = false;
  bool FSelfFreeing = false;  // set on the thread itself just before it deletes the object
};

// Starts a suspended thread that frees itself and lets it go: FreeOnTerminate is set, and from a
// successful start on the thread belongs to itself (it frees itself when it ends; never touch it
// again). A thread that could not start is freed here before the exception leaves.
void StartFreeOnTerminate(std::unique_ptr<TThread> Thread);

// A recursive lock, as the platform's critical section is.
class TCriticalSection : public TObject {
public:
  void Enter() { FLock.lock(); }
  void Leave() { FLock.unlock(); }
  void Acquire() { Enter(); }
  void Release() { Leave(); }
  bool TryEnter() { return FLock.try_lock(); }

private:
  std::recursive_mutex FLock;
};

// Holds a lock for the life of the guard, also when the scope is left by an exception: the
// critical section (Enter/Leave) and everything that locks like one with Lock/Unlock (bitmaps,
// canvases, the locked noise accumulators). The one way the program holds such a lock for a scope.
template <class T> class TLockGuard {
public:
  explicit TLockGuard(T &Lockable) : FLockable(Lockable) {
    if constexpr (requires { Lockable.Enter(); }) FLockable.Enter();
    else FLockable.Lock();
  }
  ~TLockGuard() {
    if constexpr (requires { FLockable.Leave(); }) FLockable.Leave();
    else FLockable.Unlock();
  }
  TLockGuard(const TLockGuard &) = delete;
  TLockGuard &operator=(const TLockGuard &) = delete;

private:
  T &FLockable;
};

enum TWaitResult { wrSignaled, wrTimeout, wrAbandoned, wrError };

// An event with manual or automatic reset. WaitFor(Timeout) in milliseconds, INFINITE waits for ever.
class TEvent : public TObject {
public:
  TEvent(bool ManualReset, bool InitialState);
  void SetEvent();
  void ResetEvent();
  TWaitResult WaitFor(DWORD Timeout = INFINITE);
  bool IsSet();

private:
  std::mutex FLock;
  std::condition_variable FCond;
  bool FManualReset;
  bool FState;
};

// A manual-reset event without a name, as most of the system uses.
class TSimpleEvent : public TEvent {
public:
  TSimpleEvent() : TEvent(true, false) {}
};
